// Event records for decoder tests and benches: a provider schema with one event, and an
// EVENT_RECORD whose header comes from that event and whose user data is appended piece by
// piece. The builder owns the user data; the record stays valid while the builder lives.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "etw/schema.h"
#include "evntcons.h"

namespace decode_testing {

inline GUID ToGuid(const etw::Guid& guid) {
  GUID result;
  std::memcpy(static_cast<void*>(&result), &guid, sizeof result);
  return result;
}

// A provider declaring one event (id 1, version 0) whose template holds `fields`.
inline etw::ProviderSchema OneEventProvider(const std::string& name, const char* guid, etw::DecodingSource source,
                                            std::vector<etw::Field> fields, const std::string& message) {
  etw::ProviderSchema provider;
  provider.name = name;
  provider.guid = *etw::parse_guid_text(guid);
  provider.source = source;
  etw::Event event;
  event.id = 1;
  event.message = message;
  if (!fields.empty()) {
    provider.templates.push_back(etw::Template{"T1", std::move(fields)});
    event.template_id = "T1";
  }
  provider.events.push_back(event);
  return provider;
}

inline etw::Field MakeField(const std::string& name, std::uint16_t in_type, std::uint16_t out_type = 0) {
  etw::Field field;
  field.name = name;
  field.in_type = in_type;
  field.out_type = out_type != 0 ? out_type : etw::default_outtype(in_type);
  return field;
}

// Pieces of event data as bytes: values little-endian, strings with their terminators.
template <typename... T>
std::vector<unsigned char> LittleEndian(T... values) {
  std::vector<unsigned char> bytes;
  auto add = [&bytes](auto value) {
    unsigned char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    for (unsigned char byte : raw) bytes.push_back(byte);
  };
  (add(values), ...);
  return bytes;
}
inline std::vector<unsigned char> WideZ(const std::u16string& text) {
  std::vector<unsigned char> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<unsigned char>(c & 0xFF));
    bytes.push_back(static_cast<unsigned char>(c >> 8));
  }
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}
inline std::vector<unsigned char> AnsiZ(const std::string& text) {
  std::vector<unsigned char> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

class EventRecordBuilder {
 public:
  explicit EventRecordBuilder(const etw::ProviderSchema& provider, std::uint16_t event_id = 1) {
    std::memset(static_cast<void*>(&record_), 0, sizeof record_);
    EVENT_HEADER& header = record_.EventHeader;
    header.Size = sizeof(EVENT_HEADER);
    header.Flags = 0x40;  // 64-bit process
    header.ThreadId = 5678;
    header.ProcessId = 1234;
    header.TimeStamp.QuadPart = 133'000'000'000'000'000;
    header.ProviderId = ToGuid(provider.guid);
    for (const etw::Event& event : provider.events) {
      if (event.id != event_id) continue;
      header.EventDescriptor.Id = event.id;
      header.EventDescriptor.Version = event.version;
      header.EventDescriptor.Channel = event.channel;
      header.EventDescriptor.Level = event.level;
      header.EventDescriptor.Opcode = event.opcode;
      header.EventDescriptor.Task = event.task;
      header.EventDescriptor.Keyword = event.keywords;
    }
    record_.BufferContext.ProcessorNumber = 1;
    record_.BufferContext.LoggerId = 9;
  }

  template <typename T>
  EventRecordBuilder& Value(T value) {
    return Bytes(LittleEndian(value));
  }
  // UTF-16 with its terminating zero.
  EventRecordBuilder& Wide(const std::u16string& text) { return Bytes(WideZ(text)); }
  EventRecordBuilder& Ansi(const std::string& text) { return Bytes(AnsiZ(text)); }
  EventRecordBuilder& Bytes(const std::vector<unsigned char>& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }

  EVENT_RECORD* Record() {
    record_.UserData = data_.empty() ? nullptr : data_.data();
    record_.UserDataLength = static_cast<USHORT>(data_.size());
    return &record_;
  }
  const std::vector<unsigned char>& Data() const { return data_; }

 private:
  EVENT_RECORD record_;
  std::vector<unsigned char> data_;
};

}  // namespace decode_testing
