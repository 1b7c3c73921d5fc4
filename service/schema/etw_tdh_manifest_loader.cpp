#include "etw_tdh_manifest_loader.h"

#include <mutex>

#include "etw_schema_collector.h"
#include "log_writer.h"
#include "logged_call.h"
#include "manifest_writer.h"
#include "objbase.h"
#include "process_singleton.h"
#include "shlwapi.h"
#include "tdh_lib.h"

CEtwTdhManifestLoader* CEtwTdhManifestLoader::getInstance(CEtwSchemaCollector* collector) {
  return ProcessSingleton<CEtwTdhManifestLoader>::Get(
      "CEtwTdhManifestLoader::getInstance", [collector] { return new CEtwTdhManifestLoader(collector); });
}

void CEtwTdhManifestLoader::deleteInstance() {
  delete ProcessSingleton<CEtwTdhManifestLoader>::Take();
}

CEtwTdhManifestLoader::CEtwTdhManifestLoader(CEtwSchemaCollector* collector)
    : m_schemaCollector(collector) {
  FunctionTrace trace("CEtwTdhManifestLoader::CEtwTdhManifestLoader");
  try {
    char tempPath[MAX_PATH] = {};
    const DWORD length = GetTempPathA(MAX_PATH, tempPath);
    // A path that did not fit is as unusable as none: the directory stays empty.
    if (length == 0 || length >= MAX_PATH) {
      return;
    }
    m_directory = std::string(tempPath) + "ManifestFiles\\";
    if (!PathFileExistsA(m_directory.c_str())) {
      if (CreateDirectoryA(m_directory.c_str(), nullptr)) {
        WriteLog(LOG_INFO, "INFO # CEtwTdhManifestLoader::CEtwTdhManifestLoader # Dir:%s created successfully",
                 m_directory.c_str());
      } else {
        WriteLog(LOG_ERROR, "ERROR # CEtwTdhManifestLoader::CEtwTdhManifestLoaderDir:%s is not created",
                 m_directory.c_str());
      }
    }
  } catch (const std::exception& e) {
    LogStandardException("CEtwTdhManifestLoader::CEtwTdhManifestLoader", e);
  } catch (...) {
    LogGenericException("CEtwTdhManifestLoader::CEtwTdhManifestLoader");
  }
}

CEtwTdhManifestLoader::~CEtwTdhManifestLoader() {
  FunctionTrace trace("CEtwTdhManifestLoader::~CEtwTdhManifestLoader");
  m_schemaCollector = nullptr;
}

void CEtwTdhManifestLoader::LoadTdhManifest(const std::string& providerName) {
  LoggedAndDropped("CEtwTdhManifestLoader::LoadTdhManifest", [&] {
    WriteLog(LOG_INFO, "INFO # Entering CEtwTdhManifestLoader::LoadTdhManifest # providerName:%s", providerName.c_str());
    const std::string path = PersistProviderManifests(providerName);
    LoadTdhManifestByManifestPath(Util::to_wstring(path));
  });
}

std::string CEtwTdhManifestLoader::PersistProviderManifests(const std::string& providerName) {
  return LoggedCallOr("CEtwTdhManifestLoader::PersistProviderManifests", std::string(), [&]() -> std::string {
    WriteLog(LOG_INFO, "INFO # CEtwTdhManifestLoader::PersistProviderManifests # Generating manifest for %s at %s",
             providerName.c_str(), m_directory.c_str());
    if (providerName.empty()) {
      WriteLog(LOG_INFO, "INFO # CEtwTdhManifestLoader::PersistProviderManifests # No Return");
      return std::string();
    }
    GUID guid{};
    const WString guidText = Util::to_wstring(m_schemaCollector->GetProviderGuid(providerName));
    // The zero GUID stands for a provider that is not registered: there is nothing to
    // describe, and TDH takes no manifest without a provider GUID.
    if (FAILED(CLSIDFromString(guidText.c_str(), &guid)) || guid == GUID{}) {
      return std::string();
    }
    const std::string path = GetManifestPath(providerName);
    if (path.empty()) {
      return std::string();
    }
    const std::string manifest = GetProviderManifest(providerName);
    WriteLog(LOG_INFO, "INFO # CEtwTdhManifestLoader::PersistProviderManifests # Writing manifest : %s", path.c_str());
    std::lock_guard<std::mutex> lock(ManifestPathLock(path));
    if (PathFileExistsA(path.c_str())) {
      DeleteFileA(path.c_str());
    }
    WriteWholeFile(path, manifest);
    return path;
  });
}

std::string CEtwTdhManifestLoader::GetManifestPath(const std::string& providerName) {
  return LoggedCallOr("CEtwTdhManifestLoader::GetManifestPath", std::string(), [&]() -> std::string {
    FunctionTrace trace("CEtwTdhManifestLoader::GetManifestPath");
    if (providerName.empty()) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return std::string();
    }
    std::string fileName = providerName;
    for (char& c : fileName) {
      if (c == '/') c = '_';
    }
    // The name comes from the network: after the replacement it must still be a plain file
    // name inside the manifest directory.
    if (!IsContainedFileName(fileName, false)) {
      WriteLog(LOG_WARNING, "WARNING # CEtwTdhManifestLoader::GetManifestPath # %s is not a file name",
               providerName.c_str());
      return std::string();
    }
    return m_directory + fileName + ".man";
  });
}

std::string CEtwTdhManifestLoader::GetProviderManifest(const std::string& providerName) {
  return LoggedCallOr("CEtwTdhManifestLoader::GetProviderManifest", std::string(), [&]() -> std::string {
    FunctionTrace trace("CEtwTdhManifestLoader::GetProviderManifest");
    // The document the manifest request returns for this name, serialised directly (the
    // request's own copy goes through a file in the working directory, which names with a
    // "/" cannot have), with the provider's GUID, which that document leaves empty: TDH knows
    // a provider by its GUID alone and refuses a manifest without one.
    ManifestDocument document;
    ProviderRecord record;
    m_schemaCollector->GetProviderManifest(providerName, record, document);
    const std::string guidText = m_schemaCollector->GetProviderGuid(providerName);
    for (ProviderRecord& provider : document.providers) provider.guid = guidText;
    return SerializeManifestDocument(document);
  });
}

void CEtwTdhManifestLoader::LoadTdhManifestByManifestPath(const WString& path) {
  LoggedAndDropped("CEtwTdhManifestLoader::LoadTdhManifestByManifestPath", [&] {
    const std::string utf8Path = Util::to_string(path);
    WriteLog(LOG_INFO, "INFO # CEtwTdhManifestLoader::LoadTdhManifestByManifestPath # ManifestPath:%s",
             utf8Path.c_str());
    if (path.empty()) {
      return;
    }
    std::lock_guard<std::mutex> lock(ManifestPathLock(utf8Path));
    if (!PathFileExistsW(path.c_str())) {
      return;
    }
    WString manifestPath = path;
    const ULONG status = TdhLib::GetInstance()->pfnTdhLoadManifest(&manifestPath[0]);
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # CEtwTdhManifestLoader::LoadTdhManifestByManifestPath # Load Tdh Manifest Failed : %s ErrorCode:%d",
               utf8Path.c_str(), static_cast<int>(status));
    }
  });
}
