#include "stp_writer.h"

#include <cstdint>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::uint8_t> g_output;
std::vector<std::size_t> g_runs;
std::uint64_t g_clock = 0;

void Capture(const std::uint8_t* bytes, std::size_t count) {
  g_output.insert(g_output.end(), bytes, bytes + count);
  g_runs.push_back(count);
}
std::uint64_t Clock() { return g_clock; }

// The stream as nibbles, in the order they were written (low half of each byte first).
std::vector<int> Nibbles(const std::vector<std::uint8_t>& bytes, std::size_t from = 0) {
  std::vector<int> nibbles;
  for (std::size_t i = from; i < bytes.size(); ++i) {
    nibbles.push_back(bytes[i] & 0xF);
    nibbles.push_back(bytes[i] >> 4);
  }
  return nibbles;
}

class StpWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_output.clear();
    g_runs.clear();
    g_clock = 1000;
    writer_ = std::make_unique<StpWriter>();
    writer_->frequency = 0x0123456789ABCDEFull;
    writer_->base_time = 1000;
    writer_->read_clock = &Clock;
    writer_->output = &Capture;
  }

  // Writes the preamble, drains it and forgets it, so a test sees only what follows.
  void StartStream() {
    writer_->Preamble();
    writer_->Drain();
    g_output.clear();
  }

  std::unique_ptr<StpWriter> writer_;
};

TEST_F(StpWriterTest, FreshStreamStartsWithNullAsyncVersionAndFrequency) {
  writer_->Preamble();
  writer_->Flush();
  std::vector<std::uint8_t> expected = {0xF0};
  expected.insert(expected.end(), 10, 0xFF);
  for (std::uint8_t b : {0xF0, 0x00, 0xF3, 0x80, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}) {
    expected.push_back(b);
  }
  EXPECT_THAT(g_output, ElementsAreArray(expected));
}

TEST_F(StpWriterTest, MasterAndChannelAreAnnouncedOnlyBeforeTheFirstHeader) {
  StartStream();
  writer_->D32TS(0x0A000046);
  writer_->Flag();
  g_clock += 1;
  writer_->D32TS(0x0A000046);
  writer_->Flush();
  const std::vector<int> m16c16 = {0xF, 1, 0, 0, 1, 0, 0xF, 3, 0, 2, 0, 0};
  const std::vector<int> header = {0xF, 6, 6, 4, 0, 0, 0, 0, 0xA, 0};
  std::vector<int> expected = m16c16;
  expected.insert(expected.end(), header.begin(), header.end());
  expected.push_back(0xE);  // first time stamp: in full
  expected.insert(expected.end(), 16, 0);
  expected.insert(expected.end(), {0xF, 0xE});
  expected.insert(expected.end(), header.begin(), header.end());
  expected.insert(expected.end(), {1, 1});  // 0 -> 1 differs in the lowest nibble only
  expected.push_back(0);                    // the half byte completed by the flush
  EXPECT_THAT(Nibbles(g_output), ElementsAreArray(expected));
}

TEST_F(StpWriterTest, TimestampCarriesOnlyTheDifferingNibbles) {
  StartStream();
  g_clock = 1000 + 0x1234;
  writer_->D32MTS(0);  // first: E and 16 nibbles
  g_clock = 1000 + 0x1235;
  writer_->D32MTS(0);  // lowest nibble differs: length 1
  writer_->D32MTS(0);  // equal: length 0
  g_clock = 1000 + 0x10000235;
  writer_->D32MTS(0);  // nibble 7 differs: length 8
  g_clock = 1000 + 0x1000000000000235ull;
  writer_->D32MTS(0);  // nibble 15 differs: full again
  writer_->Flush();
  std::vector<int> expected;
  const auto header = [&expected] {
    expected.push_back(0xA);
    expected.insert(expected.end(), 8, 0);
  };
  header();
  expected.insert(expected.end(), {0xE, 4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  header();
  expected.insert(expected.end(), {1, 5});
  header();
  expected.push_back(0);
  header();
  expected.insert(expected.end(), {8, 5, 3, 2, 0, 0, 0, 0, 1});
  header();
  expected.insert(expected.end(), {0xE, 5, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  if (expected.size() % 2 != 0) expected.push_back(0);
  EXPECT_THAT(Nibbles(g_output), ElementsAreArray(expected));
}

TEST_F(StpWriterTest, DataPacketsGoOutLeastSignificantNibbleFirst) {
  StartStream();
  writer_->D8(0x12);
  writer_->D16(0x3456);
  writer_->D32(0x789ABCDE);
  writer_->D64(0x0123456789ABCDEFull);
  writer_->Flag();
  writer_->Flush();
  EXPECT_THAT(Nibbles(g_output),
              ElementsAreArray(std::vector<int>{4, 2, 1, 5, 6, 5, 4, 3, 6, 0xE, 0xD, 0xC, 0xB, 0xA, 9, 8, 7,
                                                7, 0xF, 0xE, 0xD, 0xC, 0xB, 0xA, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                                0xF, 0xE}));
}

TEST_F(StpWriterTest, RunOfD64IsTheSameAsSingleStoresAtEitherAlignment) {
  std::vector<std::uint8_t> values(8 * 7);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(i * 37 + 1);
  for (bool startOdd : {false, true}) {
    SCOPED_TRACE(startOdd);
    std::vector<std::vector<std::uint8_t>> outputs;
    for (bool asRun : {false, true}) {
      SetUp();  // a fresh writer each time
      StartStream();
      if (startOdd) writer_->WriteNibble(0);
      if (asRun) {
        writer_->D64Run(values.data(), 7);
      } else {
        for (std::size_t i = 0; i < 7; ++i) {
          std::uint64_t v = 0;
          for (int b = 0; b < 8; ++b) v |= static_cast<std::uint64_t>(values[8 * i + b]) << (8 * b);
          writer_->D64(v);
        }
      }
      writer_->Flush();
      outputs.push_back(g_output);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0].size(), (7 * 17 + (startOdd ? 1 : 0) + 1) / 2);
  }
}

TEST_F(StpWriterTest, FlushCompletesAPendingHalfByteWithAZeroHighHalf) {
  StartStream();
  writer_->D8(0xAB);  // 3 nibbles: one byte out, one nibble pending
  writer_->Drain();
  EXPECT_THAT(g_output, ElementsAre(0xB4));
  EXPECT_TRUE(writer_->HasPendingNibble());
  writer_->Flush();
  EXPECT_THAT(g_output, ElementsAre(0xB4, 0x0A));
  EXPECT_FALSE(writer_->HasPendingNibble());
  writer_->Flush();  // nothing pending: nothing more
  EXPECT_EQ(g_output.size(), 2u);
}

TEST_F(StpWriterTest, LongStreamsReachTheOutputInOrderInBoundedRuns) {
  StartStream();
  for (std::uint64_t i = 0; i < 20000; ++i) writer_->D64(i);
  writer_->Flush();
  ASSERT_EQ(g_output.size(), 20000u * 17 / 2);
  for (std::size_t run : g_runs) EXPECT_LE(run, StpWriter::kStageSize);
  // Every odd store starts mid-byte; check one of each kind.
  const std::vector<int> nibbles = Nibbles(g_output);
  EXPECT_EQ(nibbles[17 * 12345], 7);
  EXPECT_EQ(nibbles[17 * 12345 + 1], 12345 & 0xF);
  EXPECT_EQ(nibbles[17 * 12346 + 2], (12346 >> 4) & 0xF);
}

}  // namespace
