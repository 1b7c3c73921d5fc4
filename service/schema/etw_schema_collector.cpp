#include "etw_schema_collector.h"

#include "log_writer.h"
#include "process_singleton.h"

CEtwSchemaCollector* CEtwSchemaCollector::getInstance() {
  return ProcessSingleton<CEtwSchemaCollector>::Get("CEtwSchemaCollector::getInstance",
                                                    [] { return new CEtwSchemaCollector(); });
}

void CEtwSchemaCollector::deleteInstance() {
  // Destroyed through its interface, whose destructor is public and virtual.
  IEtwSchemaCollector* collector = ProcessSingleton<CEtwSchemaCollector>::Take();
  delete collector;
}

CEtwSchemaCollector::CEtwSchemaCollector() {
  FunctionTrace trace("CEtwSchemaCollector::CEtwSchemaCollector");
  m_lockInitialised = InitializeCriticalSectionAndSpinCount(&m_lock, 1024) != FALSE;
  if (!m_lockInitialised) {
    // The collector stays in use all the same; its operations then run unserialised.
    WriteLog(LOG_ERROR, "ERROR # %s# InitializeCriticalSectionAndSpinCount Failed %d",
             "CEtwSchemaCollector::CEtwSchemaCollector", static_cast<int>(GetLastError()));
  }
}

CEtwSchemaCollector::~CEtwSchemaCollector() {
  FunctionTrace trace("CEtwSchemaCollector::~CEtwSchemaCollector");
  if (m_lockInitialised) {
    DeleteCriticalSection(&m_lock);
  }
}

std::string CEtwSchemaCollector::GetProviderGuid(std::string /*providerName*/) {
  FunctionTrace trace("CEtwSchemaCollector::GetProviderGuid");
  return "{00000000-0000-0000-0000-000000000000}";
}
