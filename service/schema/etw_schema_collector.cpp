#include "etw_schema_collector.h"

#include <new>

#include "log_writer.h"

namespace {

CEtwSchemaCollector* s_collector = nullptr;

}  // namespace

CEtwSchemaCollector* CEtwSchemaCollector::getInstance() {
  try {
    if (s_collector == nullptr) {
      s_collector = new CEtwSchemaCollector();
    }
    return s_collector;
  } catch (const std::exception& e) {
    LogStandardException("CEtwSchemaCollector::getInstance", e);
  } catch (...) {
    LogGenericException("CEtwSchemaCollector::getInstance");
  }
  return nullptr;
}

void CEtwSchemaCollector::deleteInstance() {
  IEtwSchemaCollector* collector = s_collector;
  s_collector = nullptr;
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
