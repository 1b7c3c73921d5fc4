#include <cstdint>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "output.h"
#include "record_parser.h"
#include "stp_generator.h"
#include "stp_parser.h"
#include "stpdump_app.h"
#include "stream_decoder.h"
#include "trace_record_builder.h"

namespace {

using stp_testing::EtwFields;
using stp_testing::etw_payload;
using stp_testing::StpGenerator;
using namespace stpdump;

constexpr std::uint32_t kEtwHeader = 0x0A000046;
constexpr std::uint32_t kDuxHeader = 0x0B200046;

// Collects what the decoder reports.
struct Collector : ItemSink {
  std::vector<Message> messages;
  std::vector<Loss> losses;
  std::vector<Skip> skips;
  void on_message(const Message& m) override { messages.push_back(m); }
  void on_loss(const Loss& l) override { losses.push_back(l); }
  void on_skip(const Skip& s) override { skips.push_back(s); }
};

struct Decoded {
  Collector items;
  Statistics stats;
};

Decoded decode(const std::vector<std::uint8_t>& bytes, std::size_t chunk = 1 << 20) {
  Decoded result;
  StreamDecoder decoder(result.items);
  StpParser parser(decoder);
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    parser.feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
  }
  parser.finish();
  decoder.finish();
  result.stats = decoder.stats();
  return result;
}

// A stream as the sink writes one: preamble, M16/C16, an ETW event, DUX raw data, a string.
StpGenerator sample_stream(bool odd_start = true) {
  StpGenerator g(odd_start);
  g.async().version().freq(1'000'000).m16(256).c16(32);
  g.message(kEtwHeader, etw_payload({}, "Process started"), 2'000'000);
  g.message(kDuxHeader, {0xDE, 0xAD, 0xBE, 0xEF, 0x01}, 2'500'000);
  g.m16(257).c16(5);
  g.message(0x01000002 | 3u << 4 | 0x123u << 12, {'h', 'e', 'l', 'l', 'o', 0}, 3'000'000);
  return g;
}

void expect_sample(const Decoded& d) {
  ASSERT_EQ(d.items.messages.size(), 3u);
  const Message& etw = d.items.messages[0];
  EXPECT_EQ(etw.cls, MessageClass::EtwEvent);
  EXPECT_EQ(etw.master, 256);
  EXPECT_EQ(etw.channel, 32);
  EXPECT_DOUBLE_EQ(etw.seconds, 2.0);
  EXPECT_EQ(etw.event.text, "Process started");
  EXPECT_EQ(etw.event.id, 42);
  EXPECT_EQ(etw.event.level, 3);
  EXPECT_EQ(etw.event.process_id, 100u);
  EXPECT_EQ(etw.event.thread_id, 200u);
  EXPECT_EQ(etw.event.timestamp, 777u);
  EXPECT_EQ(etw.event.frequency, 10'000'000u);
  EXPECT_EQ(syst::guid_text(etw.event.provider), "{04030201-0605-0807-090A-0B0C0D0E0F10}");
  EXPECT_EQ(d.items.messages[1].cls, MessageClass::RawData);
  EXPECT_EQ(d.items.messages[1].payload, (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF, 0x01}));
  const Message& text = d.items.messages[2];
  EXPECT_EQ(text.cls, MessageClass::String);
  EXPECT_EQ(text.text, "hello");
  EXPECT_EQ(syst_header_severity(text.header), 3u);
  EXPECT_EQ(syst_header_origin(text.header), 0x123u);
  EXPECT_EQ(text.master, 257);
  EXPECT_EQ(text.channel, 5);
}

TEST(StpParserTest, DecodesEveryMessageOfAGeneratedStreamAtBothAlignments) {
  for (bool odd : {true, false}) {
    SCOPED_TRACE(odd);
    const Decoded d = decode(sample_stream(odd).bytes());
    expect_sample(d);
    EXPECT_EQ(d.stats.bytes_skipped, 0u);
  }
}

TEST(StpParserTest, PacketsSplitBetweenChunksAreCompleted) {
  const std::vector<std::uint8_t> bytes = sample_stream().bytes();
  for (std::size_t chunk : {1u, 3u, 7u}) {
    SCOPED_TRACE(chunk);
    expect_sample(decode(bytes, chunk));
  }
}

TEST(StpParserTest, GarbageBeforeTheFirstAsyncIsSkippedAndCounted) {
  for (std::size_t garbage : {1u, 2u, 37u}) {
    std::vector<std::uint8_t> bytes(garbage, 0x5A);
    const std::vector<std::uint8_t> stream = sample_stream().bytes();
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    const Decoded d = decode(bytes);
    SCOPED_TRACE(garbage);
    expect_sample(d);
    ASSERT_EQ(d.items.skips.size(), 1u);
    // The generated stream starts with a NULL nibble before its ASYNC.
    EXPECT_EQ(d.stats.bytes_skipped, garbage + 1);
  }
}

TEST(StpParserTest, BrokenPacketSkipsToTheNextAsyncAndCutsTheOpenMessage) {
  StpGenerator g;
  g.async().freq(1'000'000).m16(256).c16(32);
  g.d32ts(kDuxHeader, 5).d64(1);
  g.nibbles({0xF, 0, 5});  // no such packet
  g.nibbles({1, 2, 3});
  g.async().m16(256).c16(32).message(kDuxHeader, {9, 9}, 6);
  const Decoded d = decode(g.bytes());
  ASSERT_EQ(d.items.messages.size(), 2u);
  EXPECT_EQ(d.items.messages[0].cls, MessageClass::Undecodable);
  EXPECT_EQ(d.items.messages[0].reason, "message cut by skipped input");
  EXPECT_EQ(d.items.messages[0].payload.size(), 8u);
  EXPECT_EQ(d.items.messages[1].payload, (std::vector<std::uint8_t>{9, 9}));
  EXPECT_GT(d.stats.bytes_skipped, 0u);
}

// The last three messages that decoded (a message the cut left open is reported as cut when
// its channel's next message begins, which may come after other channels' messages).
Decoded whole_messages_at_the_end(const Decoded& d) {
  Decoded whole;
  for (const Message& m : d.items.messages) {
    if (m.cls != MessageClass::Undecodable) whole.items.messages.push_back(m);
  }
  if (whole.items.messages.size() > 3) {
    whole.items.messages.erase(whole.items.messages.begin(), whole.items.messages.end() - 3);
  }
  return whole;
}

// A cut capture followed by a whole one, cut at every offset: the packet the cut leaves
// open may swallow the first F nibbles of the next ASYNC, which must still be found, and
// everything of the whole capture decodes.
TEST(StpParserTest, AWholeCaptureAfterACutOneDecodesWhereverTheCutFalls) {
  for (bool odd : {true, false}) {
    const std::vector<std::uint8_t> whole = sample_stream(odd).bytes();
    for (std::size_t cut = 1; cut < whole.size(); ++cut) {
      SCOPED_TRACE(::testing::Message() << "odd " << odd << ", cut after " << cut << " bytes");
      std::vector<std::uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
      bytes.insert(bytes.end(), whole.begin(), whole.end());
      for (std::size_t chunk : {bytes.size(), std::size_t{5}}) {
        const Decoded d = decode(bytes, chunk);
        expect_sample(whole_messages_at_the_end(d));
      }
    }
  }
}

TEST(StpParserTest, AWholeCaptureAfterAFewGarbageBytesDecodes) {
  for (std::uint8_t garbage : {0x00, 0x07, 0x70, 0x7F, 0xF7, 0xFF, 0x4F, 0xF4, 0x1F, 0x6F}) {
    for (std::size_t count = 1; count <= 3; ++count) {
      SCOPED_TRACE(::testing::Message() << count << " bytes of " << int{garbage});
      std::vector<std::uint8_t> bytes = sample_stream(false).bytes();
      bytes.insert(bytes.end(), count, garbage);
      const std::vector<std::uint8_t> whole = sample_stream(false).bytes();
      bytes.insert(bytes.end(), whole.begin(), whole.end());
      const Decoded d = decode(bytes);
      expect_sample(whole_messages_at_the_end(d));
    }
  }
}

TEST(StpParserTest, RelativeTimestampsReplaceOnlyTheirNibbles) {
  StpGenerator g;
  g.async().freq(16).m16(256).c16(32).message(kDuxHeader, {1}, 0x1234);
  g.nibbles({0xF, 6}).value(kDuxHeader, 8).nibbles({1, 0xF}).d8(2).flag();  // ts 0x123F
  g.nibbles({0xF, 6}).value(kDuxHeader, 8).nibbles({0}).d8(3).flag();       // same
  const Decoded d = decode(g.bytes());
  ASSERT_EQ(d.items.messages.size(), 3u);
  EXPECT_EQ(d.items.messages[1].ticks, 0x123Fu);
  EXPECT_EQ(d.items.messages[2].ticks, 0x123Fu);
  EXPECT_DOUBLE_EQ(d.items.messages[1].seconds, 0x123F / 16.0);
}

TEST(StreamDecoderTest, UndecodableMessagesAreShownWithTheirReason) {
  StpGenerator g;
  g.async().freq(1000).m16(256).c16(32);
  std::vector<std::uint8_t> badMarker = etw_payload({}, "x");
  badMarker[2] = 0;
  g.message(kEtwHeader, badMarker, 1);
  g.message(kEtwHeader, {1, 2, 3}, 2);
  g.message(0x00000047, {4}, 3);            // type 7
  g.d32ts(kDuxHeader, 4).d8(5);             // no flag before the next header
  g.message(kDuxHeader, {6}, 5);
  g.d16(0xBEEF).d8(0x01).d64(0x0807060504030202);  // outside any message: one report
  const Decoded d = decode(g.bytes());
  std::vector<std::string> reasons;
  for (const Message& m : d.items.messages) reasons.push_back(m.reason);
  EXPECT_THAT(reasons, ::testing::ElementsAre("ETW payload marker is not 0xED01", "ETW payload shorter than 99 bytes",
                                              "SyS-T message type 7 is not decoded", "message not ended by FLAG", "",
                                              "data store outside a message"));
  EXPECT_EQ(d.stats.undecodable, 5u);
  EXPECT_EQ(d.items.messages[0].payload.size(), badMarker.size());
  EXPECT_THAT(d.items.messages.back().payload, ::testing::ElementsAre(0xEF, 0xBE, 1, 2, 2, 3, 4, 5, 6, 7, 8));
}

TEST(StreamDecoderTest, SkipResumeNoticesAndRealTimeLossAreReportedWithTheirRange) {
  StpGenerator g;
  g.async().freq(1000).m16(256).c16(32);
  g.message(kEtwHeader, etw_payload({}, "before"), 1000);
  g.message(kEtwHeader,
            etw_payload({}, ">>>>>>>WARNING::[MAX MEMORY REACHED] Conduit Max memory exceeded , Traces will be "
                           "skipped >>>>>>>>>>>>>>>>>>>>>>"),
            2000);
  g.message(kEtwHeader, etw_payload({}, ">>>>>>>WARNING::[MAX MEMORY REACHED] Resuming Traces . >>>>>>>>>>>>>>>>>>>>>> "),
            5000);
  EtwFields lost;
  const std::uint8_t rtLost[16] = {0xE0, 0x9A, 0x39, 0x6A, 0xC6, 0x4B, 0xE9, 0x4D,
                                   0x87, 0x0B, 0x36, 0x57, 0xF8, 0x94, 0x7E, 0x7E};
  std::copy(rtLost, rtLost + 16, lost.provider);
  lost.opcode = 32;
  g.message(kEtwHeader, etw_payload(lost, "RTLostEvent"), 7000);
  g.message(kEtwHeader, etw_payload({}, ">>>>>>>WARNING::[MAX MEMORY REACHED] Conduit Max memory exceeded , x"), 8000);
  g.message(kEtwHeader, etw_payload({}, "last"), 9000);
  const Decoded d = decode(g.bytes());
  ASSERT_EQ(d.items.losses.size(), 3u);
  EXPECT_EQ(d.items.losses[0].what, "redirect skipped events (memory cap)");
  EXPECT_DOUBLE_EQ(d.items.losses[0].from_seconds, 2.0);
  EXPECT_DOUBLE_EQ(d.items.losses[0].to_seconds, 5.0);
  EXPECT_EQ(d.items.losses[1].what, "ETW lost events");
  EXPECT_DOUBLE_EQ(d.items.losses[1].from_seconds, 5.0);
  EXPECT_DOUBLE_EQ(d.items.losses[1].to_seconds, 7.0);
  EXPECT_THAT(d.items.losses[2].what, ::testing::HasSubstr("no resume notice"));
  EXPECT_DOUBLE_EQ(d.items.losses[2].from_seconds, 8.0);
  EXPECT_DOUBLE_EQ(d.items.losses[2].to_seconds, 9.0);
  EXPECT_EQ(d.stats.loss_notices, 3u);
}

TEST(StreamDecoderTest, OverlongMessagesStayBounded) {
  StpGenerator g;
  g.async().m16(256).c16(32).d32ts(kDuxHeader, 1);
  for (std::size_t i = 0; i < StreamDecoder::kMaxMessageBytes / 8 + 10; ++i) g.d64(i);
  g.flag();
  const Decoded d = decode(g.bytes());
  ASSERT_EQ(d.items.messages.size(), 1u);
  EXPECT_EQ(d.items.messages[0].reason, "message longer than 131072 bytes");
  EXPECT_LE(d.items.messages[0].payload.size(), StreamDecoder::kMaxMessageBytes);
}

// A plain record file: two ETW records around a DUX record, garbage between frames and a
// frame cut at the end, read in chunks that split frames anywhere.
std::vector<std::uint8_t> sample_record_file() {
  syst_testing::Bytes file;
  syst_testing::Append(file, syst_testing::FrameRecord(TRACE_RECORD_TYPE_ETW, syst_testing::EtwPayload({}, "first")));
  syst_testing::Append(file, {0x01, 0x02, 0xBF, 0x03});
  syst_testing::Append(file, syst_testing::FrameRecord(TRACE_RECORD_TYPE_DUX, {0xCA, 0xFE}));
  syst_testing::Append(file, syst_testing::FrameRecord(TRACE_RECORD_TYPE_ETW, syst_testing::EtwPayload({}, "second")));
  const syst_testing::Bytes cut = syst_testing::FrameRecord(TRACE_RECORD_TYPE_ETW, syst_testing::EtwPayload({}, "cut"));
  file.insert(file.end(), cut.begin(), cut.begin() + 20);
  return file;
}

TEST(RecordParserTest, DecodesWholeFramesAndReportsWhatIsNot) {
  const std::vector<std::uint8_t> file = sample_record_file();
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, file.size()}) {
    Collector items;
    StreamDecoder decoder(items);
    RecordParser parser(decoder);
    for (std::size_t at = 0; at < file.size(); at += chunk) parser.feed(file.data() + at, std::min(chunk, file.size() - at));
    parser.finish();
    decoder.finish();
    ASSERT_EQ(items.messages.size(), 3u) << "chunk " << chunk;
    EXPECT_EQ(items.messages[0].event.text, "first");
    EXPECT_EQ(items.messages[0].event.process_id, 1234u);
    EXPECT_TRUE(items.messages[0].framed_record);
    EXPECT_EQ(items.messages[1].cls, MessageClass::RawData);
    EXPECT_EQ(syst_header_subtype(items.messages[1].header), SYST_SUBTYPE_RAW_DUX);
    EXPECT_EQ(items.messages[1].payload, (std::vector<std::uint8_t>{0xCA, 0xFE}));
    EXPECT_EQ(items.messages[2].event.text, "second");
    const std::size_t first = TRACE_RECORD_HEADER_SIZE + ETW_PAYLOAD_TEXT_OFFSET + 6;
    std::uint64_t skipped = 0;
    for (const Skip& skip : items.skips) skipped += skip.bytes;
    EXPECT_EQ(skipped, 4u + 20u) << "chunk " << chunk;
    EXPECT_EQ(items.skips.front().byte_offset, first);
    EXPECT_EQ(items.skips.back().reason, "frame cut at the end of the file");
  }
}

class StpdumpAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("stpdump_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
    std::vector<std::uint8_t> bytes = {0x12, 0x34, 0x56};  // garbage first
    const std::vector<std::uint8_t> stream = sample_stream().bytes();
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
  }
  void TearDown() override { std::filesystem::remove(path_); }

  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "stpdump");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    out_.str("");
    err_.str("");
    return run_stpdump(static_cast<int>(argv.size()), argv.data(), out_, err_);
  }

  std::filesystem::path path_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(StpdumpAppTest, TextAndJsonShowEveryMessageAfterGarbage) {
  ASSERT_EQ(run({path_.string()}), 0);
  const std::string text = out_.str();
  EXPECT_THAT(text, ::testing::HasSubstr("SKIPPED 4 bytes at offset 0 (before the first ASYNC)"));
  EXPECT_THAT(text, ::testing::HasSubstr("[2.000000000] M256/C32 ETW {04030201-0605-0807-090A-0B0C0D0E0F10} id=42"));
  EXPECT_THAT(text, ::testing::HasSubstr("\"Process started\""));
  EXPECT_THAT(text, ::testing::HasSubstr("RAW subtype=11 length=5 hex=deadbeef01"));
  EXPECT_THAT(text, ::testing::HasSubstr("M257/C5 STRING severity=3 component=0x123 \"hello\""));
  EXPECT_THAT(err_.str(), ::testing::HasSubstr("stpdump: 3 messages (1 events, 1 raw, 1 strings, 0 undecodable), "
                                               "4 bytes skipped, 0 loss notices"));

  ASSERT_EQ(run({path_.string(), "--json"}), 0);
  std::istringstream lines(out_.str());
  std::vector<nlohmann::json> objects;
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(objects.size(), 4u);
  EXPECT_EQ(objects[0]["kind"], "skipped");
  EXPECT_EQ(objects[1]["kind"], "etw");
  EXPECT_EQ(objects[1]["text"], "Process started");
  EXPECT_EQ(objects[1]["process_id"], 100);
  EXPECT_EQ(objects[3]["component"], 0x123);
}

TEST_F(StpdumpAppTest, ChromeTimelineIsJsonWithOneEventPerMessage) {
  ASSERT_EQ(run({path_.string(), "--format", "chrome"}), 0);
  const nlohmann::json whole = nlohmann::json::parse(out_.str());
  ASSERT_TRUE(whole.is_array());
  // The garbage before the first ASYNC shows as skipped input first.
  ASSERT_EQ(whole.size(), 4u);
  EXPECT_EQ(whole[0]["cat"], "skipped");
  EXPECT_EQ(whole[0]["args"]["bytes"], 4);
  const nlohmann::json document(whole.begin() + 1, whole.end());
  EXPECT_EQ(document[0]["ph"], "i");
  EXPECT_EQ(document[0]["s"], "t");
  EXPECT_DOUBLE_EQ(document[0]["ts"].get<double>(), 2'000'000.0);
  EXPECT_EQ(document[0]["pid"], 100);
  EXPECT_EQ(document[0]["tid"], 200);
  EXPECT_EQ(document[0]["args"]["text"], "Process started");
}

TEST_F(StpdumpAppTest, ChromeTimelineShowsSkippedInputWithItsByteRange) {
  std::vector<std::uint8_t> bytes = sample_stream().bytes();
  bytes.insert(bytes.end(), {0x5A, 0x5A, 0x5A});
  const std::vector<std::uint8_t> more = sample_stream().bytes();
  bytes.insert(bytes.end(), more.begin(), more.end());
  std::ofstream(path_, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_EQ(run({path_.string(), "--format", "chrome"}), 0);
  const nlohmann::json document = nlohmann::json::parse(out_.str());
  std::vector<nlohmann::json> skipped;
  for (const auto& event : document) {
    if (event["cat"] == "skipped") skipped.push_back(event);
  }
  ASSERT_EQ(skipped.size(), 1u) << out_.str();
  EXPECT_EQ(skipped[0]["ph"], "i");
  EXPECT_DOUBLE_EQ(skipped[0]["ts"].get<double>(), 3'000'000.0);  // where the last message before it was
  EXPECT_GT(skipped[0]["args"]["bytes"].get<std::uint64_t>(), 0u);
  EXPECT_EQ(skipped[0]["args"]["to_offset"].get<std::uint64_t>() - skipped[0]["args"]["from_offset"].get<std::uint64_t>(),
            skipped[0]["args"]["bytes"].get<std::uint64_t>());
}

TEST_F(StpdumpAppTest, StatsAndFilters) {
  ASSERT_EQ(run({path_.string(), "--stats"}), 0);
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("etw: 1\nraw subtype 11: 1\nstring: 1\n"));
  ASSERT_EQ(run({path_.string(), "--json", "--provider", "{04030201-0605-0807-090A-0B0C0D0E0F10}"}), 0);
  const std::string filtered = out_.str();
  EXPECT_EQ(std::count(filtered.begin(), filtered.end(), '\n'), 2);  // the skip and the event
  ASSERT_EQ(run({path_.string(), "--json", "--master", "257"}), 0);
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("\"hello\""));
  EXPECT_THAT(out_.str(), ::testing::Not(::testing::HasSubstr("Process started")));
  ASSERT_EQ(run({path_.string(), "--json", "--level", "2"}), 0);
  EXPECT_THAT(out_.str(), ::testing::Not(::testing::HasSubstr("Process started")));
}

TEST_F(StpdumpAppTest, StatisticsCountWhatTheFiltersPass) {
  ASSERT_EQ(run({path_.string(), "--stats", "--provider", "{04030201-0605-0807-090A-0B0C0D0E0F10}"}), 0);
  EXPECT_THAT(out_.str(), ::testing::StartsWith("etw: 1\nstpdump: 1 of 3 messages pass the filters\n"));
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("stpdump: 3 messages (1 events, 1 raw, 1 strings"));
  ASSERT_EQ(run({path_.string(), "--stats", "--master", "257"}), 0);
  EXPECT_THAT(out_.str(), ::testing::StartsWith("string: 1\nstpdump: 1 of 3 messages pass the filters\n"));
}

TEST_F(StpdumpAppTest, AnInterruptedFollowDoesNotCallTheUnwrittenEndDamage) {
  // The capture as a live sink leaves it between two writes: a message open, a packet half
  // written.
  std::vector<std::uint8_t> bytes = sample_stream(false).bytes();
  const std::vector<std::uint8_t> open =
      StpGenerator(false).m16(256).c16(32).d32ts(kDuxHeader, 4'000'000).d64(0x1122334455667788).bytes();
  bytes.insert(bytes.end(), open.begin(), open.end() - 3);
  std::ofstream(path_, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  auto running = std::async(std::launch::async, [this] { return run({path_.string(), "--follow"}); });
  do {
    request_stop();
  } while (running.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready);
  EXPECT_EQ(running.get(), 0);
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("\"Process started\""));
  EXPECT_THAT(out_.str(), ::testing::Not(::testing::HasSubstr("SKIPPED")));
  EXPECT_THAT(out_.str(), ::testing::Not(::testing::HasSubstr("UNDECODED")));
  // The D64 packet is 17 nibbles: 3 bytes short leaves 11 of them, in 6 bytes.
  EXPECT_THAT(err_.str(), ::testing::HasSubstr("interrupted: 1 unfinished message(s) and 6 byte(s) of an unfinished "
                                               "packet not decoded"));
}

TEST_F(StpdumpAppTest, ChromeTimelineOfARecordFileUsesTheEventTimeStamps) {
  syst_testing::Bytes file;
  syst_testing::EtwEventFields first;
  first.timestamp = 20'000'000;
  syst_testing::EtwEventFields second;
  second.timestamp = 25'000'000;
  syst_testing::Append(file, syst_testing::FrameRecord(TRACE_RECORD_TYPE_ETW, syst_testing::EtwPayload(first, "a")));
  syst_testing::Append(file, syst_testing::FrameRecord(TRACE_RECORD_TYPE_ETW, syst_testing::EtwPayload(second, "b")));
  std::ofstream(path_, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  const auto times = [this](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {path_.string(), "--format", "chrome"});
    EXPECT_EQ(run(arguments), 0);
    const nlohmann::json document = nlohmann::json::parse(out_.str());
    std::vector<double> ts;
    for (const auto& event : document) {
      if (event["ph"] == "M") {
        EXPECT_EQ(event["args"]["frequency_hz"], arguments.size() == 3 ? 10'000'000u : 1'000u);
      } else {
        ts.push_back(event["ts"].get<double>());
      }
    }
    EXPECT_EQ(document[0]["ph"], "M");  // the clock is said before any event
    return ts;
  };
  EXPECT_THAT(times({}), ::testing::ElementsAre(2'000'000.0, 2'500'000.0));  // 10 MHz unless told
  EXPECT_THAT(times({"--frequency", "1000"}), ::testing::ElementsAre(20'000'000'000.0, 25'000'000'000.0));
}

TEST_F(StpdumpAppTest, FollowDecodesWhatIsAppendedUntilStopped) {
  const std::vector<std::uint8_t> more =
      StpGenerator(false).m16(256).c16(32).message(kDuxHeader, {0xAB, 0xCD}, 4'000'000).bytes();
  auto running = std::async(std::launch::async, [this] { return run({path_.string(), "--follow"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::ofstream(path_, std::ios::binary | std::ios::app)
      .write(reinterpret_cast<const char*>(more.data()), static_cast<std::streamsize>(more.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  // Asked until it ends: a request made before the run started would have been forgotten.
  do {
    request_stop();
  } while (running.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready);
  EXPECT_EQ(running.get(), 0);
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("\"Process started\""));
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("RAW subtype=11 length=2 hex=abcd"));
}

TEST_F(StpdumpAppTest, APlainRecordFileIsRecognisedByItsFirstFrame) {
  const std::vector<std::uint8_t> file = sample_record_file();
  std::ofstream(path_, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  ASSERT_EQ(run({path_.string()}), 0);
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("[record at 0] ETW {44332211-6655-8877-99AA-BBCCDDEEF001} id=7"));
  EXPECT_THAT(out_.str(), ::testing::HasSubstr("\"second\""));
  EXPECT_THAT(err_.str(), ::testing::HasSubstr("3 messages (2 events, 1 raw"));
}

TEST_F(StpdumpAppTest, UsageAndInputErrorsExitNonZero) {
  EXPECT_EQ(run({"/nonexistent/capture.bin"}), 1);
  EXPECT_THAT(err_.str(), ::testing::HasSubstr("cannot open"));
  EXPECT_EQ(run({path_.parent_path().string()}), 1);
  EXPECT_THAT(err_.str(), ::testing::HasSubstr("is a directory, not a capture"));
  const std::string text = "hello, this is no capture\n";
  std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
  EXPECT_EQ(run({path_.string()}), 1);
  EXPECT_THAT(err_.str(), ::testing::HasSubstr("is not a capture: no STP ASYNC and it does not begin with a record "
                                               "frame in its " + std::to_string(text.size()) + " bytes"));
  EXPECT_EQ(run({path_.string(), "--provider", "nonsense"}), 2);
  EXPECT_EQ(run({path_.string(), "--format", "xml"}), 2);
  EXPECT_EQ(run({}), 2);
}

}  // namespace
