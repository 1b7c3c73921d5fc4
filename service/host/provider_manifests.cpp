// The service object's provider operations: the provider list and the manifests of named
// providers.
#include <exception>
#include <list>

#include "etw_schema_collector.h"
#include "log_writer.h"
#include "logged_call.h"
#include "manifest_writer.h"
#include "objbase.h"
#include "qlx_windows_service.h"
#include "service_fault.h"
#include "util.h"

namespace {

// The collector is made with the service object; without it no provider operation can run.
CEtwSchemaCollector* RequireCollector(CEtwSchemaCollector* collector) {
  if (collector == nullptr) {
    throw QLXServiceFault("The schema collector is not available", ERROR_INVALID_FUNCTION);
  }
  return collector;
}

}  // namespace

std::vector<std::string> QLXWindowsService::GetAllProviders() {
  return LoggedCall("QLXWindowsService::GetAllProviders", [&] {
    FunctionTrace trace("QLXWindowsService::GetAllProviders");
    std::list<std::string> providers;
    RequireCollector(m_schemaCollector)->GetProviders(providers);
    return std::vector<std::string>(providers.begin(), providers.end());
  });
}

std::vector<ProviderManifest> QLXWindowsService::GetProviderManifests(const std::vector<std::string>& providerNames) {
  return LoggedCall("QLXWindowsService::GetProviderManifests", [&] {
    FunctionTrace trace("QLXWindowsService::GetProviderManifests");
    CEtwSchemaCollector* collector = RequireCollector(m_schemaCollector);
    std::vector<ProviderManifest> manifests;
    for (const std::string& name : providerNames) {
      WriteLog(LOG_INFO, "INFO # Conduit::GetProviderManifests # Generating manifest for %s", name.c_str());
      GUID guid{};
      const WString guidText = Util::to_wstring(collector->GetProviderGuid(name));
      if (FAILED(CLSIDFromString(guidText.c_str(), &guid))) {
        WriteLog(LOG_WARNING, "WARNING # Conduit::GetProviderManifests # Generating manifest for %s Parse GUID failed",
                 name.c_str());
        continue;
      }
      std::string manifest;
      GetProviderManifest(name, manifest);
      ProviderManifest record;
      record.providerName = name;
      record.providerGuid = guid;
      record.manifest = std::move(manifest);
      manifests.push_back(std::move(record));
    }
    WriteLog(LOG_INFO,
             "INFO # Conduit::GetProviderManifests # Successfully generated all %zd manifests as requested "
             "ManifestAddedToList:%zd",
             providerNames.size(), manifests.size());
    return manifests;
  });
}

bool QLXWindowsService::GetProviderManifest(const std::string& providerName, std::string& manifest) {
  return LoggedCall("QLXWindowsService::GetProviderManifest", [&] {
    return BuildProviderManifest(RequireCollector(m_schemaCollector), providerName, manifest);
  });
}

bool QLXWindowsService::PopulateXmlFileWithManifestData(const std::string& providerName,
                                                        const ManifestDocument& document, std::string& manifest) {
  return ::PopulateXmlFileWithManifestData(providerName, document, manifest);
}
