// The schema of one ETW provider as the provider catalog keeps it: everything TDH answers
// about a provider (enumeration, keyword field information, event information with its names
// and message, value maps) comes from one ProviderSchema.
//
// Texts are UTF-8; the TDH surface converts them to UTF-16 when it lays out its records.
// Numbers carry the widths and codes Windows uses (EVENT_DESCRIPTOR fields, TDH_INTYPE_*,
// TDH_OUTTYPE_*, DECODING_SOURCE, EVT_CHANNEL_TYPE), so the surface copies them unchanged.
//
// A schema is a plain value: tests and the launcher build one directly for providers that
// have no manifest (MOF classes, WPP trace messages, TraceLogging), the manifest reader builds
// one per <provider> element. Once installed it is shared read-only (shared_ptr<const>).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "etw/guid.h"

namespace etw {

// Windows' DECODING_SOURCE numbering: what TRACE_EVENT_INFO.DecodingSource reports.
enum class DecodingSource : std::uint32_t {
  XmlFile = 0,  // instrumentation manifest
  Wbem = 1,     // WMI MOF class
  Wpp = 2,      // WPP trace message format
  Tlg = 3,      // TraceLogging (self-describing events)
  Max = 4,
};

// TDH_INTYPE_* values.
namespace intype {
inline constexpr std::uint16_t Null = 0, UnicodeString = 1, AnsiString = 2, Int8 = 3, UInt8 = 4,
                               Int16 = 5, UInt16 = 6, Int32 = 7, UInt32 = 8, Int64 = 9, UInt64 = 10,
                               Float = 11, Double = 12, Boolean = 13, Binary = 14, Guid = 15,
                               Pointer = 16, FileTime = 17, SystemTime = 18, Sid = 19, HexInt32 = 20,
                               HexInt64 = 21, ManifestCountedString = 22,
                               ManifestCountedAnsiString = 23, ManifestCountedBinary = 25,
                               CountedString = 300, CountedAnsiString = 301,
                               ReversedCountedString = 302, ReversedCountedAnsiString = 303,
                               NonNullTerminatedString = 304, NonNullTerminatedAnsiString = 305,
                               UnicodeChar = 306, AnsiChar = 307, SizeT = 308, HexDump = 309,
                               WbemSid = 310;
}  // namespace intype

// TDH_OUTTYPE_* values.
namespace outtype {
inline constexpr std::uint16_t Null = 0, String = 1, DateTime = 2, Byte = 3, UnsignedByte = 4,
                               Short = 5, UnsignedShort = 6, Int = 7, UnsignedInt = 8, Long = 9,
                               UnsignedLong = 10, Float = 11, Double = 12, Boolean = 13, Guid = 14,
                               HexBinary = 15, HexInt8 = 16, HexInt16 = 17, HexInt32 = 18,
                               HexInt64 = 19, Pid = 20, Tid = 21, Port = 22, IPv4 = 23, IPv6 = 24,
                               SocketAddress = 25, CimDateTime = 26, EtwTime = 27, Xml = 28,
                               ErrorCode = 29, Win32Error = 30, NtStatus = 31, HResult = 32,
                               DateTimeCultureInsensitive = 33, Json = 34, Utf8 = 35,
                               Pkcs7WithTypeInfo = 36, CodePointer = 37, DateTimeUtc = 38,
                               ReducedString = 300, NoPrint = 301;
}  // namespace outtype

// Windows' EVT_CHANNEL_TYPE numbering.
enum class ChannelType : std::uint32_t { Admin = 0, Operational = 1, Analytic = 2, Debug = 3 };

// Items that a manifest may name. `is_predefined` marks the winmeta items (win:...) that a
// provider uses without declaring them; they are listed with the provider's own items so that
// a lookup by value finds their names, and TDH's keyword list shows them as Windows does.
struct Keyword {
  std::string name;
  std::uint64_t mask = 0;
  std::string message;
  bool is_predefined = false;
};

struct Level {
  std::string name;
  std::uint8_t value = 0;
  std::string message;
  bool is_predefined = false;
};

struct Opcode {
  std::string name;
  std::uint8_t value = 0;
  std::string message;
  bool is_predefined = false;
};

struct Task {
  std::string name;
  std::uint16_t value = 0;
  Guid event_guid;                // MOF-style event GUID of the task; zero when not declared
  std::string message;
  std::vector<Opcode> opcodes;    // opcodes declared inside the task: they win over the provider's
  bool is_predefined = false;
};

struct Channel {
  std::string name;               // e.g. "Conduit-Demo-Events/Operational" or "System"
  std::string chid;               // the id events refer to; the name when not declared
  std::uint8_t value = 0;
  ChannelType type = ChannelType::Operational;
  std::string message;
  bool is_imported = false;       // <importChannel>: a channel of the system
};

struct MapEntry {
  std::uint32_t value = 0;
  std::string message;
};

// <valueMap> (one entry per value) or <bitMap> (entries are single bits or bit groups).
struct ValueMap {
  std::string name;
  bool is_bitmap = false;
  std::vector<MapEntry> entries;
};

// One <data> or <struct> of a template. Count and length are either fixed numbers or the name
// of an earlier field of the same template (or structure) whose value gives them per event.
struct Field {
  std::string name;
  std::uint16_t in_type = intype::Null;   // Null for a structure
  std::uint16_t out_type = outtype::Null; // the in-type's default when the manifest gives none
  std::string map;                        // value or bit map name; empty for none
  bool is_array = false;                  // a count was declared (fixed or by field)
  std::uint16_t count = 1;
  std::string count_field;                // non-empty: the count is that field's value
  std::uint16_t length = 0;               // fixed length; 0 when none is declared
  std::string length_field;               // non-empty: the length is that field's value
  std::vector<Field> members;             // non-empty: a structure of these fields

  bool is_struct() const { return !members.empty(); }
};

struct Template {
  std::string id;                         // the manifest's tid
  std::vector<Field> fields;
};

// One event. Which fields identify it depends on the provider's decoding source (see
// EventKey in catalog.h).
struct Event {
  std::uint16_t id = 0;
  std::uint8_t version = 0;
  std::uint8_t channel = 0;
  std::uint8_t level = 0;
  std::uint8_t opcode = 0;
  std::uint16_t task = 0;
  std::uint64_t keywords = 0;
  std::string template_id;                // empty: the event has no payload description
  std::string message;                    // resolved text with %1..%n insertions
  std::string symbol;
  std::string name;                       // event name (TraceLogging, or the symbol otherwise)
};

struct ProviderSchema {
  std::string name;
  Guid guid;
  DecodingSource source = DecodingSource::XmlFile;
  std::string manifest_path;              // the manifest it was installed from; empty if declared
  std::string symbol;
  std::string message;                    // the provider's own message text
  std::string resource_file;
  std::string message_file;

  std::vector<Channel> channels;
  std::vector<Level> levels;
  std::vector<Task> tasks;
  std::vector<Opcode> opcodes;
  std::vector<Keyword> keywords;
  std::vector<ValueMap> maps;
  std::vector<Template> templates;
  std::vector<Event> events;

  // Lookups by value, as TDH needs them to name an event's level, task, opcode and channel.
  const Level* find_level(std::uint8_t value) const;
  const Task* find_task(std::uint16_t value) const;
  // An opcode of the task first, then one of the provider (own or predefined).
  const Opcode* find_opcode(std::uint16_t task, std::uint8_t value) const;
  const Channel* find_channel(std::uint8_t value) const;
  const Template* find_template(std::string_view id) const;
  const ValueMap* find_map(std::string_view name) const;  // exact name, as manifests reference it
  // The keywords whose mask lies inside `mask`, in declaration order.
  std::vector<const Keyword*> keywords_in(std::uint64_t mask) const;
};

// --- The well-known items of Windows' winmeta.xml -----------------------------------------

const Level* predefined_level(std::string_view name);      // "win:Informational", ...
const Opcode* predefined_opcode(std::string_view name);    // "win:Start", ...
const Keyword* predefined_keyword(std::string_view name);  // "win:ResponseTime", ...
const Task* predefined_task(std::string_view name);        // "win:None"
const Channel* predefined_channel(std::string_view name);  // "win:System", ...
// Manifest type names: "win:UInt32" -> TDH_INTYPE_UINT32, "win:HexInt32" (out) -> 18, ...
std::optional<std::uint16_t> intype_from_name(std::string_view name);
std::optional<std::uint16_t> outtype_from_name(std::string_view name);
// The out-type TDH reports for an in-type declared without one.
std::uint16_t default_outtype(std::uint16_t in_type);

// GUID text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional on input, any letter
// case); output is upper-case with braces, as StringFromCLSID writes it.
std::optional<Guid> parse_guid_text(std::string_view text);
std::string guid_text(const Guid& guid);

// Provider names match as Windows matches them: without regard to letter case (ASCII letters;
// other characters must be equal).
bool names_equal(std::string_view a, std::string_view b);

}  // namespace etw
