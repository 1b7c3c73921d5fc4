#include "etw_tdh_manifest_loader.h"

#include <new>

#include "log_writer.h"
#include "shlwapi.h"

namespace {

CEtwTdhManifestLoader* s_loader = nullptr;

}  // namespace

CEtwTdhManifestLoader* CEtwTdhManifestLoader::getInstance(CEtwSchemaCollector* collector) {
  try {
    if (s_loader == nullptr) {
      s_loader = new CEtwTdhManifestLoader(collector);
    }
    return s_loader;
  } catch (const std::exception& e) {
    LogStandardException("CEtwTdhManifestLoader::getInstance", e);
  } catch (...) {
    LogGenericException("CEtwTdhManifestLoader::getInstance");
  }
  return nullptr;
}

void CEtwTdhManifestLoader::deleteInstance() {
  CEtwTdhManifestLoader* loader = s_loader;
  s_loader = nullptr;
  delete loader;
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
