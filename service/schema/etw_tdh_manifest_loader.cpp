#include "etw_tdh_manifest_loader.h"

#include "log_writer.h"
#include "process_singleton.h"
#include "shlwapi.h"

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

void CEtwTdhManifestLoader::LoadTdhManifest(const std::string& /*providerName*/) {
  FunctionTrace trace("CEtwTdhManifestLoader::LoadTdhManifest");
}
