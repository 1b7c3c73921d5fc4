// Settings read from "Conduit.exe.config", the XML file next to the service executable.
//
// Every element named "appSettings", at any depth, contributes the key/value attributes of
// its child elements. Each instance parses the file once, at construction; AppSettings()
// consults one process-wide instance made on first use.
#pragma once

#include <map>
#include <string>

#include <libxml/tree.h>

class ConfigurationManager {
 public:
  ConfigurationManager();

  // The value of `key` in the process-wide instance, or the empty text when it is missing.
  static std::string AppSettings(const std::string& key);

  // This instance's entries.
  const std::map<std::string, std::string>& Settings() const { return m_settings; }

  // Tests only: parses the file again into the process-wide instance, so that one test
  // executable can try several configurations. The service itself never reloads. Not safe
  // while other threads call AppSettings.
  static void ReloadForTesting();

 private:
  void LoadConfig();
  void ParseElements(xmlNode* node);
  void ParseAppSettings(xmlNode* child);

  std::map<std::string, std::string> m_settings;
};
