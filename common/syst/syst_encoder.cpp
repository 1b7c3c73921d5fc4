// The SyS-T encoder shared by both deliverables. It reaches its platform only through the
// backend functions of syst.h and the logging of syst_platform.h.
#include <cstring>

#include "syst.h"
#include "syst_platform.h"

inline namespace SYST_IMAGE_NAMESPACE {

syst_handle_table_entry g_syst_handle_table[TRACE_RECORD_TYPE_COUNT];

namespace {

constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kBadRecordWalk = 161;
constexpr std::uint32_t kInvalidHandle = 6;
constexpr std::uint32_t kTimestampPresent = 1u << 11;
constexpr std::uint32_t kTypeSeveritySubtypeMask = 0xFu | 0x7u << 4 | 0x3Fu << 24;

template <typename T>
T read_le(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));  // both deliverables run on little-endian machines
  return value;
}

void release_handle(systhandle& handle) {
  if (handle.header != nullptr) {
    syst_backend_free(handle.header->user_handle);
    syst_backend_free(handle.header);
  }
  handle = systhandle{};
}

// The message writer: header store with time stamp, the write program, the flag store.
void write_message(systhandle* handle, std::uint32_t tag, const syst_program_entry* program) {
  mipi_syst_header* header = handle->header;
  if (header == nullptr || header->user_handle == nullptr || header->user_handle->sink == nullptr) return;
  header->out_d32ts(handle, tag);
  for (const syst_program_entry* entry = program; entry->op != syst_program_op::end; ++entry) {
    const auto* bytes = static_cast<const std::uint8_t*>(entry->source);
    switch (entry->op) {
      case syst_program_op::d8:
        for (std::size_t i = 0; i < entry->count; ++i) header->out_d8(handle, bytes[i]);
        break;
      case syst_program_op::d16:
        for (std::size_t i = 0; i < entry->count; ++i) header->out_d16(handle, read_le<std::uint16_t>(bytes + 2 * i));
        break;
      case syst_program_op::d32:
        for (std::size_t i = 0; i < entry->count; ++i) header->out_d32(handle, read_le<std::uint32_t>(bytes + 4 * i));
        break;
      case syst_program_op::d64:
        for (std::size_t i = 0; i < entry->count; ++i) header->out_d64(handle, read_le<std::uint64_t>(bytes + 8 * i));
        break;
      case syst_program_op::block: {
        std::size_t left = entry->count;
        if (header->out_d64_run != nullptr && left >= 8) {
          header->out_d64_run(handle, bytes, left / 8);
          bytes += left / 8 * 8;
          left %= 8;
        }
        for (; left >= 8; left -= 8, bytes += 8) header->out_d64(handle, read_le<std::uint64_t>(bytes));
        if (left >= 4) {
          header->out_d32(handle, read_le<std::uint32_t>(bytes));
          bytes += 4;
          left -= 4;
        }
        if (left >= 2) {
          header->out_d16(handle, read_le<std::uint16_t>(bytes));
          bytes += 2;
          left -= 2;
        }
        if (left >= 1) header->out_d8(handle, bytes[0]);
        break;
      }
      case syst_program_op::end:
        break;
    }
  }
  header->out_flag(handle);
}

// A message whose tag asks for the 64-bit time stamp field carries 0 there: this system
// has no SyS-T clock.
void write_block_message(systhandle* handle, std::uint32_t tag, const void* data, std::size_t length) {
  static const std::uint64_t kNoTimestamp = 0;
  syst_program_entry program[3];
  std::size_t next = 0;
  if ((tag & kTimestampPresent) != 0) program[next++] = {syst_program_op::d64, &kNoTimestamp, 1};
  program[next++] = {syst_program_op::block, data, length};
  program[next] = {syst_program_op::end, nullptr, 0};
  const std::uint64_t token = syst_backend_begin_message();
  handle->header->write_message(handle, tag, program);
  syst_backend_end_message(token);
}

std::uint32_t message_tag(const systhandle* handle, std::uint32_t type, std::uint32_t severity,
                          std::uint32_t subtype) {
  return (handle->tag & ~kTypeSeveritySubtypeMask) | syst_make_header(type, severity, 0, subtype);
}

}  // namespace

std::uint32_t init_mipisyst_handle(void* sink, std::uint32_t type) { return init_mipisyst_handle(sink, type, 1); }

std::uint32_t init_mipisyst_handle(void* sink, std::uint32_t type, std::uint32_t count) {
  if (sink == nullptr || type >= TRACE_RECORD_TYPE_COUNT || count == 0 || count > SYST_MAX_HANDLES_PER_TYPE) {
    syst_log_error("init_mipisyst_handle::Invaid parameter");
    return kInvalidParameter;
  }
  syst_handle_table_entry& entry = g_syst_handle_table[type];
  if (entry.count != 0) {
    syst_log_warning("init_mipisyst_handle :: handle already allocated");
    return 0;
  }
  for (std::uint32_t index = 0; index < count; ++index) {
    auto* header = static_cast<mipi_syst_header*>(syst_backend_allocate(sizeof(mipi_syst_header)));
    const char* failure = nullptr;
    qlx_syst_user_handle* user = nullptr;
    if (header == nullptr) {
      failure = "init_mipisyst_handle::Memory allocation failed for mipi_syst_header";
    } else if ((user = static_cast<qlx_syst_user_handle*>(syst_backend_allocate(sizeof(qlx_syst_user_handle)))) ==
               nullptr) {
      failure = "init_mipisyst_handle::Memory allocation failed for qlx_syst_user_handle";
    } else {
      user->sink = sink;
      header->user_handle = user;
      if (qlx_setchannel_handle(user, type, index) != 0) failure = "init_mipisyst_handle::qlx_setchannel_handle Failed";
    }
    if (failure != nullptr) {
      syst_backend_free(user);
      syst_backend_free(header);
      // Handles made before the failing index go too: a type is either empty or complete.
      for (std::uint32_t made = 0; made < index; ++made) release_handle(entry.handles[made]);
      syst_log_error(failure);
      return kInvalidParameter;
    }
    header->write_message = &write_message;
    syst_backend_bind_outputs(header);
    systhandle& handle = entry.handles[index];
    handle = systhandle{};
    handle.header = header;
    handle.flags &= ~SYST_HANDLE_FLAG_HEAP;
    if (type >= TRACE_RECORD_TYPE_RESERVED && type <= TRACE_RECORD_TYPE_VEX) {
      handle.tag = SYST_ORIGIN_MODULE32 << SYST_ORIGIN_SHIFT;
    }
  }
  entry.count = count;
  return 0;
}

void release_mipisyst_handles(std::uint32_t type) {
  if (type >= TRACE_RECORD_TYPE_COUNT) return;
  syst_handle_table_entry& entry = g_syst_handle_table[type];
  for (std::uint32_t index = 0; index < entry.count && index < SYST_MAX_HANDLES_PER_TYPE; ++index) {
    release_handle(entry.handles[index]);
  }
  entry.count = 0;
}

systhandle* get_systhandle(std::uint32_t type, std::uint32_t index) {
  if (type >= TRACE_RECORD_TYPE_COUNT || index >= g_syst_handle_table[type].count) return nullptr;
  return &g_syst_handle_table[type].handles[index];
}

void write_raw_message(systhandle* handle, std::uint32_t severity, std::uint32_t subtype, const void* payload,
                       std::size_t length) {
  if (handle == nullptr || handle->header == nullptr) return;
  write_block_message(handle, message_tag(handle, SYST_TYPE_RAW, severity, subtype), payload, length);
}

void write_debug_string(systhandle* handle, std::uint32_t subtype, std::uint32_t severity, std::size_t length,
                        const char* text) {
  if (handle == nullptr || handle->header == nullptr) return;
  static const char kNullText[] = "(null)";
  if (text == nullptr) {
    text = kNullText;
    length = sizeof(kNullText);
    subtype = SYST_SUBTYPE_STRING_NULL;
  }
  write_block_message(handle, message_tag(handle, SYST_TYPE_STRING, severity, subtype), text, length);
}

// A record whose type has no handle is skipped and the walk goes on; the buffer then
// answers 6 (its records are not all written) unless its framing broke (161). A missing
// handle misses for every record of the buffer, so it is logged once per buffer, not once
// per record.
std::uint32_t write_trace_data(void* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return kBadRecordWalk;
  auto* const begin = static_cast<std::uint8_t*>(buffer);
  std::size_t position = 0;
  bool skipped = false;
  std::uint64_t frequency = 0;  // read with the first ETW record; it does not change
  while (position < size) {
    // Every length a record claims is checked against what is left before it is used, so
    // that no claim can move a read or a write outside the buffer.
    const std::size_t left = size - position;
    std::uint8_t* const record = begin + position;
    if (left < TRACE_RECORD_HEADER_SIZE || read_le<std::uint16_t>(record) != TRACE_RECORD_MAGIC) break;
    const std::uint64_t recordLength = read_le<std::uint64_t>(record + 2);
    const std::uint8_t type = record[TRACE_RECORD_TYPE_OFFSET];
    const std::uint16_t payloadLength = read_le<std::uint16_t>(record + TRACE_RECORD_PAYLOAD_LENGTH_OFFSET);
    // A payload must also lie inside its own record, not spill into the next one.
    if (recordLength < TRACE_RECORD_BODY_HEAD || recordLength > left - TRACE_RECORD_FRAME_SIZE ||
        type >= TRACE_RECORD_TYPE_COUNT || payloadLength == 0 ||
        payloadLength > recordLength - TRACE_RECORD_BODY_HEAD) {
      break;
    }
    if (type == TRACE_RECORD_TYPE_RESERVED || type == TRACE_RECORD_TYPE_DEBUG) break;
    const std::size_t next = position + TRACE_RECORD_FRAME_SIZE + static_cast<std::size_t>(recordLength);
    systhandle* handle = get_systhandle(type, 0);
    if (handle == nullptr) {
      // Skipped, never looked at again: the walk goes on with the next record.
      if (!skipped) syst_log_error("write_trace_data:: systhandle NULL");
      skipped = true;
      position = next;
      continue;
    }
    std::uint8_t* const payload = record + TRACE_RECORD_HEADER_SIZE;
    std::uint32_t subtype = SYST_SUBTYPE_RAW_ETW;
    if (type == TRACE_RECORD_TYPE_ETW) {
      // The payload length is checked as well as the size field, so that the two fields
      // rewritten below lie inside the record.
      if (payloadLength < ETW_PAYLOAD_MIN_SIZE || read_le<std::uint16_t>(payload) < ETW_PAYLOAD_MIN_SIZE ||
          read_le<std::uint16_t>(payload + ETW_PAYLOAD_MARKER_OFFSET) != ETW_PAYLOAD_MARKER) {
        break;
      }
      const std::uint64_t counter = syst_backend_read_counter();
      if (frequency == 0) frequency = syst_backend_read_frequency();
      const std::uint64_t stamp = read_le<std::uint64_t>(payload + ETW_PAYLOAD_TIMESTAMP_OFFSET);
      const std::uint64_t age = counter - stamp;
      std::memcpy(payload + ETW_PAYLOAD_TIMESTAMP_OFFSET, &age, sizeof(age));
      std::memcpy(payload + ETW_PAYLOAD_FREQUENCY_OFFSET, &frequency, sizeof(frequency));
    } else if (type == TRACE_RECORD_TYPE_DUX) {
      subtype = SYST_SUBTYPE_RAW_DUX;
    } else {
      subtype = SYST_SUBTYPE_RAW_VEX;
    }
    write_raw_message(handle, SYST_SEVERITY_INFO, subtype, payload, payloadLength);
    position = next;
  }
  if (position != size) return kBadRecordWalk;
  return skipped ? kInvalidHandle : 0;
}

}  // inline namespace SYST_IMAGE_NAMESPACE
