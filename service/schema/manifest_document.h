// The in-memory model of an instrumentation manifest: what the schema collector fills for a
// provider and the manifest writer serialises. Texts are UTF-8.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "windows.h"

struct StringEntry {
  std::string id;
  std::string value;
};

struct StringTableRecord {
  std::vector<StringEntry> entries;
  std::string culture;
};

struct ChannelRecord {
  std::string name;
  std::string child;
  UINT32 type = 0;
  std::string symbol;
  std::string value;
  std::string message;
};

struct ImportChannelRecord {
  std::string child;
  std::string name;
  std::string symbol;
};

struct LevelRecord {
  std::string name;
  std::string symbol;
  UINT8 value = 0;
  std::string message;
};

struct TaskRecord {
  std::string name;
  std::string symbol;
  UINT16 value = 0;
  std::string eventGUID;
  std::string message;
};

struct OpcodeRecord {
  std::string name;
  std::string symbol;
  UINT8 value = 0;
  std::string mofvalue;
  std::string message;
};

struct KeywordRecord {
  std::string name;
  std::string symbol;
  std::string mask;
  std::string message;
};

struct TemplateDataRecord {
  std::string name;
  std::string inType;
  std::string outType;
  std::string map;
  std::string count;
};

struct TemplateRecord {
  std::vector<TemplateDataRecord> data;
  std::string tid;
};

struct EventRecord {
  std::string value;
  std::string level;
  std::string template_;
  std::string channel;
  std::string keywords;
  std::string task;
  std::string opcode;
  std::string version;
  std::string message;
  std::string value1;
};

struct ProviderRecord {
  std::vector<ChannelRecord> channels;
  std::vector<ImportChannelRecord> importChannels;
  std::vector<LevelRecord> levels;
  std::vector<TaskRecord> tasks;
  std::vector<OpcodeRecord> opcodes;
  std::vector<KeywordRecord> keywords;
  std::vector<TemplateRecord> templates;
  std::vector<EventRecord> events;
  std::string name;
  std::string guid;
  std::string resourceFileName;
  std::string messageFileName;
  std::string parameterFileName;
  std::string helpLink;
  std::string symbol;
};

struct ManifestDocument {
  std::vector<ProviderRecord> providers;
  std::vector<StringTableRecord> stringTables;
};

// The namespaces of an instrumentation manifest.
inline constexpr const char* kXmlSchemaInstanceNamespace = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr const char* kXmlSchemaNamespace = "http://www.w3.org/2001/XMLSchema";
inline constexpr const char* kWindowsEventsNamespace = "http://manifests.microsoft.com/win/2004/08/windows/events";
inline constexpr const char* kEventManifestNamespace = "http://schemas.microsoft.com/win/2004/08/events";
