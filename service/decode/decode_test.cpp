#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/log_file.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "tdh_parser.h"
#include "testing/event_record_builder.h"
#include "trace_parsers.h"
#include "txr_public.h"

namespace {

using decode_testing::EventRecordBuilder;
using decode_testing::MakeField;
using decode_testing::OneEventProvider;
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

TEST_P(Decoder, HexInt32OutputRendersUpperCaseAndProviderNameLeads) {
  auto provider = OneEventProvider("Demo", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("Code", in::UInt32, out::HexInt32), MakeField("Count", in::UInt32),
                                    MakeField("On", in::Boolean), MakeField("Small", in::Int8)},
                                   "code %1 count %2 %3 %4 [%5]");
  EventRecordBuilder builder(provider);
  builder.Value<std::uint32_t>(255).Value<std::uint32_t>(255).Value<std::uint32_t>(1).Value<std::int8_t>(-3);
  EXPECT_EQ(TextOf(Decode(provider, builder)), "Demo-->code 0xFF count 255 true -3 []");
}

TEST_P(Decoder, SignedAnd64BitIntegersKeepTheirSignAndUpperCaseHexadecimalDigits) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("A", in::Int64), MakeField("B", in::UInt64, out::HexInt64),
                                    MakeField("C", in::HexInt64), MakeField("D", in::Int16),
                                    MakeField("E", in::UInt16, out::HexInt16), MakeField("F", in::UInt64)},
                                   "%1 %2 %3 %4 %5 %6");
  EventRecordBuilder builder(provider);
  builder.Value<std::int64_t>(-5).Value<std::uint64_t>(0xDEADBEEFCAFEull).Value<std::uint64_t>(0x10);
  builder.Value<std::int16_t>(-300).Value<std::uint16_t>(0xAB).Value<std::uint64_t>(18446744073709551615ull);
  EXPECT_EQ(TextOf(Decode(provider, builder)), "-5 0xDEADBEEFCAFE 0x10 -300 0xAB 18446744073709551615");
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

TEST_P(Decoder, ValueMapGivesTheEntryText) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile, {}, "state %1");
  etw::Field state = MakeField("State", in::UInt32);
  state.map = "StateMap";
  provider.templates.push_back(etw::Template{"T1", {state}});
  provider.events[0].template_id = "T1";
  provider.maps.push_back(etw::ValueMap{"StateMap", false, {{1, "Running"}, {2, "Stopped"}}});
  EventRecordBuilder builder(provider);
  builder.Value<std::uint32_t>(2);
  EXPECT_EQ(TextOf(Decode(provider, builder)), "state Stopped");
}

TEST_P(Decoder, FixedSizePropertyCutShortFailsTheEvent) {
  auto provider = OneEventProvider("Cut", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("A", in::UInt32), MakeField("B", in::UInt64)}, "%1 %2");
  EventRecordBuilder builder(provider);
  builder.Value<std::uint32_t>(1).Value<std::uint16_t>(2);
  EXPECT_EQ(Decode(provider, builder), "");
  EXPECT_TRUE(log_->Contains("DecodeETWEvent  Failed"));
}

TEST_P(Decoder, TimesRenderAsUtcIso8601) {
  auto provider = OneEventProvider("", kManifestGuid, etw::DecodingSource::XmlFile,
                                   {MakeField("F", in::FileTime), MakeField("S", in::SystemTime)}, "%1 %2");
  EventRecordBuilder builder(provider);
  // 2024-02-29 13:14:15 UTC and 1234567 ticks.
  builder.Value<std::uint64_t>(133536860550000000ull + 1234567);
  for (std::uint16_t field : {2024, 2, 4, 29, 13, 14, 15, 250}) builder.Value(field);
  const std::string text = TextOf(Decode(provider, builder));
  if (GetParam()) {
    EXPECT_EQ(text, "2024-02-29T13:14:15.123456700Z 2024-02-29T13:14:15.250Z");
  } else {
    EXPECT_EQ(text, "2024-02-29T13:14:15.1234567Z 2024-02-29T13:14:15.250Z");
  }
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
