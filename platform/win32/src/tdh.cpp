// tdh.dll of the virtual target: the TDH functions over the machine's provider catalog, and
// the machine's set of installed providers that the reset lays afresh.
#include "tdh.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <tuple>
#include <string>
#include <vector>

#include "etw/catalog.h"
#include "platform/core/faults.h"
#include "platform/core/reset.h"
#include "platform/core/target.h"
#include "platform/core/text.h"
#include "reset_steps.h"
#include "win32_controls/modules_table.h"
#include "win32_controls/tdh_controls.h"
#include "winerror.h"

// TDH functions return their Win32 status: an armed fault is that status.
#define TDH_FAIL_IF_ARMED(name)                                \
  do {                                                         \
    if (auto armed_fault_ = ::platform::take_fault(name)) {    \
      return static_cast<ULONG>(*armed_fault_);                \
    }                                                          \
  } while (0)

namespace {

etw::Guid to_etw(const GUID& guid) {
  etw::Guid result;
  static_assert(sizeof(result) == sizeof(guid));
  std::memcpy(static_cast<void*>(&result), &guid, sizeof guid);
  return result;
}

GUID to_win(const etw::Guid& guid) {
  GUID result;
  std::memcpy(static_cast<void*>(&result), &guid, sizeof guid);
  return result;
}

// Builds one TDH record: a fixed head of `head_size` bytes (zeroed), then texts appended as
// UTF-16 with a terminating zero, at offsets the caller stores in the head.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::size_t head_size) : bytes_(head_size, 0) {}

  ULONG add_text(const std::string& utf8) {
    align(2);
    const auto offset = static_cast<ULONG>(bytes_.size());
    const std::u16string wide = platform::utf8_to_utf16(utf8);
    const std::size_t count = (wide.size() + 1) * sizeof(char16_t);
    bytes_.resize(bytes_.size() + count, 0);
    std::memcpy(bytes_.data() + offset, wide.data(), wide.size() * sizeof(char16_t));
    return offset;
  }
  // A list of texts, each zero-terminated, ending in an empty one (as Windows lays out the
  // keyword names of an event).
  ULONG add_text_list(const std::vector<std::string>& texts) {
    if (texts.empty()) return 0;
    const ULONG offset = add_text(texts.front());
    for (std::size_t i = 1; i < texts.size(); ++i) add_text(texts[i]);
    bytes_.resize(bytes_.size() + sizeof(char16_t), 0);
    return offset;
  }
  template <typename T>
  T* at(std::size_t offset) {
    return reinterpret_cast<T*>(bytes_.data() + offset);
  }
  std::vector<unsigned char> take() { return std::move(bytes_); }
  // Copies the record out, or reports the size needed.
  ULONG deliver(void* buffer, ULONG* buffer_size) const {
    const auto needed = static_cast<ULONG>(bytes_.size());
    if (buffer == nullptr || *buffer_size < needed) {
      *buffer_size = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, bytes_.data(), needed);
    *buffer_size = needed;
    return ERROR_SUCCESS;
  }

 private:
  void align(std::size_t alignment) {
    while (bytes_.size() % alignment != 0) bytes_.push_back(0);
  }
  std::vector<unsigned char> bytes_;
};

std::string path_of(PCWSTR manifest) {
  return platform::host_path(platform::utf16_to_utf8(std::u16string_view(manifest)));
}

// Flattens a template's fields as TRACE_EVENT_INFO lists them: top-level properties first,
// the members of structures after them (each structure names its first member's index).
struct FlatProperty {
  const etw::Field* field;
  USHORT struct_start = 0;
  // Index of the field that gives the count or length, among its siblings' indexes.
  std::vector<const etw::Field*> siblings;
  USHORT sibling_base = 0;
};

void flatten(const std::vector<etw::Field>& fields, std::vector<FlatProperty>& out, USHORT base) {
  std::vector<std::size_t> structs;
  for (const etw::Field& field : fields) {
    FlatProperty property{&field, 0, {}, base};
    for (const etw::Field& sibling : fields) property.siblings.push_back(&sibling);
    if (field.is_struct()) structs.push_back(out.size());
    out.push_back(std::move(property));
  }
  for (std::size_t index : structs) {
    const auto start = static_cast<USHORT>(out.size());
    out[index].struct_start = start;
    flatten(out[index].field->members, out, start);
  }
}

USHORT sibling_index(const FlatProperty& property, const std::string& name) {
  for (std::size_t i = 0; i < property.siblings.size(); ++i) {
    if (property.siblings[i]->name == name) return static_cast<USHORT>(property.sibling_base + i);
  }
  return 0;
}

etw::EventKey key_of(const EVENT_DESCRIPTOR& descriptor) {
  return etw::EventKey{descriptor.Id, descriptor.Version, descriptor.Opcode};
}

// The machine's installed software: what the reset installs afresh into the catalog.
struct InstalledSoftware {
  std::mutex mutex;
  std::vector<std::filesystem::path> manifests;
  std::vector<etw::ProviderSchema> declared;
};

InstalledSoftware& installed() {
  static InstalledSoftware& instance = *new InstalledSoftware;
  return instance;
}

void install_catalog_afresh() {
  std::vector<std::filesystem::path> manifests;
  std::vector<etw::ProviderSchema> declared;
  {
    std::lock_guard lock(installed().mutex);
    manifests = installed().manifests;
    declared = installed().declared;
  }
  etw::catalog().install_afresh(manifests, declared);
}

}  // namespace

ULONG WINAPI TdhEnumerateProviders(PPROVIDER_ENUMERATION_INFO pBuffer, ULONG* pBufferSize) {
  TDH_FAIL_IF_ARMED("TdhEnumerateProviders");
  if (pBufferSize == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<etw::ProviderSummary> listed;
  for (auto& provider : etw::catalog().providers()) {
    // Windows lists manifest and MOF providers; WPP and TraceLogging ones are not registered.
    if (provider.source == etw::DecodingSource::XmlFile || provider.source == etw::DecodingSource::Wbem) {
      listed.push_back(std::move(provider));
    }
  }
  const std::size_t head = offsetof(PROVIDER_ENUMERATION_INFO, TraceProviderInfoArray) +
                           listed.size() * sizeof(TRACE_PROVIDER_INFO);
  RecordBuilder record(head);
  record.at<PROVIDER_ENUMERATION_INFO>(0)->NumberOfProviders = static_cast<ULONG>(listed.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const ULONG name = record.add_text(listed[i].name);
    auto* entry = record.at<TRACE_PROVIDER_INFO>(offsetof(PROVIDER_ENUMERATION_INFO, TraceProviderInfoArray) +
                                                 i * sizeof(TRACE_PROVIDER_INFO));
    entry->ProviderGuid = to_win(listed[i].guid);
    entry->SchemaSource = static_cast<ULONG>(listed[i].source);
    entry->ProviderNameOffset = name;
  }
  return record.deliver(pBuffer, pBufferSize);
}

ULONG WINAPI TdhEnumerateProviderFieldInformation(LPGUID pGuid, EVENT_FIELD_TYPE EventFieldType,
                                                  PPROVIDER_FIELD_INFOARRAY pBuffer, ULONG* pBufferSize) {
  TDH_FAIL_IF_ARMED("TdhEnumerateProviderFieldInformation");
  if (pGuid == nullptr || pBufferSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (EventFieldType != EventKeywordInformation) return ERROR_NOT_SUPPORTED;
  const auto keywords = etw::catalog().keywords(to_etw(*pGuid));
  if (!keywords || keywords->empty()) return ERROR_NOT_FOUND;
  const std::size_t head = offsetof(PROVIDER_FIELD_INFOARRAY, FieldInfoArray) +
                           keywords->size() * sizeof(PROVIDER_FIELD_INFO);
  RecordBuilder record(head);
  record.at<PROVIDER_FIELD_INFOARRAY>(0)->NumberOfElements = static_cast<ULONG>(keywords->size());
  record.at<PROVIDER_FIELD_INFOARRAY>(0)->FieldType = EventKeywordInformation;
  for (std::size_t i = 0; i < keywords->size(); ++i) {
    const etw::Keyword& keyword = (*keywords)[i];
    const ULONG name = record.add_text(keyword.name);
    const ULONG description = keyword.message.empty() ? 0 : record.add_text(keyword.message);
    auto* field = record.at<PROVIDER_FIELD_INFO>(offsetof(PROVIDER_FIELD_INFOARRAY, FieldInfoArray) +
                                                 i * sizeof(PROVIDER_FIELD_INFO));
    field->NameOffset = name;
    field->DescriptionOffset = description;
    field->Value = keyword.mask;
  }
  return record.deliver(pBuffer, pBufferSize);
}

namespace {

// The TRACE_EVENT_INFO of an event as the provider's schema describes it. The header's
// provider GUID and descriptor are copied in by the caller: the descriptor's level, task,
// keywords and channel are the event's own, not part of what identifies its schema.
std::optional<std::vector<unsigned char>> build_event_information(const etw::Guid& provider_guid,
                                                                  const etw::EventKey& key) {
  const auto found = etw::catalog().find_event(provider_guid, key);
  if (!found) return std::nullopt;
  const etw::ProviderSchema& provider = *found->provider;
  const etw::Event& event = *found->event;

  std::vector<FlatProperty> properties;
  std::size_t top_level = 0;
  if (found->event_template != nullptr) {
    flatten(found->event_template->fields, properties, 0);
    top_level = found->event_template->fields.size();
  }
  const std::size_t count = properties.size();
  const std::size_t head = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) +
                           (count == 0 ? 1 : count) * sizeof(EVENT_PROPERTY_INFO);
  RecordBuilder record(head);
  auto info = [&record] { return record.at<TRACE_EVENT_INFO>(0); };
  info()->DecodingSource = static_cast<DECODING_SOURCE>(provider.source);
  info()->PropertyCount = static_cast<ULONG>(count);
  info()->TopLevelPropertyCount = static_cast<ULONG>(top_level);
  if (found->event_template != nullptr) info()->Flags = TEMPLATE_EVENT_DATA;
  if (const etw::Task* task = provider.find_task(event.task); task != nullptr && !task->event_guid.is_zero()) {
    info()->EventGuid = to_win(task->event_guid);
  }
  // Texts after the head; every offset is taken after the text's own append, since the
  // builder's storage moves as it grows.
  const ULONG provider_name = record.add_text(provider.name);
  info()->ProviderNameOffset = provider_name;
  if (const etw::Level* level = provider.find_level(event.level)) {
    const ULONG offset = record.add_text(level->message.empty() ? level->name : level->message);
    info()->LevelNameOffset = offset;
  }
  if (const etw::Channel* channel = provider.find_channel(event.channel)) {
    const ULONG offset = record.add_text(channel->message.empty() ? channel->name : channel->message);
    info()->ChannelNameOffset = offset;
  }
  std::vector<std::string> keyword_names;
  for (const etw::Keyword* keyword : provider.keywords_in(event.keywords)) {
    keyword_names.push_back(keyword->message.empty() ? keyword->name : keyword->message);
  }
  const ULONG keywords_offset = record.add_text_list(keyword_names);
  info()->KeywordsNameOffset = keywords_offset;
  if (const etw::Task* task = provider.find_task(event.task)) {
    const ULONG offset = record.add_text(task->message.empty() ? task->name : task->message);
    info()->TaskNameOffset = offset;
  }
  if (const etw::Opcode* opcode = provider.find_opcode(event.task, event.opcode)) {
    const ULONG offset = record.add_text(opcode->message.empty() ? opcode->name : opcode->message);
    info()->OpcodeNameOffset = offset;
  }
  if (!event.message.empty()) {
    const ULONG offset = record.add_text(event.message);
    info()->EventMessageOffset = offset;
  }
  if (!provider.message.empty()) {
    const ULONG offset = record.add_text(provider.message);
    info()->ProviderMessageOffset = offset;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const FlatProperty& property = properties[i];
    const etw::Field& field = *property.field;
    const ULONG name = record.add_text(field.name);
    const ULONG map = field.map.empty() ? 0 : record.add_text(field.map);
    EVENT_PROPERTY_INFO& out = record.at<TRACE_EVENT_INFO>(0)->EventPropertyInfoArray[0];
    EVENT_PROPERTY_INFO* slot = &out + i;
    ULONG flags = 0;
    slot->NameOffset = name;
    if (field.is_struct()) {
      flags |= PropertyStruct;
      slot->structType.StructStartIndex = property.struct_start;
      slot->structType.NumOfStructMembers = static_cast<USHORT>(field.members.size());
    } else {
      slot->nonStructType.InType = field.in_type;
      slot->nonStructType.OutType = field.out_type;
      slot->nonStructType.MapNameOffset = map;
    }
    if (!field.count_field.empty()) {
      flags |= PropertyParamCount;
      slot->countPropertyIndex = sibling_index(property, field.count_field);
    } else {
      slot->count = field.count;
      if (field.is_array) flags |= PropertyParamFixedCount;
    }
    if (!field.length_field.empty()) {
      flags |= PropertyParamLength;
      slot->lengthPropertyIndex = sibling_index(property, field.length_field);
    } else {
      slot->length = field.length;
      if (field.length != 0) flags |= PropertyParamFixedLength;
    }
    slot->Flags = static_cast<PROPERTY_FLAGS>(flags);
  }
  return record.take();
}

// Built event information by event key, so that decoding an event does not rebuild (and
// re-convert every text of) its TRACE_EVENT_INFO each time. Entries belong to the catalog
// generation they were built in: any change of the installed providers (a provider replaced,
// a manifest loaded or unloaded, a reset) empties the cache before the next answer, and an
// entry built from a catalog that changed meanwhile is not kept.
class EventInformationCache {
 public:
  using Entry = std::shared_ptr<const std::vector<unsigned char>>;
  struct Key {
    etw::Guid provider;
    etw::EventKey event;
    bool operator<(const Key& other) const {
      return std::tie(provider, event.id, event.version, event.opcode) <
             std::tie(other.provider, other.event.id, other.event.version, other.event.opcode);
    }
  };

  Entry find(const Key& key, std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (!follow(generation)) return nullptr;
    const auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second;
  }

  void store(const Key& key, std::uint64_t generation, Entry entry) {
    std::lock_guard lock(mutex_);
    if (!follow(generation)) return;
    if (entries_.size() >= kMaxEntries) entries_.clear();
    entries_[key] = std::move(entry);
  }

 private:
  static constexpr std::size_t kMaxEntries = 4096;

  // Moves the cache to `generation` when it is newer; false when the caller's is older.
  bool follow(std::uint64_t generation) {
    if (generation < generation_) return false;
    if (generation > generation_) {
      entries_.clear();
      generation_ = generation;
    }
    return true;
  }

  std::mutex mutex_;
  std::uint64_t generation_ = 0;
  std::map<Key, Entry> entries_;
};

EventInformationCache& event_information_cache() {
  static EventInformationCache& instance = *new EventInformationCache;
  return instance;
}

}  // namespace

ULONG WINAPI TdhGetEventInformation(PEVENT_RECORD pEvent, ULONG TdhContextCount, PTDH_CONTEXT pTdhContext,
                                    PTRACE_EVENT_INFO pBuffer, ULONG* pBufferSize) {
  TDH_FAIL_IF_ARMED("TdhGetEventInformation");
  if (pEvent == nullptr || pBufferSize == nullptr || (TdhContextCount != 0 && pTdhContext == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  const EVENT_HEADER& header = pEvent->EventHeader;
  const EventInformationCache::Key key{to_etw(header.ProviderId), key_of(header.EventDescriptor)};
  // Read before the catalog is queried, so that an entry built now is never newer than its label.
  const std::uint64_t generation = etw::catalog().generation();
  EventInformationCache::Entry bytes = event_information_cache().find(key, generation);
  if (bytes == nullptr) {
    auto built = build_event_information(key.provider, key.event);
    if (!built) return ERROR_NOT_FOUND;
    bytes = std::make_shared<const std::vector<unsigned char>>(std::move(*built));
    event_information_cache().store(key, generation, bytes);
  }
  const auto needed = static_cast<ULONG>(bytes->size());
  if (pBuffer == nullptr || *pBufferSize < needed) {
    *pBufferSize = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(static_cast<void*>(pBuffer), bytes->data(), needed);
  pBuffer->ProviderGuid = header.ProviderId;
  pBuffer->EventDescriptor = header.EventDescriptor;
  *pBufferSize = needed;
  return ERROR_SUCCESS;
}

ULONG WINAPI TdhGetEventMapInformation(PEVENT_RECORD pEvent, PWSTR pMapName, PEVENT_MAP_INFO pBuffer,
                                       ULONG* pBufferSize) {
  TDH_FAIL_IF_ARMED("TdhGetEventMapInformation");
  if (pEvent == nullptr || pMapName == nullptr || pBufferSize == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string map_name = platform::utf16_to_utf8(std::u16string_view(pMapName));
  const auto found = etw::catalog().find_map(to_etw(pEvent->EventHeader.ProviderId), map_name);
  if (!found) return ERROR_NOT_FOUND;
  const etw::ValueMap& map = *found->map;
  const std::size_t entries = map.entries.size();
  const std::size_t head = offsetof(EVENT_MAP_INFO, MapEntryArray) + (entries == 0 ? 1 : entries) * sizeof(EVENT_MAP_ENTRY);
  RecordBuilder record(head);
  const ULONG name = record.add_text(map.name);
  record.at<EVENT_MAP_INFO>(0)->NameOffset = name;
  record.at<EVENT_MAP_INFO>(0)->Flag = map.is_bitmap ? EVENTMAP_INFO_FLAG_MANIFEST_BITMAP : EVENTMAP_INFO_FLAG_MANIFEST_VALUEMAP;
  record.at<EVENT_MAP_INFO>(0)->EntryCount = static_cast<ULONG>(entries);
  record.at<EVENT_MAP_INFO>(0)->MapEntryValueType = EVENTMAP_ENTRY_VALUETYPE_ULONG;
  for (std::size_t i = 0; i < entries; ++i) {
    const ULONG text = record.add_text(map.entries[i].message);
    EVENT_MAP_ENTRY* entry = &record.at<EVENT_MAP_INFO>(0)->MapEntryArray[0] + i;
    entry->OutputOffset = text;
    entry->Value = map.entries[i].value;
  }
  return record.deliver(pBuffer, pBufferSize);
}

namespace {

// Bytes one element of `in_type` takes at `data` (with `available` bytes), or nothing when the
// element does not fit (no terminator, fewer bytes than its size). `length` is the declared
// length: characters for strings, bytes for binary data.
std::optional<std::size_t> element_size(USHORT in_type, USHORT out_type, USHORT length, ULONG pointer_size,
                                        const BYTE* data, std::size_t available) {
  auto fixed = [available](std::size_t size) -> std::optional<std::size_t> {
    if (size > available) return std::nullopt;
    return size;
  };
  switch (in_type) {
    case TDH_INTYPE_UNICODESTRING: {
      if (length != 0) return fixed(std::size_t{length} * 2);
      for (std::size_t i = 0; i + 1 < available; i += 2) {
        if (data[i] == 0 && data[i + 1] == 0) return i + 2;
      }
      return std::nullopt;
    }
    case TDH_INTYPE_ANSISTRING: {
      if (length != 0) return fixed(length);
      const void* end = std::memchr(data, 0, available);
      if (end == nullptr) return std::nullopt;
      return static_cast<std::size_t>(static_cast<const BYTE*>(end) - data) + 1;
    }
    case TDH_INTYPE_INT8: case TDH_INTYPE_UINT8: return fixed(1);
    case TDH_INTYPE_INT16: case TDH_INTYPE_UINT16: return fixed(2);
    case TDH_INTYPE_INT32: case TDH_INTYPE_UINT32: case TDH_INTYPE_HEXINT32: case TDH_INTYPE_FLOAT:
    case TDH_INTYPE_BOOLEAN: return fixed(4);
    case TDH_INTYPE_INT64: case TDH_INTYPE_UINT64: case TDH_INTYPE_HEXINT64: case TDH_INTYPE_DOUBLE:
    case TDH_INTYPE_FILETIME: return fixed(8);
    case TDH_INTYPE_GUID: case TDH_INTYPE_SYSTEMTIME: return fixed(16);
    case TDH_INTYPE_POINTER: case TDH_INTYPE_SIZET: return fixed(pointer_size);
    case TDH_INTYPE_BINARY: case TDH_INTYPE_HEXDUMP: case TDH_INTYPE_NONNULLTERMINATEDANSISTRING: return fixed(length);
    case TDH_INTYPE_NONNULLTERMINATEDSTRING: return fixed(std::size_t{length} * 2);
    case TDH_INTYPE_UNICODECHAR:
      return fixed(std::size_t{out_type == TDH_OUTTYPE_STRING && length > 1 ? length : USHORT{1}} * 2);
    case TDH_INTYPE_ANSICHAR: return fixed(out_type == TDH_OUTTYPE_STRING && length > 1 ? length : USHORT{1});
    default: return std::nullopt;
  }
}

bool is_supported_intype(USHORT in_type) {
  switch (in_type) {
    case TDH_INTYPE_NULL: case TDH_INTYPE_SID: case TDH_INTYPE_WBEMSID: return false;
    default: return in_type <= TDH_INTYPE_HEXINT64 || (in_type >= TDH_INTYPE_NONNULLTERMINATEDSTRING && in_type <= TDH_INTYPE_HEXDUMP);
  }
}

template <typename T>
T load(const BYTE* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// Formats are the literals below; the compiler cannot follow them through the template.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string printed(const char* format, auto... values) {
  char text[96];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}
#pragma GCC diagnostic pop

// Integers without the formatted-output machinery: the same digits as "%d"/"%llu" and "0x%X".
std::string decimal(auto value) {
  char text[24];
  const char* end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, static_cast<std::size_t>(end - text));
}

std::string hex(ULONGLONG value) {
  char text[24] = "0x";
  char* end = std::to_chars(text + 2, text + sizeof text, value, 16).ptr;
  for (char* digit = text + 2; digit < end; ++digit) {
    if (*digit >= 'a') *digit = static_cast<char>(*digit - 'a' + 'A');
  }
  return std::string(text, static_cast<std::size_t>(end - text));
}

std::string hex_bytes(const BYTE* data, std::size_t size) {
  std::string text = "0x";
  for (std::size_t i = 0; i < size; ++i) text += printed("%02X", data[i]);
  return text;
}

// Civil date of a file time (100-nanosecond units since 1601-01-01), by the standard
// library's calendar, as FileTimeToSystemTime dates it.
void civil_date_of_file_time(ULONGLONG ticks, int& year, unsigned& month, unsigned& day) {
  using namespace std::chrono;
  constexpr sys_days kFileTimeEpoch{std::chrono::year{1601} / January / 1};
  const year_month_day date{kFileTimeEpoch + days{static_cast<long long>(ticks / 864000000000ull)}};
  year = static_cast<int>(date.year());
  month = static_cast<unsigned>(date.month());
  day = static_cast<unsigned>(date.day());
}

// The text of an integer through a value map: the entry's text, the matching bits' texts
// joined by " | " for a bit map; nothing when no entry matches.
std::optional<std::string> mapped(const EVENT_MAP_INFO* map, ULONGLONG value) {
  const auto* base = reinterpret_cast<const BYTE*>(map);
  auto text_at = [base](ULONG offset) {
    return platform::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(base + offset)));
  };
  const bool bitmap = (map->Flag & (EVENTMAP_INFO_FLAG_MANIFEST_BITMAP | EVENTMAP_INFO_FLAG_WBEM_BITMAP)) != 0;
  std::string joined;
  for (ULONG i = 0; i < map->EntryCount; ++i) {
    const EVENT_MAP_ENTRY& entry = map->MapEntryArray[i];
    if (!bitmap && entry.Value == value) return text_at(entry.OutputOffset);
    if (bitmap && entry.Value != 0 && (value & entry.Value) == entry.Value) {
      if (!joined.empty()) joined += " | ";
      joined += text_at(entry.OutputOffset);
    }
  }
  if (joined.empty()) return std::nullopt;
  return joined;
}

std::string render(USHORT in_type, USHORT out_type, const BYTE* data, std::size_t size, ULONG pointer_size,
                   const EVENT_MAP_INFO* map) {
  auto integer = [&](ULONGLONG value) -> std::string {
    if (map != nullptr) {
      if (auto text = mapped(map, value)) return *text;
    }
    if (out_type >= TDH_OUTTYPE_HEXINT8 && out_type <= TDH_OUTTYPE_HEXINT64) return hex(value);
    if (out_type == TDH_OUTTYPE_WIN32ERROR || out_type == TDH_OUTTYPE_HRESULT || out_type == TDH_OUTTYPE_NTSTATUS ||
        out_type == TDH_OUTTYPE_ERRORCODE) {
      return hex(value);
    }
    return decimal(value);
  };
  switch (in_type) {
    case TDH_INTYPE_ANSISTRING: case TDH_INTYPE_NONNULLTERMINATEDANSISTRING: case TDH_INTYPE_ANSICHAR: {
      std::string text(reinterpret_cast<const char*>(data), size);
      if (auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
      return text;
    }
    case TDH_INTYPE_INT8: return decimal(static_cast<int>(load<signed char>(data)));
    case TDH_INTYPE_UINT8: return integer(data[0]);
    case TDH_INTYPE_INT16: return decimal(static_cast<int>(load<short>(data)));
    case TDH_INTYPE_UINT16:
      // A port travels in network byte order; TDH shows its number.
      if (out_type == TDH_OUTTYPE_PORT) return decimal(unsigned{data[0]} << 8 | unsigned{data[1]});
      return integer(load<USHORT>(data));
    case TDH_INTYPE_INT32: return decimal(load<int>(data));
    case TDH_INTYPE_UINT32: return integer(load<ULONG>(data));
    case TDH_INTYPE_INT64: return decimal(load<long long>(data));
    case TDH_INTYPE_UINT64: return integer(load<ULONGLONG>(data));
    case TDH_INTYPE_HEXINT32: return hex(load<ULONG>(data));
    case TDH_INTYPE_HEXINT64: return hex(load<ULONGLONG>(data));
    case TDH_INTYPE_FLOAT: return printed("%f", static_cast<double>(load<float>(data)));
    case TDH_INTYPE_DOUBLE: return printed("%f", load<double>(data));
    case TDH_INTYPE_BOOLEAN: return load<ULONG>(data) != 0 ? "true" : "false";
    case TDH_INTYPE_GUID: return etw::guid_text(load<etw::Guid>(data));
    case TDH_INTYPE_POINTER: case TDH_INTYPE_SIZET:
      return pointer_size == 4 ? hex(load<ULONG>(data)) : hex(load<ULONGLONG>(data));
    case TDH_INTYPE_BINARY: case TDH_INTYPE_HEXDUMP: return hex_bytes(data, size);
    case TDH_INTYPE_FILETIME: {
      const ULONGLONG ticks = load<ULONGLONG>(data);
      const ULONGLONG seconds = ticks / 10000000ull;
      int year;
      unsigned month, day;
      civil_date_of_file_time(ticks, year, month, day);
      const auto of_day = static_cast<unsigned>(seconds % 86400);
      return printed("%04d-%02u-%02uT%02u:%02u:%02u.%07lluZ", year, month, day, of_day / 3600, of_day / 60 % 60,
                     of_day % 60, ticks % 10000000ull);
    }
    case TDH_INTYPE_SYSTEMTIME: {
      // Event data has no alignment: a SYSTEMTIME after an odd-length string starts at an odd byte.
      const auto t = [data](int field) { return unsigned{load<USHORT>(data + 2 * field)}; };
      return printed("%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t(0), t(1), t(3), t(4), t(5), t(6), t(7));
    }
    default: return {};
  }
}

bool is_wide_text(USHORT in_type) {
  return in_type == TDH_INTYPE_UNICODESTRING || in_type == TDH_INTYPE_NONNULLTERMINATEDSTRING ||
         in_type == TDH_INTYPE_UNICODECHAR;
}

// UTF-16 text of `size` bytes up to its first zero, taken as it is but for unpaired
// surrogates, which become U+FFFD as in every other text this surface renders.
std::u16string wide_text(const BYTE* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);
  if (auto zero = text.find(u'\0'); zero != std::u16string::npos) text.resize(zero);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
    } else {
      text[i] = 0xFFFD;
    }
  }
  return text;
}

struct PropertyWalk {
  std::vector<unsigned char> info_bytes;
  const TRACE_EVENT_INFO* info = nullptr;
};

// The event's top-level properties laid over its user data: offset and size of each, sizes
// by declared length and count (fixed, or by an earlier property's value). Stops at the first
// property that does not fit.
ULONG locate_property(PEVENT_RECORD event, const char16_t* name, std::size_t& offset, std::size_t& size) {
  ULONG info_size = 0;
  ULONG status = TdhGetEventInformation(event, 0, nullptr, nullptr, &info_size);
  if (status != ERROR_INSUFFICIENT_BUFFER) return status;
  std::vector<unsigned char> bytes(info_size);
  auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(bytes.data());
  status = TdhGetEventInformation(event, 0, nullptr, info, &info_size);
  if (status != ERROR_SUCCESS) return status;
  const auto* data = static_cast<const BYTE*>(event->UserData);
  const std::size_t total = data == nullptr ? 0 : event->UserDataLength;
  const ULONG pointer_size = (event->EventHeader.Flags & 0x20) != 0 ? 4 : 8;
  std::vector<ULONGLONG> values(info->TopLevelPropertyCount, 0);
  std::size_t at = 0;
  for (ULONG i = 0; i < info->TopLevelPropertyCount; ++i) {
    const EVENT_PROPERTY_INFO& property = info->EventPropertyInfoArray[i];
    if ((property.Flags & PropertyStruct) != 0) return ERROR_NOT_SUPPORTED;
    const USHORT count = (property.Flags & PropertyParamCount) != 0 && property.countPropertyIndex < i
                             ? static_cast<USHORT>(values[property.countPropertyIndex]) : property.count;
    const USHORT length = (property.Flags & PropertyParamLength) != 0 && property.lengthPropertyIndex < i
                              ? static_cast<USHORT>(values[property.lengthPropertyIndex]) : property.length;
    std::size_t property_size = 0;
    for (USHORT element = 0; element < (count == 0 ? 1 : count); ++element) {
      const auto one = element_size(property.nonStructType.InType, property.nonStructType.OutType, length,
                                    pointer_size, data + at + property_size, total - at - property_size);
      if (!one) return ERROR_EVT_INVALID_EVENT_DATA;
      property_size += *one;
    }
    if (property_size <= sizeof(ULONGLONG)) std::memcpy(&values[i], data + at, property_size);
    const auto* property_name = reinterpret_cast<const char16_t*>(bytes.data() + property.NameOffset);
    if (std::u16string_view(property_name) == std::u16string_view(name)) {
      offset = at;
      size = property_size;
      return ERROR_SUCCESS;
    }
    at += property_size;
  }
  return ERROR_NOT_FOUND;
}

}  // namespace

// Top-level properties by name (PropertyData[0]); the whole property, arrays included.
ULONG WINAPI TdhGetProperty(PEVENT_RECORD pEvent, ULONG, PTDH_CONTEXT, ULONG PropertyDataCount,
                            PPROPERTY_DATA_DESCRIPTOR pPropertyData, ULONG BufferSize, PBYTE pBuffer) {
  TDH_FAIL_IF_ARMED("TdhGetProperty");
  if (pEvent == nullptr || PropertyDataCount == 0 || pPropertyData == nullptr || pBuffer == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  std::size_t offset = 0, size = 0;
  const ULONG status =
      locate_property(pEvent, reinterpret_cast<const char16_t*>(pPropertyData[0].PropertyName), offset, size);
  if (status != ERROR_SUCCESS) return status;
  if (BufferSize < size) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(pBuffer, static_cast<const BYTE*>(pEvent->UserData) + offset, size);
  return ERROR_SUCCESS;
}

ULONG WINAPI TdhGetPropertySize(PEVENT_RECORD pEvent, ULONG, PTDH_CONTEXT, ULONG PropertyDataCount,
                                PPROPERTY_DATA_DESCRIPTOR pPropertyData, ULONG* pPropertySize) {
  TDH_FAIL_IF_ARMED("TdhGetPropertySize");
  if (pEvent == nullptr || PropertyDataCount == 0 || pPropertyData == nullptr || pPropertySize == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  std::size_t offset = 0, size = 0;
  const ULONG status =
      locate_property(pEvent, reinterpret_cast<const char16_t*>(pPropertyData[0].PropertyName), offset, size);
  if (status == ERROR_SUCCESS) *pPropertySize = static_cast<ULONG>(size);
  return status;
}

// One element rendered as text. Integers with a value map show the map's text; an element
// that does not fit the remaining data answers ERROR_EVT_INVALID_EVENT_DATA (a UTF-16 string
// without its terminator is still rendered from what is there); SIDs and unknown in-types
// answer ERROR_NOT_SUPPORTED.
ULONG WINAPI TdhFormatProperty(PTRACE_EVENT_INFO, PEVENT_MAP_INFO MapInfo, ULONG PointerSize, USHORT PropertyInType,
                               USHORT PropertyOutType, USHORT PropertyLength, USHORT UserDataLength, PBYTE UserData,
                               PULONG BufferSize, PWCHAR Buffer, PUSHORT UserDataConsumed) {
  TDH_FAIL_IF_ARMED("TdhFormatProperty");
  if (BufferSize == nullptr || UserDataConsumed == nullptr || (UserData == nullptr && UserDataLength != 0)) {
    return ERROR_INVALID_PARAMETER;
  }
  if (!is_supported_intype(PropertyInType)) return ERROR_NOT_SUPPORTED;
  auto size = element_size(PropertyInType, PropertyOutType, PropertyLength, PointerSize, UserData, UserDataLength);
  ULONG status = ERROR_SUCCESS;
  if (!size) {
    if (PropertyInType != TDH_INTYPE_UNICODESTRING || UserDataLength < 2) return ERROR_EVT_INVALID_EVENT_DATA;
    size = UserDataLength & ~std::size_t{1};
    status = ERROR_EVT_INVALID_EVENT_DATA;
  }
  // Rendered texts are mostly ASCII (numbers, names): those go to the caller's buffer unit
  // by unit, without a UTF-16 copy in between.
  std::u16string wide;
  std::string narrow;
  bool ascii = false;
  if (is_wide_text(PropertyInType)) {
    wide = wide_text(UserData, *size);
  } else {
    narrow = render(PropertyInType, PropertyOutType, UserData, *size, PointerSize, MapInfo);
    ascii = std::all_of(narrow.begin(), narrow.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) wide = platform::utf8_to_utf16(narrow);
  }
  const std::size_t length = ascii ? narrow.size() : wide.size();
  const auto needed = static_cast<ULONG>((length + 1) * sizeof(char16_t));
  if (Buffer == nullptr || *BufferSize < needed) {
    *BufferSize = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  if (ascii) {
    for (std::size_t i = 0; i < length; ++i) Buffer[i] = static_cast<WCHAR>(narrow[i]);
    Buffer[length] = 0;
  } else {
    std::memcpy(Buffer, wide.c_str(), needed);
  }
  *BufferSize = needed;
  *UserDataConsumed = static_cast<USHORT>(*size);
  return status;
}

ULONG WINAPI TdhLoadManifest(PWSTR Manifest) {
  TDH_FAIL_IF_ARMED("TdhLoadManifest");
  if (Manifest == nullptr) return ERROR_INVALID_PARAMETER;
  // A manifest the message compiler would not pass (a provider without a valid GUID, a
  // dangling reference) fails validation here as well; TDH binds nothing by name.
  const etw::CatalogStatus status = etw::catalog().install_manifest(path_of(Manifest), etw::Scope::Loaded).status;
  return status == etw::CatalogStatus::InvalidManifest ? static_cast<ULONG>(ERROR_XML_PARSE_ERROR)
                                                        : etw::win32_status(status);
}

ULONG WINAPI TdhUnloadManifest(PWSTR Manifest) {
  TDH_FAIL_IF_ARMED("TdhUnloadManifest");
  if (Manifest == nullptr) return ERROR_INVALID_PARAMETER;
  return etw::win32_status(etw::catalog().uninstall_manifest(path_of(Manifest), etw::Scope::Loaded));
}

namespace platform::win32 {

etw::InstallResult install_machine_manifest(const std::filesystem::path& path) {
  etw::InstallResult result = etw::catalog().install_manifest(path, etw::Scope::Registered);
  if (result.ok()) {
    std::lock_guard lock(installed().mutex);
    installed().manifests.push_back(path);
  }
  return result;
}

etw::CatalogStatus install_machine_provider(const etw::ProviderSchema& schema) {
  const etw::CatalogStatus status = etw::catalog().install_provider(schema, etw::Scope::Registered);
  if (status == etw::CatalogStatus::Ok) {
    std::lock_guard lock(installed().mutex);
    installed().declared.push_back(schema);
  }
  return status;
}

void forget_machine_providers() {
  std::lock_guard lock(installed().mutex);
  installed().manifests.clear();
  installed().declared.clear();
}

void set_tdh_library_present(bool present) {
  if (!present) {
    unregister_module("tdh.dll");
    return;
  }
  for (auto& [name, exports] : builtin_module_exports()) {
    if (name == "tdh.dll") register_module(name, std::move(exports));
  }
}

void join_tdh_reset_phases() {
  add_reset_step(ResetPhase::lay_installed_software, &install_catalog_afresh);
}

}  // namespace platform::win32
