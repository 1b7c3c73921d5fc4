// Feeds arbitrary bytes to the event decoder as a provider's schema and an event of it: the
// first bytes choose the template (each property's in-type and out-type, a count or length
// fixed or taken from an earlier property, a value or bit map), the rest is the event's user
// data. The schema reaches the decoder as on the machine, through TDH over the provider
// catalog, and each input is decoded by the platform's property formatter or the decoder's
// own. Whatever a provider declares and sends, decoding must neither crash nor read outside
// the user data, and the text must stay within a fixed bound of the input's size: no count
// or length a property claims may multiply the output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "etw/catalog.h"
#include "log_writer.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "tdh_parser.h"
#include "testing/event_record_builder.h"

namespace {

namespace in = etw::intype;
namespace out = etw::outtype;

constexpr std::uint16_t kInTypes[] = {
    in::UnicodeString, in::AnsiString, in::Int8, in::UInt8, in::Int16, in::UInt16, in::Int32, in::UInt32,
    in::Int64, in::UInt64, in::Float, in::Double, in::Boolean, in::Binary, in::Guid, in::Pointer,
    in::FileTime, in::SystemTime, in::Sid, in::HexInt32, in::HexInt64, in::ManifestCountedString,
    in::ManifestCountedAnsiString, in::ManifestCountedBinary, in::CountedString, in::CountedAnsiString,
    in::ReversedCountedString, in::ReversedCountedAnsiString, in::NonNullTerminatedString,
    in::NonNullTerminatedAnsiString, in::UnicodeChar, in::AnsiChar, in::SizeT, in::HexDump, in::WbemSid};
constexpr std::uint16_t kOutTypes[] = {
    out::String, out::DateTime, out::Byte, out::UnsignedByte, out::Short, out::UnsignedShort, out::Int,
    out::UnsignedInt, out::Long, out::UnsignedLong, out::Float, out::Double, out::Boolean, out::Guid,
    out::HexBinary, out::HexInt8, out::HexInt16, out::HexInt32, out::HexInt64, out::Pid, out::Tid, out::Port,
    out::IPv4, out::IPv6, out::SocketAddress, out::CimDateTime, out::EtwTime, out::Xml, out::ErrorCode,
    out::Win32Error, out::NtStatus, out::HResult, out::DateTimeCultureInsensitive, out::Json, out::Utf8,
    out::Pkcs7WithTypeInfo, out::CodePointer, out::DateTimeUtc, out::ReducedString, out::NoPrint};
constexpr std::size_t kFieldBytes = 4;
constexpr std::size_t kMaxFields = 8;
constexpr etw::DecodingSource kSources[] = {etw::DecodingSource::XmlFile, etw::DecodingSource::Tlg,
                                            etw::DecodingSource::Wbem, etw::DecodingSource::Wpp};

// Two parsers: one made while tdh.dll exports TdhFormatProperty, one after it was hidden,
// which falls back to the decoder's own formatter. Made once; the log stays quiet, as every
// malformed event would otherwise add lines.
struct Decoders {
  std::unique_ptr<TdhParserImpl> platform;
  std::unique_ptr<TdhParserImpl> own;
};
Decoders& decoders() {
  static Decoders& instance = *[] {
    SetLogLevel("4");
    sim::reset();
    auto* made = new Decoders;
    made->platform = std::make_unique<TdhParserImpl>();
    sim::remove_tdh_export("TdhFormatProperty");
    made->own = std::make_unique<TdhParserImpl>();
    return made;
  }();
  return instance;
}

std::vector<etw::ValueMap> Maps() {
  etw::ValueMap values{"Values", false, {{0, "Zero"}, {1, "One"}, {7, "Seven"}, {0xFFFFFFFF, "All"}}};
  etw::ValueMap bits{"Bits", true, {{1, "Read"}, {2, "Write"}, {4, "Run"}, {0x80000000, "High"}}};
  return {values, bits};
}

// Bytes per field: in-type, out-type (0: the in-type's default), shape (bit 0 array, bit 1
// count from an earlier field, bit 2 length, bit 3 length from an earlier field, bits 4-5
// map: none, value map, bit map, a map that does not exist), and the number the shape uses
// (a fixed count or length, or the index of the earlier field).
etw::Field FieldFrom(const std::uint8_t* bytes, std::size_t index, const std::vector<etw::Field>& earlier) {
  etw::Field field = decode_testing::MakeField("F" + std::to_string(index),
                                               kInTypes[bytes[0] % std::size(kInTypes)],
                                               bytes[1] == 0 ? 0 : kOutTypes[(bytes[1] - 1) % std::size(kOutTypes)]);
  const std::uint8_t shape = bytes[2];
  const std::uint8_t number = bytes[3];
  if (shape & 1) {
    field.is_array = true;
    if ((shape & 2) && !earlier.empty()) {
      field.count_field = earlier[number % earlier.size()].name;
    } else {
      field.count = number;
    }
  }
  if (shape & 4) {
    if ((shape & 8) && !earlier.empty()) {
      field.length_field = earlier[number % earlier.size()].name;
    } else {
      field.length = number;
    }
  }
  static const char* const kMaps[] = {"", "Values", "Bits", "Nowhere"};
  field.map = kMaps[(shape >> 4) & 3];
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Decoders& parsers = decoders();
  if (size < 2) return 0;
  const std::size_t count = 1 + data[0] % kMaxFields;
  const std::uint8_t options = data[1];
  std::size_t at = 2;
  std::vector<etw::Field> fields;
  std::string message;
  for (std::size_t i = 0; i < count && at + kFieldBytes <= size; ++i, at += kFieldBytes) {
    fields.push_back(FieldFrom(data + at, i, fields));
    message += "%" + std::to_string(i + 1) + " ";
  }
  etw::ProviderSchema provider = decode_testing::OneEventProvider(
      "FuzzProvider", "{0F5E9A11-7C3D-4B2A-9E61-3D0A5C7B8E21}", kSources[options & 3], std::move(fields),
      (options & 4) ? "" : message);
  provider.maps = Maps();
  // Replaces the previous input's provider (same GUID); a schema the catalog refuses (a map
  // it does not hold, say) is not an event anyone could decode.
  if (etw::catalog().install_provider(provider, etw::Scope::Registered) != etw::CatalogStatus::Ok) return 0;

  decode_testing::EventRecordBuilder builder(provider);
  builder.Bytes(std::vector<unsigned char>(data + at, data + size));
  if (options & 8) builder.Record()->EventHeader.Flags = 0x20;  // a 32-bit process: 4-byte pointers
  TdhParserImpl& parser = (options & 16) ? *parsers.own : *parsers.platform;
  const std::string record = parser.GetETWData(builder.Record());
  // Header, context and the fixed fields take a few hundred bytes; no byte of input may
  // grow into more than a few dozen characters of text.
  if (record.size() > 1024 + 48 * size) std::abort();
  return 0;
}
