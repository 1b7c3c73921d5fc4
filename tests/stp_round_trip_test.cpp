// Framed records -> the STP file sink (write_trace_data and the STP writer) -> the file ->
// stpdump's decoder: the same records come back, payload for payload.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device_mipi_stp2file.h"
#include "sim/host_path.h"
#include "sim/sim.h"
#include "testing/stp_capture.h"
#include "syst.h"
#include "testing/log_file.h"
#include "testing/trace_record_builder.h"

namespace {

using syst_testing::Bytes;

struct Original {
  std::uint8_t type;
  std::size_t payload_offset;  // in the written buffer, which the walk rewrites in place
  std::size_t payload_length;
  std::string text;
};

TEST(StpRoundTripTest, RandomRecordSetsComeBackUnchanged) {
  std::mt19937_64 random(20261208);
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE(round);
    sim::reset();
    LogFile log;
    std::vector<Bytes> buffers;
    std::vector<std::vector<Original>> originals;
    const int bufferCount = 1 + static_cast<int>(random() % 3);
    for (int b = 0; b < bufferCount; ++b) {
      Bytes buffer;
      std::vector<Original> records;
      const int recordCount = 1 + static_cast<int>(random() % 40);
      for (int r = 0; r < recordCount; ++r) {
        const std::uint8_t types[] = {0, 2, 3};
        const std::uint8_t type = types[random() % 3];
        Bytes payload;
        std::string text;
        if (type == 0) {
          syst_testing::EtwEventFields event;
          for (auto& byte : event.provider) byte = static_cast<std::uint8_t>(random());
          event.event_id = static_cast<std::uint16_t>(random());
          event.level = static_cast<std::uint8_t>(random() % 6);
          event.keywords = random();
          event.process_id = static_cast<std::uint32_t>(random());
          event.thread_id = static_cast<std::uint32_t>(random());
          event.timestamp = static_cast<std::int64_t>(random() % 1'000'000);
          const std::size_t length = random() % 400;
          for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(0x20 + random() % 0x5F));
          payload = syst_testing::EtwPayload(event, text);
        } else {
          payload.resize(1 + random() % 3000);
          for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
        }
        records.push_back({type, buffer.size() + TRACE_RECORD_HEADER_SIZE, payload.size(), text});
        syst_testing::Append(buffer, syst_testing::FrameRecord(type, payload));
      }
      buffers.push_back(std::move(buffer));
      originals.push_back(std::move(records));
    }

    std::filesystem::path path;
    {
      DeviceMipiSTP2File sink;
      ASSERT_EQ(sink.Initialize(u"session"), 0u);
      for (Bytes& buffer : buffers) {
        DWORD written = 0;
        ASSERT_EQ(sink.Write(buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr), 0u);
        ASSERT_EQ(written, buffer.size());
      }
      path = sim::host_path_of(sink.FilePath());
    }
    const auto collector = stp_testing::decode_stp(stp_testing::read_whole_file(path));
    EXPECT_TRUE(collector.losses.empty());
    EXPECT_TRUE(collector.skips.empty());
    EXPECT_EQ(collector.frequency, 10'000'000u);

    std::size_t next = 0;
    for (std::size_t b = 0; b < buffers.size(); ++b) {
      for (const Original& original : originals[b]) {
        ASSERT_LT(next, collector.messages.size());
        const stpdump::Message& message = collector.messages[next++];
        EXPECT_EQ(message.master, 256);
        EXPECT_EQ(message.channel, 32);
        const Bytes expected(buffers[b].begin() + static_cast<std::ptrdiff_t>(original.payload_offset),
                             buffers[b].begin() + static_cast<std::ptrdiff_t>(original.payload_offset +
                                                                              original.payload_length));
        EXPECT_EQ(message.payload, expected);
        if (original.type == 0) {
          ASSERT_EQ(message.cls, stpdump::MessageClass::EtwEvent) << message.reason;
          EXPECT_EQ(message.event.text, original.text);
          EXPECT_EQ(message.event.frequency, 10'000'000u);
          EXPECT_EQ(message.header, 0x0A000046u);
        } else {
          EXPECT_EQ(message.cls, stpdump::MessageClass::RawData);
          EXPECT_EQ(message.header, original.type == 2 ? 0x0B200046u : 0x0C200046u);
        }
      }
    }
    EXPECT_EQ(next, collector.messages.size());
  }
}

// A new session's sink can be written while the previous redirect still drains into its own:
// each file gets exactly its own records, and the first teardown does not take the second
// sink's handles.
TEST(StpRoundTripTest, TwoSinksWrittenAtOnceKeepTheirRecordsApart) {
  sim::reset();
  LogFile log;
  auto first = std::make_unique<DeviceMipiSTP2File>();
  auto second = std::make_unique<DeviceMipiSTP2File>();
  const auto writeMany = [](DeviceMipiSTP2File& sink, std::uint8_t mark, int buffers) {
    for (int b = 0; b < buffers; ++b) {
      Bytes buffer;
      for (int r = 0; r < 50; ++r) syst_testing::Append(buffer, syst_testing::FrameRecord(2, Bytes(40 + r, mark)));
      DWORD written = 0;
      ASSERT_EQ(sink.Write(buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr), 0u);
      ASSERT_EQ(written, buffer.size());
    }
  };
  std::thread a([&] {
    ASSERT_EQ(first->Initialize(u"one"), 0u);
    writeMany(*first, 0xA1, 20);
  });
  std::thread b([&] {
    ASSERT_EQ(second->Initialize(u"two"), 0u);
    writeMany(*second, 0xB2, 20);
    a.join();
    first.reset();
    writeMany(*second, 0xB2, 5);
  });
  b.join();
  second.reset();

  const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
  std::map<std::uint8_t, std::size_t> perMark;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    ++files;
    const auto capture = stp_testing::decode_stp(stp_testing::read_whole_file(entry.path()));
    EXPECT_TRUE(capture.losses.empty());
    EXPECT_TRUE(capture.skips.empty());
    const auto& messages = capture.messages;
    ASSERT_FALSE(messages.empty());
    const std::uint8_t mark = messages.front().payload.at(0);
    for (const auto& message : messages) {
      ASSERT_EQ(message.cls, stpdump::MessageClass::RawData) << message.reason;
      EXPECT_EQ(message.payload, Bytes(message.payload.size(), mark));
    }
    perMark[mark] = messages.size();
  }
  EXPECT_EQ(files, 2u);
  EXPECT_EQ(perMark[0xA1], 20u * 50u);
  EXPECT_EQ(perMark[0xB2], 25u * 50u);
}

}  // namespace
