// What crosses between the service, the driver and the host tools: the framing of trace
// records, the ETW event payload inside a record, the SyS-T message header the encoder puts
// in front of each record on the trace channel, TXR's device interface and its I/O control
// codes. Plain fixed-width types only, so that the service, the driver and the host tools
// (which have no Windows headers) include the same file.
//
// All multi-byte fields are little-endian and unaligned.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// TraceRecord: one framed record. A buffer handed to a sink or written to TXR is a sequence
// of these with no gap between them.
//
//   offset  0        2                        10      11          13
//           +--------+------------------------+-------+-----------+------------------+
//           | BF AE  | record length (u64)    | type  | plen (u16)| payload (plen)   |
//           +--------+------------------------+-------+-----------+------------------+
//   record length = the bytes after offset 10 = 3 + plen; never 0. plen is never 0.
//   type: the SyS-T handle type the record is written through (0 to 4).
// ---------------------------------------------------------------------------------------------
inline constexpr std::uint16_t TRACE_RECORD_MAGIC = 0xAEBF;
inline constexpr std::size_t TRACE_RECORD_FRAME_SIZE = 10;   // magic + record length
inline constexpr std::size_t TRACE_RECORD_BODY_HEAD = 3;     // type + payload length
inline constexpr std::size_t TRACE_RECORD_HEADER_SIZE = 13;  // everything before the payload
inline constexpr std::size_t TRACE_RECORD_TYPE_OFFSET = 10;
inline constexpr std::size_t TRACE_RECORD_PAYLOAD_LENGTH_OFFSET = 11;

// Record (and handle) types.
inline constexpr std::uint8_t TRACE_RECORD_TYPE_ETW = 0;      // ETW event, SyS-T raw subtype 10
inline constexpr std::uint8_t TRACE_RECORD_TYPE_RESERVED = 1; // never written by the walk
inline constexpr std::uint8_t TRACE_RECORD_TYPE_DUX = 2;      // DUX provider raw data, subtype 11
inline constexpr std::uint8_t TRACE_RECORD_TYPE_VEX = 3;      // VEX provider raw data, subtype 12
inline constexpr std::uint8_t TRACE_RECORD_TYPE_DEBUG = 4;    // kernel debug output (driver only)
inline constexpr std::uint32_t TRACE_RECORD_TYPE_COUNT = 5;

// ---------------------------------------------------------------------------------------------
// ETW event payload (record type 0), n = length of the event text:
//
//   0     2     4                                   84        88           96    98      98+n
//   +-----+-----+-----------------------------------+---------+------------+-----+-------+---+
//   |size |01 ED| EVENT_HEADER (80 bytes)           | buffer  | frequency  |  n  | text  | 0 |
//   |99+n |     |   time stamp at payload offset 20 | context | (u64)      |(u16)| UTF-8 |   |
//   +-----+-----+-----------------------------------+---------+------------+-----+-------+---+
//
// On the way out the encoder replaces the time stamp by (performance counter now - time
// stamp), the event's age in counter ticks, and fills the frequency with the counter's rate.
// ---------------------------------------------------------------------------------------------
inline constexpr std::uint16_t ETW_PAYLOAD_MARKER = 0xED01;
inline constexpr std::size_t ETW_PAYLOAD_MIN_SIZE = 99;
inline constexpr std::size_t ETW_PAYLOAD_SIZE_OFFSET = 0;
inline constexpr std::size_t ETW_PAYLOAD_MARKER_OFFSET = 2;
inline constexpr std::size_t ETW_PAYLOAD_EVENT_HEADER_OFFSET = 4;
inline constexpr std::size_t ETW_PAYLOAD_TIMESTAMP_OFFSET = 20;
inline constexpr std::size_t ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET = 84;
inline constexpr std::size_t ETW_PAYLOAD_FREQUENCY_OFFSET = 88;
inline constexpr std::size_t ETW_PAYLOAD_TEXT_LENGTH_OFFSET = 96;
inline constexpr std::size_t ETW_PAYLOAD_TEXT_OFFSET = 98;

// The 80-byte EVENT_HEADER as Windows lays it out (offsets inside the header):
//   0 Size u16 | 2 HeaderType u16 | 4 Flags u16 | 6 EventProperty u16 | 8 ThreadId u32 |
//   12 ProcessId u32 | 16 TimeStamp i64 | 24 ProviderId GUID (16) |
//   40 EventDescriptor: 40 Id u16, 42 Version u8, 43 Channel u8, 44 Level u8, 45 Opcode u8,
//      46 Task u16, 48 Keyword u64 | 56 KernelTime u32 | 60 UserTime u32 | 64 ActivityId GUID
inline constexpr std::size_t EVENT_HEADER_SIZE_BYTES = 80;
inline constexpr std::size_t EVENT_HEADER_THREAD_ID_OFFSET = 8;
inline constexpr std::size_t EVENT_HEADER_PROCESS_ID_OFFSET = 12;
inline constexpr std::size_t EVENT_HEADER_TIMESTAMP_OFFSET = 16;
inline constexpr std::size_t EVENT_HEADER_PROVIDER_ID_OFFSET = 24;
inline constexpr std::size_t EVENT_HEADER_EVENT_ID_OFFSET = 40;
inline constexpr std::size_t EVENT_HEADER_VERSION_OFFSET = 42;
inline constexpr std::size_t EVENT_HEADER_CHANNEL_OFFSET = 43;
inline constexpr std::size_t EVENT_HEADER_LEVEL_OFFSET = 44;
inline constexpr std::size_t EVENT_HEADER_OPCODE_OFFSET = 45;
inline constexpr std::size_t EVENT_HEADER_TASK_OFFSET = 46;
inline constexpr std::size_t EVENT_HEADER_KEYWORD_OFFSET = 48;
inline constexpr std::size_t EVENT_HEADER_ACTIVITY_ID_OFFSET = 64;
// ETW_BUFFER_CONTEXT (4 bytes): 0 ProcessorNumber u8 | 1 Alignment u8 | 2 LoggerId u16.

// ---------------------------------------------------------------------------------------------
// SyS-T message header (32 bits, bit 0 least significant), as the encoder writes it:
//
//   31 30 | 29..24  | 23   | 22..16 | 15..12 | 11   | 10  | 9   | 8   | 7   | 6..4     | 3..0
//   res   | subtype | guid | module | unit   | ts64 | crc | len | loc | res | severity | type
//
// ETW event: 0x0A000046; DUX raw data: 0x0B200046; VEX raw data: 0x0C200046;
// debug string: 0x01000002 | severity << 4 | (component id & 0x7FF) << 12.
// ---------------------------------------------------------------------------------------------
inline constexpr std::uint32_t SYST_TYPE_STRING = 2;
inline constexpr std::uint32_t SYST_TYPE_RAW = 6;
inline constexpr std::uint32_t SYST_SEVERITY_INFO = 4;
inline constexpr std::uint32_t SYST_SUBTYPE_STRING_GENERIC = 1;
inline constexpr std::uint32_t SYST_SUBTYPE_STRING_NULL = 5;
inline constexpr std::uint32_t SYST_SUBTYPE_RAW_ETW = 10;
inline constexpr std::uint32_t SYST_SUBTYPE_RAW_DUX = 11;
inline constexpr std::uint32_t SYST_SUBTYPE_RAW_VEX = 12;
inline constexpr std::uint32_t SYST_ORIGIN_SHIFT = 12;    // unit 12-15, module 16-22
inline constexpr std::uint32_t SYST_ORIGIN_MASK = 0x7FF;
inline constexpr std::uint32_t SYST_ORIGIN_MODULE32 = 0x200;  // module 32, unit 0

constexpr std::uint32_t syst_header_type(std::uint32_t header) { return header & 0xF; }
constexpr std::uint32_t syst_header_severity(std::uint32_t header) { return (header >> 4) & 0x7; }
constexpr std::uint32_t syst_header_origin(std::uint32_t header) { return (header >> 12) & SYST_ORIGIN_MASK; }
constexpr std::uint32_t syst_header_subtype(std::uint32_t header) { return (header >> 24) & 0x3F; }
constexpr std::uint32_t syst_make_header(std::uint32_t type, std::uint32_t severity, std::uint32_t origin,
                                         std::uint32_t subtype) {
  return (type & 0xF) | (severity & 0x7) << 4 | (origin & SYST_ORIGIN_MASK) << 12 | (subtype & 0x3F) << 24;
}
static_assert(syst_make_header(SYST_TYPE_RAW, SYST_SEVERITY_INFO, 0, SYST_SUBTYPE_RAW_ETW) == 0x0A000046);
static_assert(syst_make_header(SYST_TYPE_RAW, SYST_SEVERITY_INFO, SYST_ORIGIN_MODULE32, SYST_SUBTYPE_RAW_DUX) ==
              0x0B200046);
static_assert(syst_make_header(SYST_TYPE_RAW, SYST_SEVERITY_INFO, SYST_ORIGIN_MODULE32, SYST_SUBTYPE_RAW_VEX) ==
              0x0C200046);

// ---------------------------------------------------------------------------------------------
// TXR's device interface class: {62DAC42B-22C9-4BBA-9C5E-DAB581B14E3E}. Field values for
// DEFINE_GUID or a GUID initialiser, and the 16 bytes as they lie in memory.
// ---------------------------------------------------------------------------------------------
#define TXR_DEVICE_INTERFACE_GUID_FIELDS \
  0x62dac42b, 0x22c9, 0x4bba, 0x9c, 0x5e, 0xda, 0xb5, 0x81, 0xb1, 0x4e, 0x3e
inline constexpr std::uint8_t TXR_DEVICE_INTERFACE_GUID_BYTES[16] = {
    0x2b, 0xc4, 0xda, 0x62, 0xc9, 0x22, 0xba, 0x4b, 0x9c, 0x5e, 0xda, 0xb5, 0x81, 0xb1, 0x4e, 0x3e};

// ---------------------------------------------------------------------------------------------
// TXR's I/O controls: device type 0x8888, buffered, write access required (CTL_CODE layout:
// device type << 16 | access << 14 | function << 2 | method). The service itself only writes
// records; these serve other callers.
//
// Filter list (input of the two flag controls, at least 12 bytes):
//   +-------------+--------------------------+--------------------------+---
//   | count (u32) | component id (u32)       | level mask (u32)         | ... count entries
//   +-------------+--------------------------+--------------------------+---
//   A component id of 0xFFFFFFFF in the first entry means every component.
// ---------------------------------------------------------------------------------------------
constexpr std::uint32_t txr_control_code(std::uint32_t function) {
  return 0x8888u << 16 | 2u << 14 | function << 2 | 0u;
}
inline constexpr std::uint32_t IOCTL_TXR_ENABLE_DEBUG_OUTPUT = txr_control_code(0x818);
inline constexpr std::uint32_t IOCTL_TXR_DISABLE_DEBUG_OUTPUT = txr_control_code(0x819);
inline constexpr std::uint32_t IOCTL_TXR_ENABLE_DEBUG_FLAGS = txr_control_code(0x81A);
inline constexpr std::uint32_t IOCTL_TXR_DISABLE_DEBUG_FLAGS = txr_control_code(0x81B);
static_assert(IOCTL_TXR_ENABLE_DEBUG_OUTPUT == 0x8888A060);
static_assert(IOCTL_TXR_DISABLE_DEBUG_FLAGS == 0x8888A06C);
inline constexpr std::size_t TXR_FILTER_LIST_MIN_SIZE = 12;
inline constexpr std::size_t TXR_WRITE_MIN_SIZE = 14;
