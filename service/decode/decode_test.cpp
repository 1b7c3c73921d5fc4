#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testing/log_file.h"
#include "evntrace.h"
#include "sim/clock.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "tdh_parser.h"
#include "testing/event_record_builder.h"
#include "trace_parsers.h"
#include "txr_public.h"

namespace {

using decode_testing::AnsiZ;
using decode_testing::EventRecordBuilder;
using decode_testing::LittleEndian;
using decode_testing::MakeField;
using decode_testing::OneEventProvider;
using decode_testing::WideZ;
namespace in = etw::intype;
namespace out = etw::outtype;

const char* kManifestGuid = "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D01}";

std::uint16_t U16At(const std::string& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                    (static_cast<unsigned char>(bytes[offset + 1]) << 8));
}

// The text of a type-0 record body (type, payload length, payload).
std::string TextOf(const std::string& record) {
  if (record.size() < TRACE_RECORD_BODY_HEAD + ETW_PAYLOAD_MIN_SIZE) return "<no record>";
  const std::string payload = record.substr(TRACE_RECORD_BODY_HEAD);
  return payload.substr(ETW_PAYLOAD_TEXT_OFFSET, U16At(payload, ETW_PAYLOAD_TEXT_LENGTH_OFFSET));
}

// Each test runs with the platform's property formatter present (false) and without it, when
// the decoder falls back to its own.
class Decoder : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
    if (GetParam()) sim::remove_tdh_export("TdhFormatProperty");
  }

  // Decodes through the whole decoder; a provider without a name (which the catalog does not
  // take) goes through the manifest parser with the name's offset cleared.
  std::string Decode(etw::ProviderSchema provider, EventRecordBuilder& builder) {
    const bool unnamed = provider.name.empty();
    if (unnamed) provider.name = "Unnamed";
    EXPECT_EQ(sim::install_declared_provider(provider), etw::CatalogStatus::Ok);
    TdhParserImpl parser;
    EXPECT_EQ(parser.ContextReady(), true);
    if (!unnamed) return parser.GetETWData(builder.Record());
    ULONG size = 0;
    EXPECT_EQ(TdhGetEventInformation(builder.Record(), 0, nullptr, nullptr, &size), ULONG{ERROR_INSUFFICIENT_BUFFER});
    std::vector<BYTE> info(size);
    auto* event_info = reinterpret_cast<PTRACE_EVENT_INFO>(info.data());
    EXPECT_EQ(TdhGetEventInformation(builder.Record(), 0, nullptr, event_info, &size), 0u);
    event_info->ProviderNameOffset = 0;
    ETW_DECODING_STATE state;
    TDH_PROCESSING_CONTEXT context;
    GetFormatPropertyHandle(&context.module, &context.pfnFormatProperty);
    state.context = &context;
    std::string text;
    const ULONG status = ETWTraceParser::Instance().DecodeTrace(&state, event_info, size, builder.Record(), text);
    if (context.module != nullptr) FreeLibrary(context.module);
    if (status != 0) return "";
    return BuildEtwTextRecord(*builder.Record(), text.data(), text.size());
  }

  std::unique_ptr<LogFile> log_;
};

INSTANTIATE_TEST_SUITE_P(Formatters, Decoder, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "OwnFormatter" : "TdhFormatter"; });

TEST_P(Decoder, TemplateWithOneStringInsertionAndNoProviderNameIsTheTextAlone) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("Name", in::UnicodeString)}, "Opened %1 now");
  EventRecordBuilder builder(provider);
  builder.Wide(u"dev\u00E9ce");
  EXPECT_EQ(TextOf(Decode(provider, builder)), "Opened dev\xC3\xA9" "ce now");
}

TEST_P(Decoder, CountsAndLengthsComeFromEarlierProperties) {
  etw::Field values = MakeField("Values", in::UInt16);
  values.is_array = true;
  values.count_field = "N";
  etw::Field blob = MakeField("Blob", in::Binary);
  blob.length_field = "Size";
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("N", in::UInt8), values, MakeField("Size", in::UInt32), blob,
                                    MakeField("Tail", in::AnsiString)},
                                   "%1|%2|%3|%4|%5");
  EventRecordBuilder builder(provider);
  builder.Value<std::uint8_t>(3).Value<std::uint16_t>(7).Value<std::uint16_t>(8).Value<std::uint16_t>(9);
  builder.Value<std::uint32_t>(2).Bytes({0xAB, 0x01}).Ansi("end");
  const std::string text = TextOf(Decode(provider, builder));
  // Array elements are joined with ", "; binary data is shown as hexadecimal bytes.
  EXPECT_TRUE(text == "3|7, 8, 9|2|AB01|end" || text == "3|7, 8, 9|2|0xAB01|end") << text;
}

TEST_P(Decoder, AnElementThatTakesNoBytesIsRenderedOnceWhateverTheCountClaims) {
  etw::Field blobs = MakeField("Blobs", in::Binary);
  blobs.is_array = true;
  blobs.count_field = "N";
  blobs.length_field = "Size";
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("N", in::UInt32), MakeField("Size", in::UInt32), blobs,
                                    MakeField("Tail", in::UInt8)},
                                   "%1|%2|%3|%4");
  EventRecordBuilder builder(provider);
  builder.Value<std::uint32_t>(3000000).Value<std::uint32_t>(0).Value<std::uint8_t>(7);
  const std::string text = TextOf(Decode(provider, builder));
  // Three million empty elements would be megabytes of ", ": the text stays one line long.
  EXPECT_LT(text.size(), 64u) << text.substr(0, 64);
  EXPECT_EQ(text.rfind("3000000|0|", 0), 0u) << text.substr(0, 64);
  EXPECT_EQ(text.back(), '7') << text.substr(0, 64);
}

TEST_P(Decoder, CountAndLengthReachingPastTheUserDataRenderWhatIsThere) {
  etw::Field values = MakeField("Values", in::UInt32);
  values.is_array = true;
  values.count_field = "N";
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("N", in::UInt16), values}, "%1:%2");
  EventRecordBuilder builder(provider);
  builder.Value<std::uint16_t>(60000).Value<std::uint32_t>(5).Value<std::uint32_t>(6);
  EXPECT_EQ(TextOf(Decode(provider, builder)), "60000:5, 6");

  etw::Field blob = MakeField("Blob", in::Binary);
  blob.length_field = "Size";
  etw::Field name = MakeField("Name", in::NonNullTerminatedString);
  name.length = 40;
  auto second = OneEventProvider("", "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D02}", etw::DecodingSource::XmlFile,
                                 {MakeField("Size", in::UInt32), blob}, "%1:%2");
  EventRecordBuilder truncated(second);
  truncated.Value<std::uint32_t>(0xFFFF).Bytes({0x01, 0x02, 0x03});
  const std::string text = TextOf(Decode(second, truncated));
  EXPECT_TRUE(text == "65535:010203" || text == "65535:0x010203") << text;

  auto third = OneEventProvider("", "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D03}", etw::DecodingSource::XmlFile, {name},
                                "[%1]");
  EventRecordBuilder shortName(third);
  shortName.Value(u'a').Value(u'b');
  EXPECT_EQ(TextOf(Decode(third, shortName)), "[ab]");
}

TEST_P(Decoder, UnterminatedStringKeepsItsCharacters) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("Name", in::UnicodeString)}, "<%1>");
  EventRecordBuilder builder(provider);
  builder.Value(u'o').Value(u'k');
  EXPECT_EQ(TextOf(Decode(provider, builder)), "<ok>");
}

TEST_P(Decoder, AStringCutToOneByteNeverRepeatsThePreviousElementsText) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("First", in::UnicodeString), MakeField("Cut", in::UnicodeString)},
                                   "<%1|%2>");
  EventRecordBuilder builder(provider);
  // Half a character: the formatter answers 15005 and writes no text for it.
  builder.Wide(u"first").Bytes({0x41});
  EXPECT_EQ(TextOf(Decode(provider, builder)), "<first|>");
}

TEST_P(Decoder, FixedSizePropertyCutShortFailsTheEvent) {
  auto provider = OneEventProvider("Cut", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("A", in::UInt32), MakeField("B", in::UInt64)}, "%1 %2");
  EventRecordBuilder builder(provider);
  builder.Value<std::uint32_t>(1).Value<std::uint16_t>(2);
  EXPECT_EQ(Decode(provider, builder), "");
  EXPECT_TRUE(log_->Contains("DecodeETWEvent  Failed"));
}

TEST_P(Decoder, LongTextGrowsTheFormattingBufferAndUnterminatedAnsiTextIsTakenWhole) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("Long", in::UnicodeString), MakeField("Tail", in::AnsiString)}, "%1|%2");
  EventRecordBuilder builder(provider);
  const std::u16string long_text(700, u'x');  // 1,402 bytes formatted: more than the first buffer
  builder.Wide(long_text).Bytes({'a', 'b', 'c'});
  EXPECT_EQ(TextOf(Decode(provider, builder)), std::string(700, 'x') + "|abc");
}

TEST_P(Decoder, StructureArrayMembersAndPointerSizeFromTheHeader) {
  etw::Field pair;
  pair.name = "Pairs";
  pair.is_array = true;
  pair.count = 2;
  pair.members = {MakeField("Key", in::UInt8), MakeField("Value", in::UInt8)};
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {pair, MakeField("Where", in::Pointer), MakeField("After", in::UInt16)},
                                   "%1/%2/%3");
  EventRecordBuilder builder(provider);
  builder.Record()->EventHeader.Flags = 0x20;  // a 32-bit process: pointers are 4 bytes
  builder.Value<std::uint8_t>(1).Value<std::uint8_t>(2).Value<std::uint8_t>(3).Value<std::uint8_t>(4);
  builder.Value<std::uint32_t>(0x1234ABCD).Value<std::uint16_t>(77);
  EXPECT_EQ(TextOf(Decode(provider, builder)), "1234/0x1234ABCD/77");
}

// --- Every in-type and out-type, as the peer reads it ----------------------------------------

// Event data: words of a SYSTEMTIME, and pieces put together.
std::vector<unsigned char> Words(std::initializer_list<std::uint16_t> words) {
  std::vector<unsigned char> bytes;
  for (std::uint16_t word : words) {
    const auto more = LittleEndian(word);
    bytes.insert(bytes.end(), more.begin(), more.end());
  }
  return bytes;
}
std::vector<unsigned char> Cat(std::initializer_list<std::vector<unsigned char>> parts) {
  std::vector<unsigned char> bytes;
  for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

etw::Field V(std::uint16_t in_type, std::uint16_t out_type = 0) { return MakeField("V", in_type, out_type); }
etw::Field Length(etw::Field field, std::uint16_t length) {
  field.length = length;
  return field;
}
etw::Field Count(etw::Field field, std::uint16_t count) {
  field.is_array = true;
  field.count = count;
  return field;
}
etw::Field Map(etw::Field field, const char* map) {
  field.map = map;
  return field;
}
etw::Field Struct(std::vector<etw::Field> members, std::uint16_t count) {
  etw::Field field;
  field.name = "S";
  field.is_array = true;
  field.count = count;
  field.members = std::move(members);
  return field;
}

// 2024-02-29 13:14:15 UTC as a file time.
constexpr std::uint64_t kLeapDay = 133536860550000000ull;
const std::vector<unsigned char> kGuid = {0x77, 0x0C, 0x1F, 0x6A, 0x1B, 0x2D, 0x55, 0x4E,
                                          0x9C, 0x31, 0x0B, 0x5E, 0x7A, 0x3C, 0x9D, 0x01};
const std::vector<unsigned char> kLinkLocal = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::vector<unsigned char> kLocalSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};       // S-1-5-18
const std::vector<unsigned char> kAdministrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
const std::vector<unsigned char> kNobody = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0,
                                            2, 0, 0, 0, 3, 0, 0, 0, 0xF4, 1, 0, 0};  // S-1-5-21-1-2-3-500

// One provider with an event per row (id and MOF event type = row number), each with its own
// template, and the maps the rows name.
template <typename Row>
etw::ProviderSchema TableProvider(const std::string& name, etw::DecodingSource source, const std::vector<Row>& rows,
                                  const std::string& message) {
  etw::ProviderSchema provider = OneEventProvider(name, kManifestGuid, source, {}, "");
  provider.events.clear();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    etw::Event event;
    event.id = static_cast<std::uint16_t>(i + 1);
    event.opcode = static_cast<std::uint8_t>(i + 1);
    event.template_id = "T" + std::to_string(i + 1);
    event.message = message;
    provider.templates.push_back(etw::Template{event.template_id, rows[i].fields});
    provider.events.push_back(event);
  }
  provider.maps.push_back(etw::ValueMap{"Values", false, {{1, "One"}, {2, "Two"}, {3, "Three"}}});
  provider.maps.push_back(etw::ValueMap{"Flags", true, {{1, "Read"}, {2, "Write"}, {4, "Exec"}}});
  return provider;
}

// One property per row. The texts differ where the platform's TdhFormatProperty and the own
// formatter differ (binary data with and without "0x", the digits of a file time's fraction,
// the case of a GUID, a port's byte order). nullptr: not asked of that formatter, whose
// stand-in answers no text of Windows for it (an unprintable character, an IPv6 address, a
// SID).
struct FormatterRow {
  const char* what;
  std::vector<etw::Field> fields;
  std::vector<unsigned char> data;
  const char* tdh;  // with the platform's TdhFormatProperty
  const char* own;  // with the own formatter
};

std::vector<FormatterRow> FormatterRows() {
  namespace in = etw::intype;
  namespace out = etw::outtype;
  // clang-format off
  return {
    {"UTF-16 string",         {V(in::UnicodeString)},                 WideZ(u"d\u00E9vice"),     "d\xC3\xA9vice", "d\xC3\xA9vice"},
    {"8-bit string",          {V(in::AnsiString)},                    AnsiZ("ansi"),             "ansi",          "ansi"},
    {"signed 8-bit",          {V(in::Int8)},                          LittleEndian(std::int8_t{-3}),       "-3",            "-3"},
    {"unsigned 8-bit",        {V(in::UInt8)},                         LittleEndian(std::uint8_t{200}),     "200",           "200"},
    {"8-bit hexadecimal",     {V(in::UInt8, out::HexInt8)},           LittleEndian(std::uint8_t{0xAB}),    "0xAB",          "0xAB"},
    {"8-bit character",       {V(in::UInt8, out::NoPrint)},           LittleEndian(std::uint8_t{'A'}),     nullptr,         "A"},
    {"signed 16-bit",         {V(in::Int16)},                         LittleEndian(std::int16_t{-300}),    "-300",          "-300"},
    {"unsigned 16-bit",       {V(in::UInt16)},                        LittleEndian(std::uint16_t{65535}),  "65535",         "65535"},
    {"16-bit hexadecimal",    {V(in::UInt16, out::HexInt16)},         LittleEndian(std::uint16_t{0xAB}),   "0xAB",          "0xAB"},
    {"port",                  {V(in::UInt16, out::Port)},             {0x1F, 0x90},              "8080",          "36895"},
    {"signed 32-bit",         {V(in::Int32)},                         LittleEndian(-70000),                "-70000",        "-70000"},
    {"unsigned 32-bit",       {V(in::UInt32)},                        LittleEndian(4000000000u),           "4000000000",    "4000000000"},
    {"32-bit hexadecimal",    {V(in::UInt32, out::HexInt32)},         LittleEndian(255u),                  "0xFF",          "0xFF"},
    {"error code",            {V(in::UInt32, out::ErrorCode)},        LittleEndian(5u),                    "0x5",           "0x5"},
    {"value map, 3rd entry",  {Map(V(in::UInt32), "Values")},         LittleEndian(3u),                    "Three",         "Three"},
    {"value map, no entry",   {Map(V(in::UInt32), "Values")},         LittleEndian(9u),                    "9",             "9"},
    {"8-bit value map",       {Map(V(in::UInt8), "Values")},          LittleEndian(std::uint8_t{2}),       "Two",           "Two"},
    {"bit map, two bits",     {Map(V(in::UInt32), "Flags")},          LittleEndian(5u),                    "Read | Exec",   "Read | Exec"},
    {"signed 64-bit",         {V(in::Int64)},                         LittleEndian(std::int64_t{-5}),      "-5",            "-5"},
    {"unsigned 64-bit",       {V(in::UInt64)},                        LittleEndian(~std::uint64_t{0}),     "18446744073709551615", "18446744073709551615"},
    {"64-bit hexadecimal",    {V(in::UInt64, out::HexInt64)},         LittleEndian(0xDEADBEEFCAFEull),     "0xDEADBEEFCAFE", "0xDEADBEEFCAFE"},
    {"float",                 {V(in::Float)},                         LittleEndian(1.5f),                  "1.500000",      "1.500000"},
    {"double",                {V(in::Double)},                        LittleEndian(-2.25),                 "-2.250000",     "-2.250000"},
    {"boolean true",          {V(in::Boolean)},                       LittleEndian(1u),                    "true",          "true"},
    {"boolean false",         {V(in::Boolean)},                       LittleEndian(0u),                    "false",         "false"},
    {"binary",                {Length(V(in::Binary), 3)},             {0xAB, 0x01, 0x02},        "0xAB0102",      "AB0102"},
    {"IPv6 address",          {Length(V(in::Binary, out::IPv6), 16)}, kLinkLocal,                nullptr,         "fe80::1"},
    {"GUID",                  {V(in::Guid)},                          kGuid,                     "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D01}", "{6a1f0c77-2d1b-4e55-9c31-0b5e7a3c9d01}"},
    {"pointer",               {V(in::Pointer)},                       LittleEndian(0x1234ABCD5678ull),     "0x1234ABCD5678", "0x1234ABCD5678"},
    {"size",                  {V(in::SizeT)},                         LittleEndian(0x40ull),               "0x40",          "0x40"},
    {"file time",             {V(in::FileTime)},                      LittleEndian(kLeapDay + 1234567),    "2024-02-29T13:14:15.1234567Z", "2024-02-29T13:14:15.123456700Z"},
    {"system time",           {V(in::SystemTime)},                    Words({2024, 2, 4, 29, 13, 14, 15, 250}), "2024-02-29T13:14:15.250Z", "2024-02-29T13:14:15.250Z"},
    {"SID",                   {V(in::Sid)},                           kLocalSystem,              nullptr,         "S-1-5-18"},
    {"hexadecimal 32-bit",    {V(in::HexInt32)},                      LittleEndian(0xBEEFu),               "0xBEEF",        "0xBEEF"},
    {"hexadecimal 64-bit",    {V(in::HexInt64)},                      LittleEndian(0x10ull),               "0x10",          "0x10"},
    {"counted UTF-16",        {Length(V(in::NonNullTerminatedString), 2)},     {'o', 0, 'k', 0}, "ok",            "ok"},
    {"counted 8-bit",         {Length(V(in::NonNullTerminatedAnsiString), 3)}, {'a', 'b', 'c'},  "abc",           "abc"},
    {"UTF-16 character",      {V(in::UnicodeChar)},                   LittleEndian(u'x'),                  "x",             "x"},
    {"UTF-16 characters",     {Count(V(in::UnicodeChar, out::String), 3)}, LittleEndian(u'x', u'y', u'z'),     "xyz",           "xyz"},
    {"8-bit character",       {V(in::AnsiChar)},                      {'q'},                     "q",             "q"},
    {"8-bit characters",      {Count(V(in::AnsiChar, out::String), 3)}, {'a', 'b', 'c'},         "abc",           "abc"},
    {"hex dump",              {Length(V(in::HexDump), 2)},            {0x0A, 0x0B},              "0x0A0B",        "0A0B"},
  };
  // clang-format on
}

// Each row is one event of provider "T" whose message is its one property: the peer reads
// "T-->" and the property's text.
TEST(PropertyFormatting, EveryInTypeAndOutTypeThroughTheTdhFormatterAndTheOwnFormatter) {
  const std::vector<FormatterRow> rows = FormatterRows();
  for (const bool own : {false, true}) {
    sim::reset();
    LogFile log;
    if (own) sim::remove_tdh_export("TdhFormatProperty");
    const etw::ProviderSchema provider = TableProvider("T", etw::DecodingSource::XmlFile, rows, "%1");
    ASSERT_EQ(sim::install_declared_provider(provider), etw::CatalogStatus::Ok);
    TdhParserImpl parser;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const char* expected = own ? rows[i].own : rows[i].tdh;
      if (expected == nullptr) continue;
      EventRecordBuilder builder(provider, static_cast<std::uint16_t>(i + 1));
      builder.Bytes(rows[i].data);
      EXPECT_EQ(TextOf(parser.GetETWData(builder.Record())), std::string("T-->") + expected)
          << (own ? "own formatter, " : "TDH formatter, ") << rows[i].what;
    }
  }
}

// MOF events: the text is the header and every value followed by ", ". Rows with a trailing
// UInt8 show that the value before it took exactly its own bytes.
struct MofRow {
  const char* what;
  std::vector<etw::Field> fields;
  std::vector<unsigned char> data;
  const char* text;
};

std::vector<MofRow> MofRows() {
  namespace in = etw::intype;
  namespace out = etw::outtype;
  const etw::Field tail = MakeField("Tail", in::UInt8);
  etw::Field items = Struct({MakeField("A", in::UInt8)}, 0);
  items.count_field = "N";
  // clang-format off
  return {
    {"signed 8-bit",         {V(in::Int8)},                        LittleEndian(std::int8_t{-3}),      "-3, "},
    {"unsigned 8-bit",       {V(in::UInt8)},                       LittleEndian(std::uint8_t{200}),    "200, "},
    {"8-bit hexadecimal",    {V(in::UInt8, out::HexInt8)},         LittleEndian(std::uint8_t{0xAB}),   "0xab, "},
    {"signed 16-bit",        {V(in::Int16)},                       LittleEndian(std::int16_t{-300}),   "-300, "},
    {"unsigned 16-bit",      {V(in::UInt16)},                      LittleEndian(std::uint16_t{65535}), "65535, "},
    {"16-bit hexadecimal",   {V(in::UInt16, out::HexInt16)},       LittleEndian(std::uint16_t{0xAB}),  "0xab, "},
    {"port",                 {V(in::UInt16, out::Port)},           {0x1F, 0x90},             "8080, "},
    {"signed 32-bit",        {V(in::Int32)},                       LittleEndian(-70000),               "-70000, "},
    {"signed HRESULT",       {V(in::Int32, out::HResult)},         LittleEndian(0x80004005u),          "0x80004005, "},
    {"unsigned 32-bit",      {V(in::UInt32)},                      LittleEndian(4000000000u),          "4000000000, "},
    {"32-bit hexadecimal",   {V(in::UInt32, out::HexInt32)},       LittleEndian(255u),                 "0xff, "},
    {"Win32 error",          {V(in::UInt32, out::Win32Error)},     LittleEndian(5u),                   "0x5, "},
    {"NTSTATUS",             {V(in::UInt32, out::NtStatus)},       LittleEndian(0xC0000001u),          "0xc0000001, "},
    {"IPv4 address",         {V(in::UInt32, out::IPv4)},           {192, 168, 1, 20},        "192.168.1.20, "},
    {"value map, 3rd entry", {Map(V(in::UInt32), "Values")},       LittleEndian(3u),                   "Three, "},
    {"value map, no entry",  {Map(V(in::UInt32), "Values")},       LittleEndian(9u),                   "9, "},
    {"bit map, two bits",    {Map(V(in::UInt32), "Flags")},        LittleEndian(5u),                   "Read | Exec, "},
    {"signed 64-bit",        {V(in::Int64)},                       LittleEndian(std::int64_t{-5}),     "-5, "},
    {"unsigned 64-bit",      {V(in::UInt64)},                      LittleEndian(~std::uint64_t{0}),    "18446744073709551615, "},
    {"64-bit hexadecimal",   {V(in::UInt64, out::HexInt64)},       LittleEndian(0xDEADBEEFCAFEull),    "0xdeadbeefcafe, "},
    {"hexadecimal 32-bit",   {V(in::HexInt32)},                    LittleEndian(0xBEEFu),              "0xbeef, "},
    {"hexadecimal 64-bit",   {V(in::HexInt64)},                    LittleEndian(0x10ull),              "0x10, "},
    {"pointer",              {V(in::Pointer)},                     LittleEndian(0x1234ABCD5678ull),    "0x1234abcd5678, "},
    {"size",                 {V(in::SizeT)},                       LittleEndian(0x40ull),              "0x40, "},
    {"float",                {V(in::Float)},                       LittleEndian(1.5f),                 "1.500000, "},
    {"double",               {V(in::Double)},                      LittleEndian(-2.25),                "-2.250000, "},
    {"boolean true",         {V(in::Boolean)},                     LittleEndian(1u),                   "true, "},
    {"boolean false",        {V(in::Boolean)},                     LittleEndian(0u),                   "false, "},
    {"binary",               {Length(V(in::Binary), 3)},           {0xAB, 0x01, 0x02},       "ab0102, "},
    {"IPv6 address",         {Length(V(in::Binary, out::IPv6), 16)}, kLinkLocal,             "fe80::1, "},
    {"hex dump",             {Length(V(in::HexDump), 2)},          {0x0A, 0x0B},             "0a0b, "},
    {"GUID",                 {V(in::Guid)},                        kGuid,                    "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D01}, "},
    {"SID of an account",    {V(in::Sid), tail},                   Cat({kLocalSystem, {7}}), "NT AUTHORITY\\SYSTEM, 7, "},
    {"SID of no account",    {V(in::Sid), tail},                   Cat({kNobody, {7}}),      "S-1-5-21-1-2-3-500, 7, "},
    {"WBEM SID",             {V(in::WbemSid), tail},               Cat({LittleEndian(0x1000ull, 0ull), kAdministrators, {7}}), "BUILTIN\\Administrators, 7, "},
    {"UTF-16 string",        {V(in::UnicodeString)},               WideZ(u"d\u00E9vice"),    "d\xC3\xA9vice, "},
    {"8-bit string",         {V(in::AnsiString)},                  AnsiZ("ansi"),            "ansi, "},
    {"counted UTF-16",       {Length(V(in::NonNullTerminatedString), 2)},     {'o', 0, 'k', 0}, "ok, "},
    {"counted 8-bit",        {Length(V(in::NonNullTerminatedAnsiString), 3)}, {'a', 'b', 'c'},  "abc, "},
    {"UTF-16 character",     {V(in::UnicodeChar)},                 LittleEndian(u'x'),                 "x, "},
    {"8-bit character",      {V(in::AnsiChar)},                    {'q'},                    "q, "},
    {"file time, no text",   {V(in::FileTime), tail},              Cat({LittleEndian(kLeapDay), {7}}), "7, "},
    {"system time, no text", {V(in::SystemTime), tail},            Cat({Words({2024, 2, 4, 29, 13, 14, 15, 250}), {7}}), "7, "},
    {"structure array",      {Struct({MakeField("A", in::UInt16), MakeField("B", in::UInt8)}, 2), tail}, Cat({Words({1}), {2}, Words({3}), {4, 9}}), "1, 2, 3, 4, 9, "},
    {"structure count from a field", {MakeField("N", in::UInt8), items, tail}, {2, 5, 6, 9}, "2, 5, 6, 9, "},
  };
  // clang-format on
}

// Raw performance-counter stamps at 10 MHz, dated by the session clock the consumer hands in:
// 42 ticks after the reference is 2024-02-29 13:14:15 and 42 units of 100 ns.
constexpr LONGLONG kReferenceTicks = 5'000'000'000;
const ETW_SESSION_CLOCK kTenMegahertz{true, 10'000'000, kReferenceTicks, static_cast<LONGLONG>(kLeapDay)};

TEST(PropertyFormatting, EveryInTypeAndOutTypeThroughTheMofParser) {
  sim::reset();
  LogFile log;
  const std::vector<MofRow> rows = MofRows();
  const etw::ProviderSchema provider = TableProvider("Mof", etw::DecodingSource::Wbem, rows, "");
  ASSERT_EQ(sim::install_declared_provider(provider), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  parser.SetSessionClock(kTenMegahertz);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EventRecordBuilder builder(provider, static_cast<std::uint16_t>(i + 1));
    builder.Record()->EventHeader.TimeStamp.QuadPart = kReferenceTicks + 42;
    builder.Bytes(rows[i].data);
    EXPECT_EQ(TextOf(parser.GetETWData(builder.Record())),
              "Event GUID: {00000000-0000-0000-0000-000000000000}, Event version: 0, Event type: " +
                  std::to_string(i + 1) + ", 02/29/2024 13:14:15.42, " + rows[i].text)
        << rows[i].what;
  }
  EXPECT_TRUE(log.Contains("LookupAccountSid failed with 1332"));  // the SID of no account
}

std::string HexOf(const std::vector<unsigned char>& bytes) {
  std::string text;
  char digits[3];
  for (unsigned char byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", unsigned{byte});
    text += digits;
  }
  return text;
}

// The own formatter's rendering of one element, or the status it answered.
std::string OwnText(USHORT in_type, USHORT out_type, USHORT length, const std::vector<unsigned char>& data) {
  WCHAR text[96];
  ULONG size = sizeof text;
  ULONG consumed = 0;
  const ULONG status = GetFormattedBuffer(in_type, out_type, length, 8, data.data(), static_cast<ULONG>(data.size()),
                                          text, &size, &consumed);
  return status == ERROR_SUCCESS ? ToUtf8(WString(text)) : "status " + std::to_string(status);
}

// A time the system cannot convert or format keeps its place as its raw bytes, logged, and
// the event still goes out.
TEST(OwnFormatter, ATimeTheSystemCannotFormatIsShownAsItsRawBytes) {
  sim::reset();
  LogFile log;
  const auto fileTime = LittleEndian(kLeapDay);
  const auto systemTime = Words({2024, 2, 4, 29, 13, 14, 15, 250});
  EXPECT_EQ(OwnText(tdh_in::FILETIME, 0, 0, fileTime), "2024-02-29T13:14:15.000000000Z");

  sim::fail_next("GetDateFormatEx", 1, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OwnText(tdh_in::FILETIME, 0, 0, fileTime), HexOf(fileTime));
  sim::fail_next("GetTimeFormatEx", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(OwnText(tdh_in::SYSTEMTIME, 0, 0, systemTime), HexOf(systemTime));
  const auto notAFileTime = LittleEndian(0x8000000000000000ull);
  EXPECT_EQ(OwnText(tdh_in::FILETIME, 0, 0, notAFileTime), HexOf(notAFileTime));
  const auto month13 = Words({2024, 13, 0, 1, 0, 0, 0, 0});
  EXPECT_EQ(OwnText(tdh_in::SYSTEMTIME, 0, 0, month13), HexOf(month13));

  EXPECT_TRUE(log.Contains("GetDateFormatEx failed with 87"));
  EXPECT_TRUE(log.Contains("GetTimeFormatEx failed with 14"));
  EXPECT_TRUE(log.Contains("FileTimeToSystemTime failed with 87"));
}

// Without ntdll's routine an IPv6 address is still all there, as hexadecimal bytes, in both
// formatters that write addresses.
TEST(PropertyFormatting, AnIpv6AddressWithoutNtdllsRoutineIsShownAsHexadecimalBytes) {
  sim::reset();
  LogFile log;
  sim::fail_next("GetModuleHandleW", 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(OwnText(tdh_in::BINARY, tdh_out::IPV6, 16, kLinkLocal), "FE800000000000000000000000000001");
  EXPECT_TRUE(log.Contains("GetProcAddress failed with 126."));

  ASSERT_TRUE(sim::remove_module_export("ntdll.dll", "RtlIpv6AddressToStringW"));
  EXPECT_EQ(OwnText(tdh_in::BINARY, tdh_out::IPV6, 16, kLinkLocal), "FE800000000000000000000000000001");
  auto mof = OneEventProvider("Mof", kManifestGuid, etw::DecodingSource::Wbem,
                              {Length(V(etw::intype::Binary, etw::outtype::IPv6), 16)}, "");
  ASSERT_EQ(sim::install_declared_provider(mof), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  EventRecordBuilder builder(mof);
  builder.Bytes(kLinkLocal);
  const std::string text = TextOf(parser.GetETWData(builder.Record()));
  EXPECT_EQ(text.substr(text.rfind(".0, ") + 4), "fe800000000000000000000000000001, ");
  EXPECT_EQ(log.Count("GetProcAddress failed with 127."), 2u);
}

// The time fragment of a MOF event (no properties) stamped `stamp`.
std::string MofTime(TdhParserImpl& parser, const etw::ProviderSchema& mof, LONGLONG stamp) {
  EventRecordBuilder builder(mof);
  builder.Record()->EventHeader.TimeStamp.QuadPart = stamp;
  const std::string text = TextOf(parser.GetETWData(builder.Record()));
  const std::string head = "Event type: 0, ";
  const std::size_t at = text.find(head);
  if (at == std::string::npos) return text;
  return text.substr(at + head.size(), text.size() - at - head.size() - 2);
}

TEST(MofTimeStamp, IsTheRawStampDatedByTheSessionClock) {
  sim::reset();
  LogFile log;
  auto mof = OneEventProvider("Mof", kManifestGuid, etw::DecodingSource::Wbem, {}, "");
  ASSERT_EQ(sim::install_declared_provider(mof), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  // Before any clock is handed in the stamps are file times, as ETW converts them by default.
  EXPECT_EQ(MofTime(parser, mof, static_cast<LONGLONG>(kLeapDay) + 7), "02/29/2024 13:14:15.7");

  parser.SetSessionClock(kTenMegahertz);
  EXPECT_EQ(MofTime(parser, mof, kReferenceTicks + 42), "02/29/2024 13:14:15.42");
  // Events buffered before the consumer opened are older than the reference.
  EXPECT_EQ(MofTime(parser, mof, kReferenceTicks - 60 * 10'000'000), "02/29/2024 13:13:15.0");
  // A 3 MHz counter: an hour and three ticks (one microsecond) after the reference.
  parser.SetSessionClock(ETW_SESSION_CLOCK{true, 3'000'000, 0, static_cast<LONGLONG>(kLeapDay)});
  EXPECT_EQ(MofTime(parser, mof, 3'000'000LL * 3600 + 3), "02/29/2024 14:14:15.10");
  // Raw stamps of a clock without a known rate are passed on as they came.
  parser.SetSessionClock(ETW_SESSION_CLOCK{true, 0, 0, 0});
  EXPECT_EQ(MofTime(parser, mof, 123456), "123456");
}

// The session's clock as OpenTraceW describes it in the logfile header: a performance-counter
// session gets its reference read when the header is handed in, a system-time session's stamps
// are file times already.
TEST(MofTimeStamp, TheClockComesFromTheHeaderOfTheOpenedSession) {
  using namespace std::chrono;
  sim::reset();
  LogFile log;
  sim::set_system_time(sys_days{2024y / 2 / 29} + 13h + 14min + 15s);
  auto mof = OneEventProvider("Mof", kManifestGuid, etw::DecodingSource::Wbem, {}, "");
  ASSERT_EQ(sim::install_declared_provider(mof), etw::CatalogStatus::Ok);
  for (const ULONG clockType : {1u, 2u}) {
    SCOPED_TRACE(clockType);
    std::u16string name = u"DecodeClock" + std::u16string(1, static_cast<char16_t>(u'0' + clockType));
    EVENT_TRACE_PROPERTIES properties{};
    properties.Wnode.BufferSize = sizeof properties;
    properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties.Wnode.ClientContext = clockType;
    properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceW(&session, name.c_str(), &properties), 0u);
    EVENT_TRACE_LOGFILEW logfile{};
    logfile.LoggerName = name.data();
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_RAW_TIMESTAMP |
                               PROCESS_TRACE_MODE_EVENT_RECORD;
    const TRACEHANDLE consumer = OpenTraceW(&logfile);
    ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(logfile.LogfileHeader.ReservedFlags, clockType);
    TdhParserImpl parser;
    LARGE_INTEGER before{}, after{};
    QueryPerformanceCounter(&before);
    parser.SetSessionClock(logfile.LogfileHeader);
    QueryPerformanceCounter(&after);
    if (clockType == 2) {
      EXPECT_EQ(MofTime(parser, mof, static_cast<LONGLONG>(kLeapDay)), "02/29/2024 13:14:15.0");
    } else {
      // Two seconds after `after`: the reference was read between `before` and `after`, so the
      // date lies two seconds after the frozen clock, plus at most their distance.
      const LONGLONG frequency = logfile.LogfileHeader.PerfFreq.QuadPart;
      const std::string time = MofTime(parser, mof, after.QuadPart + 2 * frequency);
      unsigned month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
      unsigned long long units = 0;
      ASSERT_EQ(std::sscanf(time.c_str(), "%u/%u/%u %u:%u:%u.%llu", &month, &day, &year, &hour, &minute, &second,
                            &units),
                7)
          << time;
      EXPECT_EQ(std::to_string(month) + "/" + std::to_string(day) + "/" + std::to_string(year), "2/29/2024");
      const long long since = ((hour * 3600LL + minute * 60 + second) - (13 * 3600LL + 14 * 60 + 15)) * 10'000'000 +
                              static_cast<long long>(units);
      EXPECT_GE(since, 2 * 10'000'000LL) << time;
      EXPECT_LE(since, 2 * 10'000'000LL + (after.QuadPart - before.QuadPart) * 10'000'000 / frequency + 1) << time;
    }
    CloseTrace(consumer);
    ControlTraceW(session, nullptr, &properties, EVENT_TRACE_CONTROL_STOP);
  }
}

TEST(OwnFormatter, RefusesNullArgumentsAndReportsTheSizeNeeded) {
  sim::reset();
  LogFile log;
  ULONG size = 0, consumed = 0;
  EXPECT_EQ(GetFormattedBuffer(tdh_in::UINT32, 0, 0, 8, nullptr, 4, nullptr, &size, &consumed),
            ULONG{ERROR_EVT_INVALID_EVENT_DATA});
  EXPECT_TRUE(log.Contains("Error # Invalid parameters"));
  const BYTE value[4] = {0xFF, 0, 0, 0};
  WCHAR text[4];
  size = sizeof text;
  EXPECT_EQ(GetFormattedBuffer(tdh_in::UINT32, tdh_out::HEXINT32, 0, 8, value, 4, text, &size, &consumed),
            ULONG{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(size, 10u);  // "0xFF" and its terminator
  EXPECT_EQ(GetFormattedBuffer(tdh_in::UINT32, 0, 0, 8, value, 3, text, &size, &consumed),
            ULONG{ERROR_EVT_INVALID_EVENT_DATA});
  EXPECT_EQ(GetFormattedBuffer(999, 0, 0, 8, value, 4, text, &size, &consumed), ULONG{ERROR_NOT_SUPPORTED});
}

class Records : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
  }
  std::unique_ptr<LogFile> log_;
};

TEST_F(Records, TenByteTextGivesA109BytePayloadEndingInZero) {
  auto provider = OneEventProvider("P", kManifestGuid, etw::DecodingSource::XmlFile, {}, "");
  EventRecordBuilder builder(provider);
  TdhParserImpl parser;
  const std::string record = parser.EtwGetCustomMessageString(builder.Record(), "0123456789");
  ASSERT_EQ(record.size(), 3u + 109u);
  EXPECT_EQ(record[0], 0);
  EXPECT_EQ(U16At(record, 1), 109);
  const std::string payload = record.substr(3);
  EXPECT_EQ(U16At(payload, ETW_PAYLOAD_SIZE_OFFSET), 109);
  EXPECT_EQ(U16At(payload, ETW_PAYLOAD_MARKER_OFFSET), ETW_PAYLOAD_MARKER);
  EXPECT_EQ(std::memcmp(payload.data() + ETW_PAYLOAD_EVENT_HEADER_OFFSET, &builder.Record()->EventHeader, 80), 0);
  EXPECT_EQ(std::memcmp(payload.data() + ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET, &builder.Record()->BufferContext, 4), 0);
  EXPECT_EQ(payload.substr(ETW_PAYLOAD_FREQUENCY_OFFSET, 8), std::string(8, '\0'));
  EXPECT_EQ(U16At(payload, ETW_PAYLOAD_TEXT_LENGTH_OFFSET), 10);
  EXPECT_EQ(payload.substr(ETW_PAYLOAD_TEXT_OFFSET, 10), "0123456789");
  EXPECT_EQ(payload[108], 0);

  EXPECT_EQ(parser.EtwGetCustomMessageString(builder.Record(), ""), "");
  EXPECT_TRUE(log_->Contains("userMssage is empty"));
  EXPECT_EQ(parser.GetETWData(nullptr), "");
  EXPECT_TRUE(log_->Contains("Error # Invalid parameters"));
}

TEST_F(Records, SpecialProvidersCarryUserDataWithoutItsFirstTwoBytesAndNeverExtendedData) {
  struct Special {
    const char* guid;
    char type;
    const char* noData;
  };
  for (const Special& special : {Special{"{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}", 2, "[DUX] No Extended  , user data found"},
                                 Special{"{50535F19-6E34-4032-8BE4-768BA2EBA247}", 3, "[VEX] No Extended  , user data found"}}) {
    auto provider = OneEventProvider("Raw", special.guid, etw::DecodingSource::XmlFile, {}, "");
    TdhParserImpl parser;

    EventRecordBuilder two(provider);
    two.Bytes({0x10, 0x20});
    EXPECT_EQ(parser.GetETWData(two.Record()), "");
    EXPECT_EQ(log_->Count(special.noData), 1u);

    // Extended-data items present: they are not the payload, and nothing past the user data
    // is read.
    EventRecordBuilder six(provider);
    six.Bytes({0x10, 0x20, 0xA1, 0xA2, 0xA3, 0xA4});
    EVENT_HEADER_EXTENDED_DATA_ITEM items[1] = {};
    EVENT_RECORD* record = six.Record();
    record->ExtendedDataCount = 40;
    record->ExtendedData = items;
    const std::string raw = parser.GetETWData(record);
    ASSERT_EQ(raw.size(), 3u + 4u);
    EXPECT_EQ(raw[0], special.type);
    EXPECT_EQ(U16At(raw, 1), 4);
    EXPECT_EQ(raw.substr(3), "\xA1\xA2\xA3\xA4");
  }
}

TEST_F(Records, TraceLoggingAndUnknownDecodingSourcesGiveTheirErrorTexts) {
  auto tlg = OneEventProvider("Tlg", kManifestGuid, etw::DecodingSource::Tlg, {}, "");
  ASSERT_EQ(sim::install_declared_provider(tlg), etw::CatalogStatus::Ok);
  auto other = OneEventProvider("Other", "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D09}", static_cast<etw::DecodingSource>(7),
                                {}, "");
  ASSERT_EQ(sim::install_declared_provider(other), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  EventRecordBuilder first(tlg);
  EXPECT_EQ(TextOf(parser.GetETWData(first.Record())),
            ">>>>>>ERROR [DecodingSourceTlg] is not supported with TXR Driver");
  EventRecordBuilder second(other);
  EXPECT_EQ(TextOf(parser.GetETWData(second.Record())),
            ">>>>>>ERROR [Invalid Decoding Source] not supported with TXR Driver [ 7 ]");
}

TEST_F(Records, WppEventTextIsItsUserData) {
  auto wpp = OneEventProvider("Wpp", kManifestGuid, etw::DecodingSource::Wpp, {}, "");
  ASSERT_EQ(sim::install_declared_provider(wpp), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  EventRecordBuilder builder(wpp);
  builder.Bytes({'w', 'p', 'p', ' ', 't', 'w', 'e', 'l', 'v', 'e', 0x00, 0x7F});
  const std::string record = parser.GetETWData(builder.Record());
  EXPECT_EQ(TextOf(record), std::string("wpp twelve\0\x7F", 12));
  EXPECT_EQ(U16At(record, 1), 99 + 12);
}

TEST_F(Records, UnknownEventKeepsItsUserDataAsTextAndSendsNothing) {
  auto provider = OneEventProvider("P", kManifestGuid, etw::DecodingSource::XmlFile, {}, "");
  TdhParserImpl parser;  // the provider is not installed
  EventRecordBuilder builder(provider);
  builder.Bytes({'h', 0, 'i', 0, '!'});
  EXPECT_EQ(parser.GetETWData(builder.Record()), "");
  EXPECT_EQ(parser.DecodingState().message, std::u16string(u"hi!"));
  EXPECT_TRUE(log_->Contains("DecodeETWEvent  Failed"));

  EventRecordBuilder empty(provider);
  EXPECT_EQ(parser.GetETWData(empty.Record()), "");
  EXPECT_EQ(parser.DecodingState().errorText, "Extended Event information , userData not found");
}

TEST_F(Records, EventInformationBufferGrowsAndIsReused) {
  std::vector<etw::Field> many;
  for (int i = 0; i < 40; ++i) many.push_back(MakeField("Field" + std::to_string(i), in::UInt8));
  auto small = OneEventProvider("S", kManifestGuid, etw::DecodingSource::XmlFile, {MakeField("A", in::UInt8)}, "%1");
  auto large = OneEventProvider("L", "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D05}", etw::DecodingSource::XmlFile, many,
                                "%1 %40");
  ASSERT_EQ(sim::install_declared_provider(small), etw::CatalogStatus::Ok);
  ASSERT_EQ(sim::install_declared_provider(large), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  EventRecordBuilder a(small);
  a.Value<std::uint8_t>(1);
  EXPECT_EQ(TextOf(parser.GetETWData(a.Record())), "S-->1");
  EventRecordBuilder b(large);
  for (int i = 0; i < 40; ++i) b.Value<std::uint8_t>(static_cast<std::uint8_t>(i));
  EXPECT_EQ(TextOf(parser.GetETWData(b.Record())), "L-->0 39");
  EXPECT_EQ(TextOf(parser.GetETWData(a.Record())), "S-->1");

  sim::fail_next("TdhGetEventInformation", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(parser.GetETWData(a.Record()), "");
}

// One parser serves a whole session and keeps its texts' storage from event to event: no
// text of one event may show up in the next.
TEST_F(Records, AParserReusedAcrossEventsCarriesNoTextOver) {
  auto two = OneEventProvider("Two", kManifestGuid, etw::DecodingSource::XmlFile,
                              {MakeField("N", in::UInt8), MakeField("Name", in::UnicodeString)}, "%1 %2");
  auto one = OneEventProvider("One", "{6A1F0C77-2D1B-4E55-9C31-0B5E7A3C9D06}", etw::DecodingSource::XmlFile,
                              {MakeField("N", in::UInt8)}, "%1 [%2]");
  ASSERT_EQ(sim::install_declared_provider(two), etw::CatalogStatus::Ok);
  ASSERT_EQ(sim::install_declared_provider(one), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  EventRecordBuilder first(two);
  first.Value<std::uint8_t>(1).Wide(u"first");
  EventRecordBuilder second(one);
  second.Value<std::uint8_t>(7);
  EventRecordBuilder third(two);
  third.Value<std::uint8_t>(2).Wide(u"third");
  EXPECT_EQ(TextOf(parser.GetETWData(first.Record())), "Two-->1 first");
  EXPECT_EQ(TextOf(parser.GetETWData(second.Record())), "One-->7 []");
  EXPECT_EQ(TextOf(parser.GetETWData(third.Record())), "Two-->2 third");
  EXPECT_EQ(TextOf(parser.GetETWData(third.Record())), "Two-->2 third");
}

TEST_F(Records, MofEventListsHeaderAndValues) {
  etw::Field state = MakeField("State", in::UInt32);
  state.map = "M";
  auto mof = OneEventProvider("Mof", kManifestGuid, etw::DecodingSource::Wbem,
                              {MakeField("Id", in::UInt32), MakeField("Hex", in::HexInt32), state,
                               MakeField("Name", in::AnsiString)},
                              "");
  mof.maps.push_back(etw::ValueMap{"M", false, {{4, "Four"}}});
  ASSERT_EQ(sim::install_declared_provider(mof), etw::CatalogStatus::Ok);
  TdhParserImpl parser;
  EventRecordBuilder builder(mof);
  builder.Record()->EventHeader.TimeStamp.QuadPart = 133536860550000000ll + 42;
  builder.Value<std::uint32_t>(17).Value<std::uint32_t>(0xBEEF).Value<std::uint32_t>(4).Ansi("mof");
  EXPECT_EQ(TextOf(parser.GetETWData(builder.Record())),
            "Event GUID: {00000000-0000-0000-0000-000000000000}, Event version: 0, Event type: 0, "
            "02/29/2024 13:14:15.42, 17, 0xbeef, Four, mof, ");
}

}  // namespace
