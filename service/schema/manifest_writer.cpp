#include "manifest_writer.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>

#include <array>
#include <exception>
#include <functional>
#include <memory>

#include "log_writer.h"
#include "util.h"

namespace {

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

xmlNodePtr Child(xmlNodePtr parent, const char* name) { return xmlNewChild(parent, nullptr, X(name), nullptr); }

void Attribute(xmlNodePtr node, const char* name, const std::string& value) { xmlNewProp(node, X(name), X(value.c_str())); }

void AttributeIfSet(xmlNodePtr node, const char* name, const std::string& value) {
  if (!value.empty()) Attribute(node, name, value);
}

// EVT_CHANNEL_TYPE as manifests name it; other numbers in decimal.
std::string ChannelTypeText(UINT32 type) {
  switch (type) {
    case 0: return "Admin";
    case 1: return "Operational";
    case 2: return "Analytic";
    case 3: return "Debug";
    default: return std::to_string(type);
  }
}

void WriteProvider(xmlNodePtr events, const ProviderRecord& provider) {
  xmlNodePtr node = Child(events, "provider");
  Attribute(node, "symbol", provider.symbol);
  Attribute(node, "helpLink", provider.helpLink);
  Attribute(node, "parameterFileName", provider.parameterFileName);
  Attribute(node, "messageFileName", provider.messageFileName);
  Attribute(node, "resourceFileName", provider.resourceFileName);
  Attribute(node, "guid", provider.guid);
  Attribute(node, "name", provider.name);

  xmlNodePtr eventList = Child(node, "events");
  for (const EventRecord& event : provider.events) {
    xmlNodePtr item = Child(eventList, "event");
    Attribute(item, "message", event.message);
    Attribute(item, "version", event.version);
    AttributeIfSet(item, "opcode", event.opcode);
    AttributeIfSet(item, "task", event.task);
    AttributeIfSet(item, "channel", event.channel);
    AttributeIfSet(item, "keywords", event.keywords);
    AttributeIfSet(item, "template", event.template_);
    AttributeIfSet(item, "level", event.level);
    AttributeIfSet(item, "value", event.value);
    AttributeIfSet(item, "value1", event.value1);
  }
  if (!provider.templates.empty()) {
    xmlNodePtr templates = Child(node, "templates");
    for (const TemplateRecord& record : provider.templates) {
      xmlNodePtr item = Child(templates, "template");
      Attribute(item, "tid", "tid_" + record.tid);
      for (const TemplateDataRecord& data : record.data) {
        xmlNodePtr field = Child(item, "data");
        Attribute(field, "outType", data.outType);
        Attribute(field, "inType", data.inType);
        Attribute(field, "name", data.name);
        AttributeIfSet(field, "count", data.count);
        AttributeIfSet(field, "map", data.map);
      }
    }
  }
  xmlNodePtr opcodes = Child(node, "opcodes");
  for (const OpcodeRecord& opcode : provider.opcodes) {
    xmlNodePtr item = Child(opcodes, "opcode");
    Attribute(item, "message", opcode.message);
    Attribute(item, "value", std::to_string(opcode.value));
    Attribute(item, "name", opcode.name);
    AttributeIfSet(item, "mofvalue", opcode.mofvalue);
  }
  xmlNodePtr keywords = Child(node, "keywords");
  for (const KeywordRecord& keyword : provider.keywords) {
    xmlNodePtr item = Child(keywords, "keyword");
    // A mask text of 17 characters or more ("0x" and 15 or 16 digits) is left out, and its
    // name with it.
    if (keyword.mask.size() < 17) {
      Attribute(item, "mask", keyword.mask);
      Attribute(item, "name", keyword.name);
    }
  }
  xmlNodePtr tasks = Child(node, "tasks");
  for (const TaskRecord& task : provider.tasks) {
    xmlNodePtr item = Child(tasks, "task");
    AttributeIfSet(item, "message", task.message);
    AttributeIfSet(item, "eventGUID", task.eventGUID);
    AttributeIfSet(item, "symbol", task.symbol);
    Attribute(item, "value", std::to_string(task.value));
    Attribute(item, "name", task.name);
  }
  xmlNodePtr levels = Child(node, "levels");
  for (const LevelRecord& level : provider.levels) {
    xmlNodePtr item = Child(levels, "level");
    AttributeIfSet(item, "message", level.message);
    AttributeIfSet(item, "symbol", level.symbol);
    Attribute(item, "value", std::to_string(level.value));
    Attribute(item, "name", level.name);
  }
  xmlNodePtr channels = Child(node, "channels");
  for (const ImportChannelRecord& channel : provider.importChannels) {
    xmlNodePtr item = Child(channels, "importchannel");
    AttributeIfSet(item, "child", channel.child);
    AttributeIfSet(item, "name", channel.name);
    AttributeIfSet(item, "symbol", channel.symbol);
  }
  for (const ChannelRecord& channel : provider.channels) {
    xmlNodePtr item = Child(channels, "channel");
    AttributeIfSet(item, "message", channel.message);
    AttributeIfSet(item, "child", channel.child);
    Attribute(item, "type", ChannelTypeText(channel.type));
    AttributeIfSet(item, "symbol", channel.symbol);
    AttributeIfSet(item, "value", channel.value);
    AttributeIfSet(item, "name", channel.name);
  }
}

struct XmlDocFree {
  void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};

std::unique_ptr<xmlDoc, XmlDocFree> BuildDocument(const ManifestDocument& document) {
  std::unique_ptr<xmlDoc, XmlDocFree> xml(xmlNewDoc(X("1.0")));
  xmlNodePtr root = xmlNewNode(nullptr, X("instrumentationManifest"));
  xmlDocSetRootElement(xml.get(), root);
  Attribute(root, "xmlns:xsi", kXmlSchemaInstanceNamespace);
  Attribute(root, "xmlns:xs", kXmlSchemaNamespace);
  Attribute(root, "xmlns:win", kWindowsEventsNamespace);
  Attribute(root, "xmlns", kEventManifestNamespace);

  xmlNodePtr resources = Child(Child(root, "localization"), "resources");
  Attribute(resources, "culture", "en-US");
  xmlNodePtr stringTable = Child(resources, "stringTable");
  for (const StringTableRecord& table : document.stringTables) {
    for (const StringEntry& entry : table.entries) {
      xmlNodePtr item = Child(stringTable, "string");
      Attribute(item, "value", entry.value);
      Attribute(item, "id", entry.id);
    }
  }
  xmlNodePtr events = Child(Child(root, "instrumentation"), "events");
  for (const ProviderRecord& provider : document.providers) {
    WriteProvider(events, provider);
  }
  return xml;
}

struct Handle {
  HANDLE value;
  explicit Handle(HANDLE handle) : value(handle) {}
  ~Handle() {
    if (value != INVALID_HANDLE_VALUE) CloseHandle(value);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

// Windows paths compare without regard to letter case.
std::string FoldedPath(const std::string& path) {
  std::string folded = path;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace

std::string SerializeManifestDocument(const ManifestDocument& document) {
  xmlCheckVersion(20708);
  auto xml = BuildDocument(document);
  xmlChar* text = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(xml.get(), &text, &size, "utf-8", 1);
  if (text == nullptr) {
    throw std::runtime_error("manifest serialisation failed");
  }
  std::string result(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
  xmlFree(text);
  return result;
}

bool IsContainedFileName(const std::string& name, bool allowSlash) {
  std::string candidate = name;
  if (allowSlash) {
    for (char& c : candidate) {
      if (c == '/') c = '_';
    }
  }
  try {
    return Util::IsPlainFileName(Util::to_wstring(candidate));
  } catch (const std::exception&) {
    return false;  // not UTF-8: no file name at all
  }
}

std::mutex& ManifestPathLock(const std::string& path) {
  // A fixed set of locks chosen by the path: the same path always takes the same lock, and
  // the set never grows with the names requests bring.
  static std::array<std::mutex, 64> locks;
  return locks[std::hash<std::string>{}(FoldedPath(path)) % locks.size()];
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  const WString widePath = Util::to_wstring(path);
  Handle file(CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.value == INVALID_HANDLE_VALUE) return false;
  size_t written = 0;
  while (written < content.size()) {
    DWORD chunk = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(content.size() - written, 1u << 20));
    if (!WriteFile(file.value, content.data() + written, want, &chunk, nullptr) || chunk == 0) return false;
    written += chunk;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  const WString widePath = Util::to_wstring(path);
  Handle file(CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.value == INVALID_HANDLE_VALUE) return false;
  char chunk[8192];
  DWORD read = 0;
  while (ReadFile(file.value, chunk, sizeof chunk, &read, nullptr) && read > 0) {
    content.append(chunk, read);
  }
  return true;
}

bool PopulateXmlFileWithManifestData(const std::string& providerName, const ManifestDocument& document,
                                     std::string& manifest) {
  try {
    FunctionTrace trace("QLXWindowsService::PopulateXmlFileWithManifestData");
    const std::string text = SerializeManifestDocument(document);

    WCHAR workingDirectory[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, workingDirectory);
    if (length == 0 || length >= MAX_PATH) {
      WriteLog(LOG_ERROR,
               "ERROR # Conduit::PopulateXmlFileWithManifestData # Unable to get the working directory to save the "
               "XML manifest file");
      return false;
    }
    manifest.clear();
    // The name comes from the network: one that names another folder gets no file.
    if (!IsContainedFileName(providerName, false)) {
      WriteLog(LOG_WARNING, "WARNING # Conduit::PopulateXmlFileWithManifestData # %s is not a file name, no manifest file",
               providerName.c_str());
      return true;
    }
    const std::string path =
        Util::to_string(WString(workingDirectory) + TEXT("\\") + Util::to_wstring(providerName) + TEXT(".xml"));
    {
      std::lock_guard<std::mutex> lock(ManifestPathLock(path));
      // As with a save that fails, the text is what the file holds afterwards (nothing).
      if (WriteWholeFile(path, text)) {
        ReadWholeFile(path, manifest);
      }
    }
    return true;
  } catch (const std::exception& e) {
    LogStandardException("QLXWindowsService::PopulateXmlFileWithManifestData", e);
  } catch (...) {
    LogGenericException("QLXWindowsService::PopulateXmlFileWithManifestData");
  }
  return false;
}

bool BuildProviderManifest(IEtwSchemaCollector* collector, const std::string& providerName, std::string& manifest) {
  FunctionTrace trace("QLXWindowsService::GetProviderManifest");
  ManifestDocument document;
  ProviderRecord record;
  collector->GetProviderManifest(providerName, record, document);
  return PopulateXmlFileWithManifestData(providerName, document, manifest);
}
