// Schema lookups, the winmeta.xml items and type names, and GUID text.
#include <array>
#include <cstdio>

#include "etw/schema.h"

namespace etw {

namespace {

char fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

template <typename Item, std::size_t N>
const Item* find_named(const std::array<Item, N>& items, std::string_view name) {
  for (const Item& item : items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

// winmeta.xml, as Windows ships it. Names keep the "win:" prefix by which manifests use them;
// the messages are the texts TDH shows for them.
const std::array<Level, 6> kLevels = {{
    {"win:LogAlways", 0, "Log Always", true},
    {"win:Critical", 1, "Critical", true},
    {"win:Error", 2, "Error", true},
    {"win:Warning", 3, "Warning", true},
    {"win:Informational", 4, "Information", true},
    {"win:Verbose", 5, "Verbose", true},
}};

const std::array<Opcode, 11> kOpcodes = {{
    {"win:Info", 0, "Info", true},
    {"win:Start", 1, "Start", true},
    {"win:Stop", 2, "Stop", true},
    {"win:DC_Start", 3, "DCStart", true},
    {"win:DC_Stop", 4, "DCStop", true},
    {"win:Extension", 5, "Extension", true},
    {"win:Reply", 6, "Reply", true},
    {"win:Resume", 7, "Resume", true},
    {"win:Suspend", 8, "Suspend", true},
    {"win:Send", 9, "Send", true},
    {"win:Receive", 240, "Receive", true},
}};

// The keywords winmeta reserves in bits 48 to 55; bits 56 to 63 belong to channels.
const std::array<Keyword, 9> kKeywords = {{
    {"win:ResponseTime", 0x0001000000000000ull, "Response Time", true},
    {"win:WDIContext", 0x0002000000000000ull, "WDI Context", true},
    {"win:WDIDiag", 0x0004000000000000ull, "WDI Diag", true},
    {"win:SQM", 0x0008000000000000ull, "SQM", true},
    {"win:AuditFailure", 0x0010000000000000ull, "Audit Failure", true},
    {"win:CorrelationHint", 0x0010000000000000ull, "Correlation Hint", true},
    {"win:AuditSuccess", 0x0020000000000000ull, "Audit Success", true},
    {"win:CorrelationHint2", 0x0040000000000000ull, "Correlation Hint", true},
    {"win:EventlogClassic", 0x0080000000000000ull, "Classic", true},
}};

const std::array<Task, 1> kTasks = {{{"win:None", 0, Guid{}, "None", {}, true}}};

const std::array<Channel, 6> kChannels = {{
    {"TraceClassic", "win:TraceClassic", 0, ChannelType::Debug, "TraceClassic", true},
    {"System", "win:System", 8, ChannelType::Admin, "System", true},
    {"Application", "win:Application", 9, ChannelType::Admin, "Application", true},
    {"Security", "win:Security", 10, ChannelType::Admin, "Security", true},
    {"TraceLogging", "win:TraceLogging", 11, ChannelType::Debug, "TraceLogging", true},
    {"ProviderMetadata", "win:ProviderMetadata", 12, ChannelType::Debug, "ProviderMetadata", true},
}};

struct TypeName {
  std::string_view name;
  std::uint16_t code;
};

const std::array<TypeName, 24> kInTypes = {{
    {"win:UnicodeString", intype::UnicodeString}, {"win:AnsiString", intype::AnsiString},
    {"win:Int8", intype::Int8}, {"win:UInt8", intype::UInt8}, {"win:Int16", intype::Int16},
    {"win:UInt16", intype::UInt16}, {"win:Int32", intype::Int32}, {"win:UInt32", intype::UInt32},
    {"win:Int64", intype::Int64}, {"win:UInt64", intype::UInt64}, {"win:Float", intype::Float},
    {"win:Double", intype::Double}, {"win:Boolean", intype::Boolean},
    {"win:Binary", intype::Binary}, {"win:GUID", intype::Guid}, {"win:Pointer", intype::Pointer},
    {"win:FILETIME", intype::FileTime}, {"win:SYSTEMTIME", intype::SystemTime},
    {"win:SID", intype::Sid}, {"win:HexInt32", intype::HexInt32},
    {"win:HexInt64", intype::HexInt64},
    {"win:CountedUnicodeString", intype::ManifestCountedString},
    {"win:CountedAnsiString", intype::ManifestCountedAnsiString},
    {"win:CountedBinary", intype::ManifestCountedBinary},
}};

const std::array<TypeName, 38> kOutTypes = {{
    {"xs:string", outtype::String}, {"xs:dateTime", outtype::DateTime},
    {"xs:byte", outtype::Byte}, {"xs:unsignedByte", outtype::UnsignedByte},
    {"xs:short", outtype::Short}, {"xs:unsignedShort", outtype::UnsignedShort},
    {"xs:int", outtype::Int}, {"xs:unsignedInt", outtype::UnsignedInt},
    {"xs:long", outtype::Long}, {"xs:unsignedLong", outtype::UnsignedLong},
    {"xs:float", outtype::Float}, {"xs:double", outtype::Double},
    {"xs:boolean", outtype::Boolean}, {"xs:GUID", outtype::Guid},
    {"xs:hexBinary", outtype::HexBinary}, {"win:HexInt8", outtype::HexInt8},
    {"win:HexInt16", outtype::HexInt16}, {"win:HexInt32", outtype::HexInt32},
    {"win:HexInt64", outtype::HexInt64}, {"win:PID", outtype::Pid}, {"win:TID", outtype::Tid},
    {"win:Port", outtype::Port}, {"win:IPv4", outtype::IPv4}, {"win:IPv6", outtype::IPv6},
    {"win:SocketAddress", outtype::SocketAddress}, {"win:CIMDateTime", outtype::CimDateTime},
    {"win:ETWTIME", outtype::EtwTime}, {"win:Xml", outtype::Xml},
    {"win:ErrorCode", outtype::ErrorCode}, {"win:Win32Error", outtype::Win32Error},
    {"win:NTSTATUS", outtype::NtStatus}, {"win:HResult", outtype::HResult},
    {"win:DateTimeCultureInsensitive", outtype::DateTimeCultureInsensitive},
    {"win:Json", outtype::Json}, {"win:Utf8", outtype::Utf8},
    {"win:Pkcs7WithTypeInfo", outtype::Pkcs7WithTypeInfo},
    {"win:CodePointer", outtype::CodePointer}, {"win:DateTimeUtc", outtype::DateTimeUtc},
}};

template <std::size_t N>
std::optional<std::uint16_t> type_code(const std::array<TypeName, N>& table, std::string_view name) {
  for (const TypeName& entry : table) {
    if (entry.name == name) return entry.code;
  }
  return std::nullopt;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const Level* ProviderSchema::find_level(std::uint8_t value) const {
  for (const Level& level : levels) {
    if (level.value == value) return &level;
  }
  return nullptr;
}

const Task* ProviderSchema::find_task(std::uint16_t value) const {
  for (const Task& task : tasks) {
    if (task.value == value) return &task;
  }
  return nullptr;
}

const Opcode* ProviderSchema::find_opcode(std::uint16_t task, std::uint8_t value) const {
  if (const Task* owner = find_task(task)) {
    for (const Opcode& opcode : owner->opcodes) {
      if (opcode.value == value) return &opcode;
    }
  }
  for (const Opcode& opcode : opcodes) {
    if (opcode.value == value) return &opcode;
  }
  return nullptr;
}

const Channel* ProviderSchema::find_channel(std::uint8_t value) const {
  for (const Channel& channel : channels) {
    if (channel.value == value) return &channel;
  }
  return nullptr;
}

const Template* ProviderSchema::find_template(std::string_view id) const {
  for (const Template& candidate : templates) {
    if (candidate.id == id) return &candidate;
  }
  return nullptr;
}

const ValueMap* ProviderSchema::find_map(std::string_view map_name) const {
  for (const ValueMap& map : maps) {
    if (map.name == map_name) return &map;
  }
  return nullptr;
}

std::vector<const Keyword*> ProviderSchema::keywords_in(std::uint64_t mask) const {
  std::vector<const Keyword*> found;
  for (const Keyword& keyword : keywords) {
    if (keyword.mask != 0 && (keyword.mask & mask) == keyword.mask) found.push_back(&keyword);
  }
  return found;
}

const Level* predefined_level(std::string_view name) { return find_named(kLevels, name); }
const Opcode* predefined_opcode(std::string_view name) { return find_named(kOpcodes, name); }
const Keyword* predefined_keyword(std::string_view name) { return find_named(kKeywords, name); }
const Task* predefined_task(std::string_view name) { return find_named(kTasks, name); }

const Channel* predefined_channel(std::string_view name) {
  for (const Channel& channel : kChannels) {
    if (channel.chid == name || channel.name == name) return &channel;
  }
  return nullptr;
}

std::optional<std::uint16_t> intype_from_name(std::string_view name) { return type_code(kInTypes, name); }
std::optional<std::uint16_t> outtype_from_name(std::string_view name) { return type_code(kOutTypes, name); }

std::uint16_t default_outtype(std::uint16_t in_type) {
  switch (in_type) {
    case intype::UnicodeString:
    case intype::AnsiString:
    case intype::ManifestCountedString:
    case intype::ManifestCountedAnsiString:
    case intype::Sid:
      return outtype::String;
    case intype::Int8: return outtype::Byte;
    case intype::UInt8: return outtype::UnsignedByte;
    case intype::Int16: return outtype::Short;
    case intype::UInt16: return outtype::UnsignedShort;
    case intype::Int32: return outtype::Int;
    case intype::UInt32: return outtype::UnsignedInt;
    case intype::Int64: return outtype::Long;
    case intype::UInt64: return outtype::UnsignedLong;
    case intype::Float: return outtype::Float;
    case intype::Double: return outtype::Double;
    case intype::Boolean: return outtype::Boolean;
    case intype::Binary:
    case intype::ManifestCountedBinary:
      return outtype::HexBinary;
    case intype::Guid: return outtype::Guid;
    case intype::Pointer:
    case intype::HexInt64:
      return outtype::HexInt64;
    case intype::FileTime:
    case intype::SystemTime:
      return outtype::DateTime;
    case intype::HexInt32: return outtype::HexInt32;
    default: return outtype::Null;
  }
}

std::optional<Guid> parse_guid_text(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  std::uint8_t bytes[16];
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = hex_digit(text[i]);
    const int low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[count++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  // The text lists Data1..Data3 most significant byte first; the structure holds them as
  // numbers, and Data4 as bytes in text order.
  Guid guid;
  guid.data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
               static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  guid.data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  guid.data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

std::string guid_text(const Guid& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.data1), static_cast<unsigned>(guid.data2),
                static_cast<unsigned>(guid.data3), guid.data4[0], guid.data4[1], guid.data4[2],
                guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
  return text;
}

bool names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace etw
