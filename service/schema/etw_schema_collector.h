// The process-wide schema collector: the providers registered on the target, name-to-GUID
// lookup and provider metadata.
//
// Lifecycle: made by the first getInstance() (the service object's constructor, before
// any request is served, so creation takes no lock) and destroyed through its interface's
// virtual destructor by deleteInstance() when the service object goes. Its operations are
// serialised by one recursive critical section.
#pragma once

#include <string>

#include "windows.h"

class IEtwSchemaCollector {
 public:
  virtual ~IEtwSchemaCollector() = default;
};

class CEtwSchemaCollector : public IEtwSchemaCollector {
 public:
  // The process-wide collector, created on the first call; null when creation failed
  // (the failure is logged).
  static CEtwSchemaCollector* getInstance();
  // Destroys the collector and clears the process-wide pointer; nothing when there is none.
  static void deleteInstance();

  // The provider's GUID as brace-form text; the zero GUID text for a name that is not
  // registered, an empty text only when the lookup itself failed. The lookup over the
  // platform's provider list is not in this build yet: every name answers the zero GUID.
  virtual std::string GetProviderGuid(std::string providerName);

  CEtwSchemaCollector(const CEtwSchemaCollector&) = delete;
  CEtwSchemaCollector& operator=(const CEtwSchemaCollector&) = delete;

 protected:
  ~CEtwSchemaCollector() override;

 private:
  CEtwSchemaCollector();

  CRITICAL_SECTION m_lock;
  // The critical section is deleted only when it was made.
  bool m_lockInitialised = false;
};
