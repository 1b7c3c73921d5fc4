// The process-wide schema collector: the providers registered on the target, name-to-GUID
// lookup and provider metadata (the keywords a provider declares) for manifests.
//
// Lifecycle: made by the first getInstance() (the service object's constructor, before
// any request is served, so creation takes no lock) and destroyed through its interface's
// virtual destructor by deleteInstance() when the service object goes. Its operations are
// serialised by one recursive critical section: metadata collection may look a GUID up while
// holding it.
//
// The provider list and GUID cache are filled by the first successful enumeration and never
// refreshed; names registered later are still found by the uncached lookup.
#pragma once

#include <list>
#include <map>
#include <string>
#include <vector>

#include "manifest_document.h"
#include "windows.h"
#include "tdh.h"

class IEtwSchemaCollector {
 public:
  virtual void GetProviders(std::list<std::string>& providers) = 0;
  virtual void GetProviderManifest(std::string providerName, ProviderRecord& record, ManifestDocument& document) = 0;
  virtual ~IEtwSchemaCollector() = default;
};

class CEtwSchemaCollector : public IEtwSchemaCollector {
 public:
  // The process-wide collector, created on the first call; null when creation failed
  // (the failure is logged).
  static CEtwSchemaCollector* getInstance();
  // Destroys the collector and clears the process-wide pointer; nothing when there is none.
  static void deleteInstance();

  void GetProviders(std::list<std::string>& providers) override;
  void GetProviderManifest(std::string providerName, ProviderRecord& record, ManifestDocument& document) override;

  // Fills the provider list and GUID cache once; the enumeration's status.
  ULONG EnumerateProviders();
  // The GUID text ("{...}", upper case) of a registered provider; the zero GUID text for a
  // name that is not registered (exact, case-sensitive match); empty only after a failure.
  std::string GetProviderGuid(std::string providerName);
  GUID GetProviderLPGuidInternal(const std::string& providerName);
  void GetProviderGuidInternal(const std::string& providerName, std::string& guidText);

  void GetProviderMetadata(const std::string& providerName, ProviderRecord* record);
  void ClearProviderData();
  ULONG TDHGetEventProperties_Keywords(const GUID* providerGuid, ProviderRecord* record);
  void AddPrefixToNamespaces(const std::string& name);
  void RemoveEtwPredefines(ProviderRecord& record);
  void GetStringTable(std::list<StringEntry>& entries);

  // The namespace table (prefix -> URI) of the last metadata collection.
  std::map<std::string, std::string> GetNamespaces();

  CEtwSchemaCollector(const CEtwSchemaCollector&) = delete;
  CEtwSchemaCollector& operator=(const CEtwSchemaCollector&) = delete;

 protected:
  ~CEtwSchemaCollector() override;

 private:
  CEtwSchemaCollector();

  // Runs the platform's enumeration with a growing buffer; the buffer is the caller's to
  // free with LocalFree (null unless the status is 0).
  ULONG EnumerateWithGrowingBuffer(const char* qualifiedName, PPROVIDER_ENUMERATION_INFO* buffer);

  class Guard;

  CRITICAL_SECTION m_lock;
  std::list<std::string> m_providerNames;
  std::map<std::string, std::string> m_providerGuids;
  std::map<std::string, std::string> m_stringTable;
  std::map<std::string, std::string> m_namespaces;
  // The critical section is deleted only when it was made.
  bool m_lockInitialised = false;
};

// "0x" and the mask in upper-case hexadecimal digits without leading zeros ("0x0" for 0).
std::string KeywordMaskText(ULONGLONG mask);
