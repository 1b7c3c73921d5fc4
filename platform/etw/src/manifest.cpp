// The instrumentation manifest reader: one libxml2 pass over the file into ProviderSchemas.
//
// What it accepts: a document whose root is instrumentationManifest in the events namespace
// ("http://schemas.microsoft.com/win/2004/08/events"), with instrumentation/events/provider
// elements and an optional localization/resources/stringTable. Every reference inside a
// provider (level, task, opcode, keywords, channel, template, map, "$(string.Id)" message,
// count and length fields) must resolve, as the message compiler demands, so that a schema
// in the catalog never holds a dangling name. Elements the catalog has no use for (filters,
// counters, instrumentation of other kinds) are ignored. The manifests the service writes
// itself leave some attributes empty (keyword elements without attributes, a guid in the
// documents the manifest request returns); those are read: an empty GUID is read as none
// (installing such a provider is refused), a keyword without name or mask is skipped since
// nothing can refer to it.
//
// The file is parsed without network access and without loading external entities.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "etw/catalog.h"

namespace etw {

namespace {

constexpr std::string_view kEventsNamespace = "http://schemas.microsoft.com/win/2004/08/events";

// A manifest that does not hold together; caught at the reader's boundary.
struct ManifestError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string_view text_of(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

bool in_events_namespace(const xmlNode* node) {
  return node->ns == nullptr || text_of(node->ns->href) == kEventsNamespace;
}

bool is_element(const xmlNode* node, std::string_view name) {
  return node->type == XML_ELEMENT_NODE && text_of(node->name) == name && in_events_namespace(node);
}

// The element children of `parent` with the given local name.
std::vector<const xmlNode*> children(const xmlNode* parent, std::string_view name) {
  std::vector<const xmlNode*> found;
  if (parent == nullptr) return found;
  for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (is_element(child, name)) found.push_back(child);
  }
  return found;
}

const xmlNode* child(const xmlNode* parent, std::string_view name) {
  auto found = children(parent, name);
  return found.empty() ? nullptr : found.front();
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
  xmlChar* value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return std::nullopt;
  std::string text(text_of(value));
  xmlFree(value);
  return text;
}

std::string attribute_or_empty(const xmlNode* node, const char* name) {
  return attribute(node, name).value_or(std::string());
}

std::string describe(const xmlNode* node) {
  return "<" + std::string(text_of(node->name)) + "> at line " + std::to_string(xmlGetLineNo(node));
}

std::string required(const xmlNode* node, const char* name) {
  auto value = attribute(node, name);
  if (!value || value->empty()) throw ManifestError(describe(node) + " has no " + name);
  return *value;
}

// Manifest numbers are decimal or "0x" hexadecimal.
std::uint64_t parse_number(const xmlNode* node, const char* name, const std::string& text,
                           std::uint64_t max) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value > max) {
    throw ManifestError(describe(node) + " has an invalid " + name + " \"" + text + "\"");
  }
  return value;
}

std::uint64_t number_attribute(const xmlNode* node, const char* name, std::uint64_t max) {
  return parse_number(node, name, required(node, name), max);
}

template <typename Item>
Item* find_by_name(std::vector<Item>& items, std::string_view name) {
  for (Item& item : items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

class ProviderReader {
 public:
  ProviderReader(const xmlNode* element, const std::map<std::string, std::string>& strings)
      : element_(element), strings_(strings) {}

  ProviderSchema read() {
    schema_.name = required(element_, "name");
    const std::string guid = attribute_or_empty(element_, "guid");
    if (!guid.empty()) {
      auto parsed = parse_guid_text(guid);
      if (!parsed) throw ManifestError(describe(element_) + " has an invalid guid \"" + guid + "\"");
      schema_.guid = *parsed;
    }
    schema_.symbol = attribute_or_empty(element_, "symbol");
    schema_.resource_file = attribute_or_empty(element_, "resourceFileName");
    schema_.message_file = attribute_or_empty(element_, "messageFileName");
    schema_.message = message(element_);
    schema_.source = DecodingSource::XmlFile;

    read_channels();
    for (const xmlNode* node : section("levels", "level")) {
      schema_.levels.push_back({required(node, "name"),
                                static_cast<std::uint8_t>(number_attribute(node, "value", 255)),
                                message(node), false});
    }
    for (const xmlNode* node : section("opcodes", "opcode")) schema_.opcodes.push_back(read_opcode(node));
    read_tasks();
    for (const xmlNode* node : section("keywords", "keyword")) {
      auto name = attribute(node, "name");
      auto mask = attribute(node, "mask");
      if (!name || name->empty() || !mask || mask->empty()) continue;
      schema_.keywords.push_back({*name, parse_number(node, "mask", *mask, UINT64_MAX), message(node), false});
    }
    read_maps();
    for (const xmlNode* node : section("templates", "template")) {
      Template read_template;
      read_template.id = required(node, "tid");
      if (schema_.find_template(read_template.id) != nullptr) {
        throw ManifestError(describe(node) + " declares the template \"" + read_template.id + "\" a second time");
      }
      read_template.fields = read_fields(node);
      schema_.templates.push_back(std::move(read_template));
    }
    for (const xmlNode* node : section("events", "event")) {
      Event event = read_event(node);
      for (const Event& earlier : schema_.events) {
        if (earlier.id == event.id && earlier.version == event.version) {
          throw ManifestError(describe(node) + " declares event " + std::to_string(event.id) + " version " +
                              std::to_string(event.version) + " a second time");
        }
      }
      schema_.events.push_back(std::move(event));
    }
    return std::move(schema_);
  }

 private:
  std::vector<const xmlNode*> section(std::string_view list, std::string_view item) const {
    return children(child(element_, list), item);
  }

  std::string message(const xmlNode* node) const {
    auto text = attribute(node, "message");
    if (!text) return {};
    constexpr std::string_view prefix = "$(string.";
    if (text->size() > prefix.size() && text->compare(0, prefix.size(), prefix) == 0 && text->back() == ')') {
      const std::string id = text->substr(prefix.size(), text->size() - prefix.size() - 1);
      auto found = strings_.find(id);
      if (found == strings_.end()) {
        throw ManifestError(describe(node) + " refers to the undefined string \"" + id + "\"");
      }
      return found->second;
    }
    return *text;
  }

  Opcode read_opcode(const xmlNode* node) const {
    return {required(node, "name"), static_cast<std::uint8_t>(number_attribute(node, "value", 255)),
            message(node), false};
  }

  void read_channels() {
    const xmlNode* list = child(element_, "channels");
    std::uint32_t next_value = 16;  // the values the message compiler gives undeclared channels
    for (const xmlNode* node = list ? list->children : nullptr; node != nullptr; node = node->next) {
      if (is_element(node, "importChannel")) {
        const std::string name = required(node, "name");
        const Channel* known = predefined_channel(name);
        if (known == nullptr) throw ManifestError(describe(node) + " imports the unknown channel \"" + name + "\"");
        Channel imported = *known;
        imported.chid = attribute(node, "chid").value_or(name);
        schema_.channels.push_back(std::move(imported));
      } else if (is_element(node, "channel")) {
        Channel channel;
        channel.name = required(node, "name");
        channel.chid = attribute(node, "chid").value_or(channel.name);
        channel.type = channel_type(node);
        if (auto value = attribute(node, "value"); value && !value->empty()) {
          channel.value = static_cast<std::uint8_t>(parse_number(node, "value", *value, 255));
        } else {
          if (next_value > 255) throw ManifestError(describe(node) + ": too many channels");
          channel.value = static_cast<std::uint8_t>(next_value++);
        }
        channel.message = message(node);
        schema_.channels.push_back(std::move(channel));
      }
    }
  }

  static ChannelType channel_type(const xmlNode* node) {
    const std::string type = required(node, "type");
    if (type == "Admin") return ChannelType::Admin;
    if (type == "Operational") return ChannelType::Operational;
    if (type == "Analytic") return ChannelType::Analytic;
    if (type == "Debug") return ChannelType::Debug;
    return static_cast<ChannelType>(parse_number(node, "type", type, 3));
  }

  void read_tasks() {
    for (const xmlNode* node : section("tasks", "task")) {
      Task task;
      task.name = required(node, "name");
      task.value = static_cast<std::uint16_t>(number_attribute(node, "value", 0xFFFF));
      if (auto guid = attribute(node, "eventGUID"); guid && !guid->empty()) {
        auto parsed = parse_guid_text(*guid);
        if (!parsed) throw ManifestError(describe(node) + " has an invalid eventGUID \"" + *guid + "\"");
        task.event_guid = *parsed;
      }
      task.message = message(node);
      for (const xmlNode* opcode : children(child(node, "opcodes"), "opcode")) {
        task.opcodes.push_back(read_opcode(opcode));
      }
      schema_.tasks.push_back(std::move(task));
    }
  }

  void read_maps() {
    const xmlNode* list = child(element_, "maps");
    for (const xmlNode* node = list ? list->children : nullptr; node != nullptr; node = node->next) {
      const bool is_value_map = is_element(node, "valueMap");
      if (!is_value_map && !is_element(node, "bitMap")) continue;
      ValueMap map;
      map.name = required(node, "name");
      if (schema_.find_map(map.name) != nullptr) {
        throw ManifestError(describe(node) + " declares the map \"" + map.name + "\" a second time");
      }
      map.is_bitmap = !is_value_map;
      for (const xmlNode* entry : children(node, "map")) {
        map.entries.push_back({static_cast<std::uint32_t>(number_attribute(entry, "value", UINT32_MAX)),
                               message(entry)});
      }
      schema_.maps.push_back(std::move(map));
    }
  }

  // The <data> and <struct> children of a template or structure, in order. Count and length
  // may name an earlier field of the same level: that is the only value the decoder has read
  // when it reaches this one.
  std::vector<Field> read_fields(const xmlNode* parent) const {
    std::vector<Field> fields;
    for (const xmlNode* node = parent->children; node != nullptr; node = node->next) {
      const bool is_struct = is_element(node, "struct");
      if (!is_struct && !is_element(node, "data")) continue;
      Field field;
      field.name = required(node, "name");
      if (is_struct) {
        field.members = read_fields(node);
        if (field.members.empty()) throw ManifestError(describe(node) + " has no members");
      } else {
        const std::string in_name = required(node, "inType");
        auto in_type = intype_from_name(in_name);
        if (!in_type) throw ManifestError(describe(node) + " has the unknown inType \"" + in_name + "\"");
        field.in_type = *in_type;
        field.out_type = default_outtype(field.in_type);
        if (auto out_name = attribute(node, "outType"); out_name && !out_name->empty()) {
          auto out_type = outtype_from_name(*out_name);
          if (!out_type) throw ManifestError(describe(node) + " has the unknown outType \"" + *out_name + "\"");
          field.out_type = *out_type;
        }
        field.map = attribute_or_empty(node, "map");
        if (!field.map.empty() && schema_.find_map(field.map) == nullptr) {
          throw ManifestError(describe(node) + " uses the undefined map \"" + field.map + "\"");
        }
      }
      if (auto count = attribute(node, "count"); count && !count->empty()) {
        field.is_array = true;
        if (!read_size(node, fields, "count", *count, field.count, field.count_field)) field.count = 1;
      }
      if (auto length = attribute(node, "length"); length && !length->empty()) {
        read_size(node, fields, "length", *length, field.length, field.length_field);
      }
      fields.push_back(std::move(field));
    }
    return fields;
  }

  // Reads a count or length: a number, or the name of an earlier integer field.
  // Returns true for a number.
  static bool read_size(const xmlNode* node, const std::vector<Field>& earlier, const char* what,
                        const std::string& text, std::uint16_t& number, std::string& field_name) {
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
      number = static_cast<std::uint16_t>(parse_number(node, what, text, 0xFFFF));
      return true;
    }
    for (const Field& field : earlier) {
      if (field.name == text && !field.is_struct() && !field.is_array) {
        field_name = text;
        return false;
      }
    }
    throw ManifestError(describe(node) + ": its " + what + " \"" + text +
                        "\" is not an earlier single field of the template");
  }

  Event read_event(const xmlNode* node) {
    Event event;
    event.id = static_cast<std::uint16_t>(number_attribute(node, "value", 0xFFFF));
    if (auto version = attribute(node, "version"); version && !version->empty()) {
      event.version = static_cast<std::uint8_t>(parse_number(node, "version", *version, 255));
    }
    event.symbol = attribute_or_empty(node, "symbol");
    event.name = attribute(node, "name").value_or(event.symbol);
    event.message = message(node);
    if (auto name = attribute(node, "level"); name && !name->empty()) event.level = resolve_level(node, *name);
    if (auto name = attribute(node, "task"); name && !name->empty()) event.task = resolve_task(node, *name);
    if (auto name = attribute(node, "opcode"); name && !name->empty()) {
      event.opcode = resolve_opcode(node, event.task, *name);
    }
    if (auto names = attribute(node, "keywords")) event.keywords = resolve_keywords(node, *names);
    if (auto name = attribute(node, "channel"); name && !name->empty()) {
      event.channel = resolve_channel(node, *name);
    }
    if (auto name = attribute(node, "template"); name && !name->empty()) {
      if (schema_.find_template(*name) == nullptr) {
        throw ManifestError(describe(node) + " uses the undefined template \"" + *name + "\"");
      }
      event.template_id = *name;
    }
    return event;
  }

  [[noreturn]] static void undefined(const xmlNode* node, const char* what, const std::string& name) {
    throw ManifestError(describe(node) + " uses the undefined " + what + " \"" + name + "\"");
  }

  std::uint8_t resolve_level(const xmlNode* node, const std::string& name) {
    if (const Level* own = find_by_name(schema_.levels, name)) return own->value;
    const Level* known = predefined_level(name);
    if (known == nullptr) undefined(node, "level", name);
    schema_.levels.push_back(*known);
    return known->value;
  }

  std::uint16_t resolve_task(const xmlNode* node, const std::string& name) {
    if (const Task* own = find_by_name(schema_.tasks, name)) return own->value;
    const Task* known = predefined_task(name);
    if (known == nullptr) undefined(node, "task", name);
    schema_.tasks.push_back(*known);
    return known->value;
  }

  std::uint8_t resolve_opcode(const xmlNode* node, std::uint16_t task, const std::string& name) {
    if (const Task* owner = schema_.find_task(task)) {
      for (const Opcode& scoped : owner->opcodes) {
        if (scoped.name == name) return scoped.value;
      }
    }
    if (const Opcode* own = find_by_name(schema_.opcodes, name)) return own->value;
    const Opcode* known = predefined_opcode(name);
    if (known == nullptr) undefined(node, "opcode", name);
    schema_.opcodes.push_back(*known);
    return known->value;
  }

  std::uint64_t resolve_keywords(const xmlNode* node, const std::string& names) {
    std::uint64_t mask = 0;
    std::size_t start = 0;
    while (start < names.size()) {
      const std::size_t end = std::min(names.find_first_of(" \t\r\n", start), names.size());
      if (end > start) {
        const std::string name = names.substr(start, end - start);
        if (const Keyword* own = find_by_name(schema_.keywords, name)) {
          mask |= own->mask;
        } else if (const Keyword* known = predefined_keyword(name)) {
          schema_.keywords.push_back(*known);
          mask |= known->mask;
        } else {
          undefined(node, "keyword", name);
        }
      }
      start = end + 1;
    }
    return mask;
  }

  std::uint8_t resolve_channel(const xmlNode* node, const std::string& name) {
    for (const Channel& channel : schema_.channels) {
      if (channel.chid == name) return channel.value;
    }
    for (const Channel& channel : schema_.channels) {
      if (channel.name == name) return channel.value;
    }
    const Channel* known = predefined_channel(name);
    if (known == nullptr) undefined(node, "channel", name);
    schema_.channels.push_back(*known);
    return known->value;
  }

  const xmlNode* element_;
  const std::map<std::string, std::string>& strings_;
  ProviderSchema schema_;
};

// The string table of the en-US resources, or of the first resources when there is none.
std::map<std::string, std::string> read_strings(const xmlNode* root) {
  auto resources = children(child(root, "localization"), "resources");
  const xmlNode* chosen = resources.empty() ? nullptr : resources.front();
  for (const xmlNode* candidate : resources) {
    if (attribute_or_empty(candidate, "culture") == "en-US") chosen = candidate;
  }
  std::map<std::string, std::string> strings;
  for (const xmlNode* entry : children(child(chosen, "stringTable"), "string")) {
    strings[required(entry, "id")] = attribute_or_empty(entry, "value");
  }
  return strings;
}

struct DocumentCloser {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ContextCloser {
  void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

namespace {

void initialise_libxml() {
  static std::once_flag initialised;
  std::call_once(initialised, [] { xmlInitParser(); });
}

// Reads the schemas of a parsed document (or the parser's complaint when there is none).
InstallResult read_document(xmlParserCtxt* context, xmlDoc* parsed, const std::string& origin,
                            std::vector<ProviderSchema>& providers) {
  InstallResult result;
  std::unique_ptr<xmlDoc, DocumentCloser> doc(parsed);
  if (!doc) {
    const xmlError* last = xmlCtxtGetLastError(context);
    result.status = CatalogStatus::MalformedXml;
    result.detail = origin + " is not well-formed XML";
    if (last != nullptr && last->message != nullptr) {
      result.detail += ": line " + std::to_string(last->line) + ": " + trimmed(last->message);
    }
    return result;
  }
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || text_of(root->name) != "instrumentationManifest" || root->ns == nullptr ||
      text_of(root->ns->href) != kEventsNamespace) {
    result.status = CatalogStatus::NotAManifest;
    result.detail = origin + " is not an instrumentation manifest";
    return result;
  }

  std::vector<ProviderSchema> read;
  try {
    const auto strings = read_strings(root);
    for (const xmlNode* events : children(child(root, "instrumentation"), "events")) {
      for (const xmlNode* element : children(events, "provider")) {
        ProviderSchema schema = ProviderReader(element, strings).read();
        schema.manifest_path = origin;
        for (const ProviderSchema& earlier : read) {
          if (!schema.guid.is_zero() && earlier.guid == schema.guid) {
            throw ManifestError("two providers with the GUID " + guid_text(schema.guid));
          }
        }
        read.push_back(std::move(schema));
      }
    }
  } catch (const ManifestError& problem) {
    result.status = CatalogStatus::InvalidManifest;
    result.detail = origin + ": " + problem.what();
    return result;
  }
  if (read.empty()) {
    result.status = CatalogStatus::InvalidManifest;
    result.detail = origin + " declares no provider";
    return result;
  }
  for (const ProviderSchema& schema : read) result.providers.push_back(schema.guid);
  providers = std::move(read);
  return result;
}

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void DiscardLibxmlMessage(void*, const char*, ...) {}

// libxml2 reports some input errors (bad encodings) through its generic error handler
// whatever the parse options say; the catalog reports them through its own result instead,
// so they are kept off the process's standard error for the parse and the handler restored.
class QuietLibxml {
 public:
  QuietLibxml() : m_handler(xmlGenericError), m_context(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &DiscardLibxmlMessage);
  }
  ~QuietLibxml() { xmlSetGenericErrorFunc(m_context, m_handler); }
  QuietLibxml(const QuietLibxml&) = delete;
  QuietLibxml& operator=(const QuietLibxml&) = delete;

 private:
  xmlGenericErrorFunc m_handler;
  void* m_context;
};

}  // namespace

std::string manifest_origin(const std::filesystem::path& path) {
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  return (error ? path : absolute).lexically_normal().string();
}

InstallResult parse_manifest_file(const std::filesystem::path& path, std::vector<ProviderSchema>& providers) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    InstallResult result;
    result.status = CatalogStatus::FileNotFound;
    result.detail = "no manifest file at " + path.string();
    return result;
  }
  initialise_libxml();
  std::unique_ptr<xmlParserCtxt, ContextCloser> context(xmlNewParserCtxt());
  if (!context) throw std::bad_alloc();
  const QuietLibxml quiet;
  xmlDoc* doc = xmlCtxtReadFile(context.get(), path.c_str(), nullptr, kParseOptions);
  return read_document(context.get(), doc, manifest_origin(path), providers);
}

InstallResult parse_manifest_text(std::string_view text, const std::string& origin,
                                  std::vector<ProviderSchema>& providers) {
  initialise_libxml();
  std::unique_ptr<xmlParserCtxt, ContextCloser> context(xmlNewParserCtxt());
  if (!context) throw std::bad_alloc();
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
    InstallResult result;
    result.status = CatalogStatus::MalformedXml;
    result.detail = origin + " is too large";
    return result;
  }
  const QuietLibxml quiet;
  xmlDoc* doc = xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()), origin.c_str(),
                                  nullptr, kParseOptions);
  return read_document(context.get(), doc, origin, providers);
}

}  // namespace etw
