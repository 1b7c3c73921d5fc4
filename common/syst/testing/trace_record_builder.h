// Builders of framed trace records for tests, benches and fuzz seeds: valid records in one
// call, broken ones by editing the returned bytes. And the reverse, for tests that read a
// plain trace file back: its frames split into records.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "txr_public.h"

namespace syst_testing {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
void PutLe(Bytes& bytes, std::size_t offset, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T GetLe(const std::uint8_t* at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(at[i]) << (8 * i));
  return value;
}

// The fields of an ETW event the payload carries.
struct EtwEventFields {
  std::uint8_t provider[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                               0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
  std::uint16_t event_id = 7;
  std::uint8_t version = 1;
  std::uint8_t channel = 0;
  std::uint8_t level = 4;
  std::uint8_t opcode = 0;
  std::uint16_t task = 3;
  std::uint64_t keywords = 0x8000000000000010ull;
  std::uint32_t process_id = 1234;
  std::uint32_t thread_id = 5678;
  std::int64_t timestamp = 1'000'000;
  std::uint8_t processor = 1;
  std::uint16_t logger_id = 9;
};

// The type-0 payload: size, marker, event header, buffer context, zero frequency, text.
inline Bytes EtwPayload(const EtwEventFields& event, const std::string& text) {
  Bytes payload(ETW_PAYLOAD_TEXT_OFFSET + text.size() + 1, 0);
  PutLe<std::uint16_t>(payload, ETW_PAYLOAD_SIZE_OFFSET, static_cast<std::uint16_t>(payload.size()));
  PutLe<std::uint16_t>(payload, ETW_PAYLOAD_MARKER_OFFSET, ETW_PAYLOAD_MARKER);
  const std::size_t header = ETW_PAYLOAD_EVENT_HEADER_OFFSET;
  PutLe<std::uint16_t>(payload, header, static_cast<std::uint16_t>(EVENT_HEADER_SIZE_BYTES));
  PutLe<std::uint32_t>(payload, header + EVENT_HEADER_THREAD_ID_OFFSET, event.thread_id);
  PutLe<std::uint32_t>(payload, header + EVENT_HEADER_PROCESS_ID_OFFSET, event.process_id);
  PutLe<std::uint64_t>(payload, header + EVENT_HEADER_TIMESTAMP_OFFSET, static_cast<std::uint64_t>(event.timestamp));
  std::memcpy(&payload[header + EVENT_HEADER_PROVIDER_ID_OFFSET], event.provider, 16);
  PutLe<std::uint16_t>(payload, header + EVENT_HEADER_EVENT_ID_OFFSET, event.event_id);
  payload[header + EVENT_HEADER_VERSION_OFFSET] = event.version;
  payload[header + EVENT_HEADER_CHANNEL_OFFSET] = event.channel;
  payload[header + EVENT_HEADER_LEVEL_OFFSET] = event.level;
  payload[header + EVENT_HEADER_OPCODE_OFFSET] = event.opcode;
  PutLe<std::uint16_t>(payload, header + EVENT_HEADER_TASK_OFFSET, event.task);
  PutLe<std::uint64_t>(payload, header + EVENT_HEADER_KEYWORD_OFFSET, event.keywords);
  payload[ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET] = event.processor;
  PutLe<std::uint16_t>(payload, ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET + 2, event.logger_id);
  PutLe<std::uint16_t>(payload, ETW_PAYLOAD_TEXT_LENGTH_OFFSET, static_cast<std::uint16_t>(text.size()));
  std::memcpy(&payload[ETW_PAYLOAD_TEXT_OFFSET], text.data(), text.size());
  return payload;
}

// One framed record: magic, record length (3 + payload), type, payload length, payload.
inline Bytes FrameRecord(std::uint8_t type, const Bytes& payload) {
  Bytes record(TRACE_RECORD_HEADER_SIZE + payload.size(), 0);
  PutLe<std::uint16_t>(record, 0, TRACE_RECORD_MAGIC);
  PutLe<std::uint64_t>(record, 2, TRACE_RECORD_BODY_HEAD + payload.size());
  record[TRACE_RECORD_TYPE_OFFSET] = type;
  PutLe<std::uint16_t>(record, TRACE_RECORD_PAYLOAD_LENGTH_OFFSET, static_cast<std::uint16_t>(payload.size()));
  if (!payload.empty()) std::memcpy(&record[TRACE_RECORD_HEADER_SIZE], payload.data(), payload.size());
  return record;
}

inline void Append(Bytes& buffer, const Bytes& more) { buffer.insert(buffer.end(), more.begin(), more.end()); }

struct ReadRecord {
  std::uint8_t type = 0;
  Bytes payload;
};

// The records of a sequence of frames, or nothing when the bytes are anything but whole,
// well-formed frames back to back (a wrong magic, a length that runs past the end or
// disagrees with the payload length, a partial frame at the end).
inline std::optional<std::vector<ReadRecord>> SplitFrames(const Bytes& bytes) {
  std::vector<ReadRecord> records;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < TRACE_RECORD_HEADER_SIZE) return std::nullopt;
    if (GetLe<std::uint16_t>(&bytes[at]) != TRACE_RECORD_MAGIC) return std::nullopt;
    const std::uint64_t length = GetLe<std::uint64_t>(&bytes[at + 2]);
    const std::size_t frameHead = TRACE_RECORD_HEADER_SIZE - TRACE_RECORD_BODY_HEAD;
    if (length < TRACE_RECORD_BODY_HEAD || length > bytes.size() - at - frameHead) return std::nullopt;
    const std::uint16_t payloadLength = GetLe<std::uint16_t>(&bytes[at + TRACE_RECORD_PAYLOAD_LENGTH_OFFSET]);
    if (payloadLength + TRACE_RECORD_BODY_HEAD != length) return std::nullopt;
    ReadRecord record;
    record.type = bytes[at + TRACE_RECORD_TYPE_OFFSET];
    const auto payload = bytes.begin() + static_cast<std::ptrdiff_t>(at + TRACE_RECORD_HEADER_SIZE);
    record.payload.assign(payload, payload + payloadLength);
    records.push_back(std::move(record));
    at += frameHead + length;
  }
  return records;
}

}  // namespace syst_testing
