// tdh.dll of the virtual target: the TDH functions over the machine's provider catalog, and
// the machine's set of installed providers that the reset lays afresh.
#include "tdh.h"

#include <cstring>
#include <mutex>
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

ULONG WINAPI TdhGetEventInformation(PEVENT_RECORD pEvent, ULONG TdhContextCount, PTDH_CONTEXT pTdhContext,
                                    PTRACE_EVENT_INFO pBuffer, ULONG* pBufferSize) {
  TDH_FAIL_IF_ARMED("TdhGetEventInformation");
  if (pEvent == nullptr || pBufferSize == nullptr || (TdhContextCount != 0 && pTdhContext == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  const EVENT_HEADER& header = pEvent->EventHeader;
  const etw::Guid provider_guid = to_etw(header.ProviderId);
  const auto found = etw::catalog().find_event(provider_guid, key_of(header.EventDescriptor));
  if (!found) return ERROR_NOT_FOUND;
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
  info()->ProviderGuid = header.ProviderId;
  info()->EventDescriptor = header.EventDescriptor;
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
  return record.deliver(pBuffer, pBufferSize);
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

// Property access and formatting answer from event data, which the event-decoding work adds.
ULONG WINAPI TdhGetProperty(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG, PBYTE) {
  return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI TdhGetPropertySize(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG*) {
  return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI TdhFormatProperty(PTRACE_EVENT_INFO, PEVENT_MAP_INFO, ULONG, USHORT, USHORT, USHORT, USHORT, PBYTE,
                               PULONG, PWCHAR, PUSHORT) {
  return ERROR_NOT_SUPPORTED;
}

ULONG WINAPI TdhLoadManifest(PWSTR Manifest) {
  TDH_FAIL_IF_ARMED("TdhLoadManifest");
  if (Manifest == nullptr) return ERROR_INVALID_PARAMETER;
  return etw::win32_status(etw::catalog().install_manifest(path_of(Manifest), etw::Scope::Loaded).status);
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
