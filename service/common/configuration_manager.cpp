#include "configuration_manager.h"

#include <memory>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "log_writer.h"
#include "windows.h"

namespace {

const char* const kConfigurationFileName = "Conduit.exe.config";

bool IsTextOrBlank(xmlNode* node) {
  return node != nullptr && (xmlNodeIsText(node) != 0 || xmlIsBlankNode(node) != 0);
}

// The node itself unless it is text or blank space, in which case the one after it.
xmlNode* SkipOneText(xmlNode* node) {
  if (IsTextOrBlank(node)) {
    return node->next;
  }
  return node;
}

bool IsElementNamed(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
         xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlText = std::unique_ptr<xmlChar, XmlFree>;

struct XmlDocFree {
  void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};

// The folder of the running executable with its separator, so that the configuration file
// is found next to it whatever the working directory.
std::string ExecutableFolder() {
  char modulePath[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
  if (length == 0) {
    return std::string();
  }
  const std::string path(modulePath);
  const size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos) {
    return path.substr(0, separator + 1);
  }
  // A bare "C:Conduit.exe" keeps its drive.
  if (path.size() >= 2 && path[1] == ':') {
    return path.substr(0, 2);
  }
  return std::string();
}

// libxml2 prints its own diagnostics to stderr, where a service has no one to read them:
// they go to the log instead, at debug level, next to the service's own error line.
void LogParserDiagnostic(void*, xmlError* error) {
  if (error != nullptr && error->message != nullptr) {
    WriteLog(LOG_DEBUG, "DEBUG # ConfigurationManager::LoadConfig # libxml2: %s", error->message);
  }
}

ConfigurationManager& ProcessInstance() {
  // Made on first use (the runtime makes concurrent first use safe) and never destroyed, so
  // that client threads still running at process exit can read it.
  static ConfigurationManager& instance = *new ConfigurationManager;
  return instance;
}

}  // namespace

ConfigurationManager::ConfigurationManager() { LoadConfig(); }

std::string ConfigurationManager::AppSettings(const std::string& key) {
  WriteLog(LOG_DEBUG, "DEBUG # Entering ConfigurationManager::AppSettings for key = %s", key.c_str());
  std::string value;
  const auto& settings = ProcessInstance().Settings();
  const auto found = settings.find(key);
  if (found != settings.end()) {
    value = found->second;
  }
  WriteLog(LOG_DEBUG, "DEBUG # Exiting ConfigurationManager::AppSettings got value = %s", value.c_str());
  return value;
}

void ConfigurationManager::ReloadForTesting() { ProcessInstance() = ConfigurationManager(); }

void ConfigurationManager::LoadConfig() {
  FunctionTrace trace("ConfigurationManager::LoadConfig");
  try {
    const std::string path = ExecutableFolder() + kConfigurationFileName;
    xmlSetStructuredErrorFunc(nullptr, LogParserDiagnostic);
    std::unique_ptr<xmlDoc, XmlDocFree> document(xmlReadFile(path.c_str(), nullptr, 0));
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    if (!document) {
      WriteLog(LOG_ERROR, "ERROR # ConfigurationManager::LoadConfig # xmlReadFile on file %s failed",
               path.c_str());
      return;
    }
    xmlNode* root = xmlDocGetRootElement(document.get());
    if (root == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # ConfigurationManager::LoadConfig # xmlDocGetRootElement failed");
      return;
    }
    ParseElements(root);
  } catch (const std::exception& e) {
    LogStandardException("ConfigurationManager::LoadConfig", e);
  } catch (...) {
    LogGenericException("ConfigurationManager::LoadConfig");
  }
}

void ConfigurationManager::ParseElements(xmlNode* node) {
  for (xmlNode* current = node; current != nullptr; current = SkipOneText(current->next)) {
    // Only elements have children worth walking; an entity reference's children belong to
    // the entity declaration, not to this document's tree.
    if (current->type != XML_ELEMENT_NODE) {
      continue;
    }
    xmlNode* child = SkipOneText(current->children);
    if (child == nullptr) {
      continue;
    }
    if (IsElementNamed(current, "appSettings")) {
      ParseAppSettings(child);
    } else {
      ParseElements(child);
    }
  }
}

void ConfigurationManager::ParseAppSettings(xmlNode* child) {
  for (xmlNode* current = child; current != nullptr; current = SkipOneText(current->next)) {
    if (current->type != XML_ELEMENT_NODE) {
      continue;
    }
    XmlText key(xmlGetProp(current, reinterpret_cast<const xmlChar*>("key")));
    XmlText value(xmlGetProp(current, reinterpret_cast<const xmlChar*>("value")));
    if (key && value) {
      m_settings[reinterpret_cast<const char*>(key.get())] = reinterpret_cast<const char*>(value.get());
    }
  }
}
