#include "syst.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>

#include "sim/sim.h"
#include "testing/log_file.h"
#include "testing/trace_record_builder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using syst_testing::Bytes;
using syst_testing::FrameRecord;

// One store as the channel would see it: its operation and value.
struct Store {
  std::string op;
  std::uint64_t value;
  bool operator==(const Store& other) const { return op == other.op && value == other.value; }
};
std::ostream& operator<<(std::ostream& out, const Store& store) {
  return out << store.op << "(" << std::hex << store.value << ")";
}

std::vector<Store> g_stores;
void D32ts(systhandle*, std::uint32_t v) { g_stores.push_back({"d32ts", v}); }
void D32mts(systhandle*, std::uint32_t v) { g_stores.push_back({"d32mts", v}); }
void D64mts(systhandle*, std::uint64_t v) { g_stores.push_back({"d64mts", v}); }
void D8(systhandle*, std::uint8_t v) { g_stores.push_back({"d8", v}); }
void D16(systhandle*, std::uint16_t v) { g_stores.push_back({"d16", v}); }
void D32(systhandle*, std::uint32_t v) { g_stores.push_back({"d32", v}); }
void D64(systhandle*, std::uint64_t v) { g_stores.push_back({"d64", v}); }
void Flag(systhandle*) { g_stores.push_back({"flag", 0}); }

class SystEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
    g_stores.clear();
  }
  void TearDown() override {
    for (std::uint32_t type = 0; type < TRACE_RECORD_TYPE_COUNT; ++type) release_mipisyst_handles(type);
  }

  // Creates the handles of the types and points their stores at the recorder.
  void CreateRecordingHandles(std::initializer_list<std::uint32_t> types) {
    for (std::uint32_t type : types) {
      ASSERT_EQ(init_mipisyst_handle(&sink_, type), 0u);
      mipi_syst_header* header = get_systhandle(type, 0)->header;
      header->out_d32ts = &D32ts;
      header->out_d32mts = &D32mts;
      header->out_d64mts = &D64mts;
      header->out_d8 = &D8;
      header->out_d16 = &D16;
      header->out_d32 = &D32;
      header->out_d64 = &D64;
      header->out_flag = &Flag;
      header->out_d64_run = nullptr;  // every 64-bit store one by one, as the channel sees them
    }
  }

  std::vector<std::uint64_t> HeaderStores() const {
    std::vector<std::uint64_t> headers;
    for (const Store& store : g_stores) {
      if (store.op == "d32ts") headers.push_back(store.value);
    }
    return headers;
  }

  int sink_ = 0;
  std::unique_ptr<LogFile> log_;
};

Bytes Payload(std::size_t size, std::uint8_t first = 1) {
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(first + i);
  return payload;
}

TEST_F(SystEncoderTest, ThirteenBytePayloadIsOne64One32AndOne8BitStore) {
  CreateRecordingHandles({2});
  const Bytes payload = Payload(13);
  write_raw_message(get_systhandle(2, 0), SYST_SEVERITY_INFO, SYST_SUBTYPE_RAW_DUX, payload.data(), payload.size());
  EXPECT_THAT(g_stores, ElementsAre(Store{"d32ts", 0x0B200046}, Store{"d64", 0x0807060504030201ull},
                                    Store{"d32", 0x0C0B0A09}, Store{"d8", 0x0D}, Store{"flag", 0}));
}

TEST_F(SystEncoderTest, RecordTypesGetTheirHeaderWords) {
  CreateRecordingHandles({0, 1, 2, 3});
  Bytes buffer = FrameRecord(0, syst_testing::EtwPayload({}, "hello"));
  syst_testing::Append(buffer, FrameRecord(2, Payload(6)));
  syst_testing::Append(buffer, FrameRecord(3, Payload(2)));
  EXPECT_EQ(write_trace_data(buffer.data(), buffer.size()), 0u);
  EXPECT_THAT(HeaderStores(), ElementsAre(0x0A000046u, 0x0B200046u, 0x0C200046u));
}

TEST_F(SystEncoderTest, EtwRecordGetsItsAgeAndTheFrequency) {
  sim::set_performance_frequency(3'000'000);
  CreateRecordingHandles({0});
  syst_testing::EtwEventFields event;
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  event.timestamp = now.QuadPart - 5000;
  Bytes buffer = FrameRecord(0, syst_testing::EtwPayload(event, "text"));
  ASSERT_EQ(write_trace_data(buffer.data(), buffer.size()), 0u);
  const std::uint8_t* payload = buffer.data() + TRACE_RECORD_HEADER_SIZE;
  const auto age = syst_testing::GetLe<std::uint64_t>(payload + ETW_PAYLOAD_TIMESTAMP_OFFSET);
  EXPECT_GE(age, 5000u);
  EXPECT_LT(age, 5000u + 3'000'000u);
  EXPECT_EQ(syst_testing::GetLe<std::uint64_t>(payload + ETW_PAYLOAD_FREQUENCY_OFFSET), 3'000'000u);
}

TEST_F(SystEncoderTest, WalkEndsAtABrokenRecordAndKeepsWhatCameBefore) {
  CreateRecordingHandles({0, 1, 2, 3});
  const Bytes good = FrameRecord(2, Payload(4));
  struct Case {
    const char* what;
    Bytes broken;
  };
  Bytes badMagic = good;
  badMagic[0] = 0xBE;
  Bytes shortEtw = FrameRecord(0, syst_testing::EtwPayload({}, ""));
  syst_testing::PutLe<std::uint16_t>(shortEtw, TRACE_RECORD_HEADER_SIZE, 98);
  Bytes badMarker = FrameRecord(0, syst_testing::EtwPayload({}, "x"));
  badMarker[TRACE_RECORD_HEADER_SIZE + 2] = 0;
  Bytes zeroLength = good;
  syst_testing::PutLe<std::uint64_t>(zeroLength, 2, 0);
  Bytes zeroPayload = good;
  syst_testing::PutLe<std::uint16_t>(zeroPayload, 11, 0);
  Bytes typeFive = good;
  typeFive[10] = 5;
  Bytes overrun = good;
  syst_testing::PutLe<std::uint64_t>(overrun, 2, 3 + 4 + 100);
  Bytes hugeLength = good;
  syst_testing::PutLe<std::uint64_t>(hugeLength, 2, ~std::uint64_t{0});
  Bytes payloadBeyondRecord = good;
  syst_testing::PutLe<std::uint16_t>(payloadBeyondRecord, 11, 5);
  const Case cases[] = {{"magic", badMagic},          {"etw size 98", shortEtw},
                        {"etw marker", badMarker},    {"record length 0", zeroLength},
                        {"payload length 0", zeroPayload}, {"type 5", typeFive},
                        {"type 1", FrameRecord(1, Payload(4))}, {"type 4", FrameRecord(4, Payload(4))},
                        {"record length beyond the end", overrun}, {"length near 2^64", hugeLength},
                        {"payload longer than its record", payloadBeyondRecord},
                        {"truncated frame", Bytes(good.begin(), good.begin() + 12)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_stores.clear();
    Bytes buffer = good;
    syst_testing::Append(buffer, c.broken);
    syst_testing::Append(buffer, good);
    EXPECT_EQ(write_trace_data(buffer.data(), buffer.size()), 161u);
    EXPECT_THAT(HeaderStores(), ElementsAre(0x0B200046u));
  }
  EXPECT_EQ(write_trace_data(nullptr, 10), 161u);
}

TEST_F(SystEncoderTest, RecordWithoutAHandleIsSkippedLoggedOncePerBufferAndReported) {
  CreateRecordingHandles({2});
  Bytes buffer = FrameRecord(3, Payload(4));
  syst_testing::Append(buffer, FrameRecord(2, Payload(4)));
  syst_testing::Append(buffer, FrameRecord(3, Payload(4)));
  EXPECT_EQ(write_trace_data(buffer.data(), buffer.size()), 6u);
  EXPECT_THAT(HeaderStores(), ElementsAre(0x0B200046u));
  EXPECT_EQ(log_->Count("write_trace_data:: systhandle NULL"), 1u);
  // Once per buffer: the next buffer logs it again.
  EXPECT_EQ(write_trace_data(buffer.data(), buffer.size()), 6u);
  EXPECT_EQ(log_->Count("write_trace_data:: systhandle NULL"), 2u);
}

TEST_F(SystEncoderTest, CreationRulesAndFailures) {
  EXPECT_EQ(init_mipisyst_handle(nullptr, 0), 87u);
  EXPECT_EQ(init_mipisyst_handle(&sink_, 5), 87u);
  EXPECT_EQ(init_mipisyst_handle(&sink_, 4, 0), 87u);
  EXPECT_EQ(init_mipisyst_handle(&sink_, 4, 129), 87u);
  EXPECT_TRUE(log_->Contains("init_mipisyst_handle::Invaid parameter"));

  ASSERT_EQ(init_mipisyst_handle(&sink_, 4, 128), 0u);
  EXPECT_NE(get_systhandle(4, 127), nullptr);
  EXPECT_EQ(get_systhandle(4, 128), nullptr);
  EXPECT_EQ(get_systhandle(5, 0), nullptr);
  EXPECT_EQ(get_systhandle(4, 0)->tag, 0u);

  ASSERT_EQ(init_mipisyst_handle(&sink_, 1), 0u);
  systhandle* first = get_systhandle(1, 0);
  EXPECT_EQ(first->tag, 0x200u << 12);
  int other = 0;
  EXPECT_EQ(init_mipisyst_handle(&other, 1), 0u);
  EXPECT_EQ(get_systhandle(1, 0), first);
  EXPECT_EQ(first->header->user_handle->sink, &sink_);
  EXPECT_TRUE(log_->Contains("init_mipisyst_handle :: handle already allocated"));

  sim::fail_next("HeapAlloc", 1, 8);
  EXPECT_EQ(init_mipisyst_handle(&sink_, 0), 87u);
  EXPECT_EQ(get_systhandle(0, 0), nullptr);
  EXPECT_TRUE(log_->Contains("init_mipisyst_handle::Memory allocation failed for mipi_syst_header"));
  EXPECT_EQ(init_mipisyst_handle(&sink_, 0), 0u);

  release_mipisyst_handles(4);
  EXPECT_EQ(get_systhandle(4, 0), nullptr);
  release_mipisyst_handles(7);  // ignored
}

TEST_F(SystEncoderTest, NullDebugStringIsWrittenAsNullWithSubtypeFive) {
  CreateRecordingHandles({4});
  write_debug_string(get_systhandle(4, 0), SYST_SUBTYPE_STRING_GENERIC, 3, 0, nullptr);
  EXPECT_THAT(g_stores, ElementsAre(Store{"d32ts", 0x05000032}, Store{"d32", 0x6C756E28}, Store{"d16", 0x296C},
                                    Store{"d8", 0}, Store{"flag", 0}));
  g_stores.clear();
  get_systhandle(4, 0)->tag = 0x123u << 12;
  write_debug_string(get_systhandle(4, 0), SYST_SUBTYPE_STRING_GENERIC, 2, 2, "hi");
  EXPECT_THAT(g_stores, ElementsAre(Store{"d32ts", 0x01123022}, Store{"d16", 0x6968}, Store{"flag", 0}));
}

TEST_F(SystEncoderTest, HandleWithoutSinkWritesNothing) {
  CreateRecordingHandles({2});
  get_systhandle(2, 0)->header->user_handle->sink = nullptr;
  const Bytes payload = Payload(8);
  write_raw_message(get_systhandle(2, 0), 4, 11, payload.data(), payload.size());
  write_raw_message(nullptr, 4, 11, payload.data(), payload.size());
  EXPECT_TRUE(g_stores.empty());
}

}  // namespace
