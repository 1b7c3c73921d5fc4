#include "tessera/model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "capture.h"
#include "platform/core/reset.h"
#include "platform/core/target.h"
#include "stp_capture.h"
#include "stp_generator.h"
#include "stp_parser.h"

namespace tessera {

void PrintTo(Window window, std::ostream* out) { *out << "window " << static_cast<int>(window); }

void PrintTo(const Store& s, std::ostream* out) {
  *out << "{window " << static_cast<int>(s.window) << ", offset 0x" << std::hex << s.offset << ", width "
       << std::dec << int{s.width} << ", value 0x" << std::hex << s.value << std::dec << ", M" << s.master << "/C"
       << s.channel << "}";
}

namespace {

using stp_testing::FileBytes;
using stp_testing::read_whole_file;

constexpr Config kDefault{};
constexpr std::uint64_t kHz = kDefault.timestamp_hz;
constexpr std::uint64_t kCapabilities = kDefault.csr_base + kSoftwareTraceCapabilityBlock;

std::uint64_t channel_window(std::uint16_t master, std::uint16_t channel) {
  const auto index = static_cast<std::uint64_t>(master - kDefault.first_master) * kDefault.channels_per_master + channel;
  return kDefault.aperture_base + index * kChannelWindowLength;
}

Store channel_store(std::uint16_t master, std::uint16_t channel, std::uint64_t at, std::uint8_t width,
                    std::uint64_t value) {
  return {Window::aperture, channel_window(master, channel) - kDefault.aperture_base + at, width, value, master, channel};
}

// The header of every capture: a NULL nibble, ASYNC, VERSION, FREQ.
stp_testing::StpGenerator capture_head() { return std::move(stp_testing::StpGenerator().async().version().freq(kHz)); }

// Every packet of a capture, in order.
struct Packets : stpdump::PacketHandler {
  std::vector<stpdump::Packet> packets;
  std::uint64_t skipped_nibbles = 0;
  void on_packet(const stpdump::Packet& packet) override { packets.push_back(packet); }
  void on_skipped(std::uint64_t, std::uint64_t nibbles, const char*) override { skipped_nibbles += nibbles; }
};

Packets parse(const FileBytes& bytes) {
  Packets result;
  stpdump::StpParser parser(result);
  parser.feed(bytes.data(), bytes.size());
  parser.finish();
  return result;
}

class TesseraModel : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    platform::set_target_root(root_);
    model().configure(kDefault);
  }
  void TearDown() override {
    model().configure(kDefault);
    std::filesystem::remove_all(root_);
  }

  // Closes the capture (as a reset would) and returns its bytes.
  static FileBytes closed_capture() {
    const auto path = model().capture_path();
    EXPECT_TRUE(path.has_value());
    if (!path) return {};
    model().configure(model().config());
    return read_whole_file(*path);
  }

  std::filesystem::path root_;
};

TEST_F(TesseraModel, CapabilityRegistersReadTheConfigurationAndCanBeOverwritten) {
  std::uint64_t value = 0;
  ASSERT_TRUE(model().read(kCapabilities, 8, value));
  EXPECT_EQ(value, std::uint64_t{128} << 32 | 256);

  Config config;
  config.first_master = 0x1234;
  config.channels_per_master = 7;
  model().write(kCapabilities + 0x10, 4, 0x99);
  model().configure(config);
  EXPECT_EQ(model().register_value(Window::csr, 0x4000), 0x1234u);
  EXPECT_EQ(model().register_value(Window::csr, 0x4004), 7u);
  EXPECT_EQ(model().register_value(Window::csr, 0x4010), 0u) << "configure powers on: earlier stores are gone";

  model().set_register(Window::csr, 0x4002, 0xFFFFFFFF);  // the register that holds 0x4002
  ASSERT_TRUE(model().read(kCapabilities, 4, value));
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_TRUE(model().store_log().empty()) << "set_register is not a store";
}

TEST_F(TesseraModel, RegisterStoresMergeLittleEndianAndAreLogged) {
  const std::uint64_t csr = kDefault.csr_base;
  const std::uint64_t firmware = kDefault.firmware_base;
  ASSERT_TRUE(model().write(csr + 0x100, 8, 0x1122334455667788));
  ASSERT_TRUE(model().write(csr + 0x101, 1, 0x1AB));  // only the byte reaches the bus
  ASSERT_TRUE(model().write(csr + 0x106, 2, 0xBEEF));
  ASSERT_TRUE(model().write(firmware + 0xFFC, 4, 0xCAFEF00D));

  EXPECT_EQ(model().register_value(Window::csr, 0x100), 0x5566AB88u);
  EXPECT_EQ(model().register_value(Window::csr, 0x104), 0xBEEF3344u);
  EXPECT_EQ(model().register_value(Window::firmware, 0xFFC), 0xCAFEF00Du);
  EXPECT_EQ(model().register_value(Window::csr, 0xFFC), 0u) << "the two register files are apart";
  std::uint64_t value = 0;
  ASSERT_TRUE(model().read(csr + 0x102, 2, value));
  EXPECT_EQ(value, 0x5566u);

  const std::vector<Store> expected = {{Window::csr, 0x100, 8, 0x1122334455667788, 0, 0},
                                       {Window::csr, 0x101, 1, 0xAB, 0, 0},
                                       {Window::csr, 0x106, 2, 0xBEEF, 0, 0},
                                       {Window::firmware, 0xFFC, 4, 0xCAFEF00D, 0, 0}};
  EXPECT_EQ(model().store_log(), expected);
}

TEST_F(TesseraModel, RefusedAccessesChangeNothing) {
  Config config;
  config.firmware_length = 0x1004;  // so an aligned 8-byte access can run past the end
  model().configure(config);
  const std::vector<std::tuple<const char*, std::uint64_t, unsigned>> refused = {
      {"outside every window", 0x1000, 4},
      {"processor-trace window", config.processor_trace_base, 4},
      {"processor-trace window, 8 bytes", config.processor_trace_base + 0x100, 8},
      {"past the aperture", config.aperture_base + config.aperture_length(), 4},
      {"past the firmware window's end", config.firmware_base + 0x1000, 8},
      {"misaligned", config.csr_base + 0x102, 4},
      {"misaligned channel store", channel_window(256, 0) + 4, 8},
      {"width 3", config.csr_base, 3},
      {"width 16", config.csr_base, 16},
      {"width 0", config.csr_base, 0},
  };
  for (const auto& [what, address, width] : refused) {
    std::uint64_t value = 0x5A5A;
    EXPECT_FALSE(model().write(address, width, 1)) << what;
    EXPECT_FALSE(model().read(address, width, value)) << what;
    EXPECT_EQ(value, 0x5A5Au) << what;
  }
  EXPECT_TRUE(model().store_log().empty());
  EXPECT_FALSE(model().capture_path().has_value());

  std::uint64_t offset = 0;
  EXPECT_EQ(model().window_of(config.csr_base + kCsrWindowLength - 1, &offset), Window::csr);
  EXPECT_EQ(offset, kCsrWindowLength - 1);
  EXPECT_EQ(model().window_of(config.csr_base + kCsrWindowLength), Window::firmware);
  EXPECT_EQ(model().window_of(config.aperture_base + config.aperture_length()), Window::none);
}

TEST_F(TesseraModel, ChannelWindowsMapToMastersAndOnlyKnownStoresMakePackets) {
  Config config;
  config.first_master = 16;
  config.channels_per_master = 4;
  config.master_count = 3;
  model().configure(config);
  const std::uint64_t fifth = config.aperture_base + 5 * kChannelWindowLength;
  const std::uint64_t last = config.aperture_base + 11 * kChannelWindowLength;
  ASSERT_TRUE(model().write(fifth + 0x10, 8, 1));  // D32TS is 32-bit only
  ASSERT_TRUE(model().write(fifth + 0x18, 2, 2));
  ASSERT_TRUE(model().write(fifth + 0x30, 4, 3));  // FLAG is 16-bit only
  ASSERT_TRUE(model().write(last + 0x08, 4, 4));
  std::uint64_t value = 0x5A5A;
  ASSERT_TRUE(model().read(fifth, 8, value));
  EXPECT_EQ(value, 0u);

  const std::vector<Store> expected = {{Window::aperture, 5 * 64 + 0x10, 8, 1, 17, 1},
                                       {Window::aperture, 5 * 64 + 0x18, 2, 2, 17, 1},
                                       {Window::aperture, 5 * 64 + 0x30, 4, 3, 17, 1},
                                       {Window::aperture, 11 * 64 + 0x08, 4, 4, 18, 3}};
  EXPECT_EQ(model().store_log(), expected);
  EXPECT_FALSE(model().capture_path().has_value()) << "no packet, so no capture";
}

TEST_F(TesseraModel, SystMessageIsLoggedStoreForStoreAndDecodesWithStpdump) {
  const std::uint64_t window = channel_window(256, 32);
  ASSERT_EQ(window, kDefault.aperture_base + 32 * 64);
  ASSERT_TRUE(model().write(window + kChannelDataTimestamped, 4, 0x0A000046));
  ASSERT_TRUE(model().write(window + kChannelData, 8, 0x0807060504030201));
  ASSERT_TRUE(model().write(window + kChannelData, 4, 0x0C0B0A09));
  ASSERT_TRUE(model().write(window + kChannelData, 1, 0x0D));
  ASSERT_TRUE(model().write(window + kChannelFlag, 2, 0));

  const std::vector<Store> expected = {
      channel_store(256, 32, 0x10, 4, 0x0A000046), channel_store(256, 32, 0x00, 8, 0x0807060504030201),
      channel_store(256, 32, 0x00, 4, 0x0C0B0A09), channel_store(256, 32, 0x00, 1, 0x0D),
      channel_store(256, 32, 0x30, 2, 0)};
  EXPECT_EQ(model().store_log(), expected);

  const auto path = model().capture_path();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->parent_path(), root_ / "Tessera");
  EXPECT_THAT(path->filename().string(), ::testing::MatchesRegex("tessera_capture_[0-9]+\\.stp"));
  model().flush_capture();
  const FileBytes bytes = read_whole_file(*path);
  const FileBytes head = capture_head().bytes();
  ASSERT_GE(bytes.size(), head.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin())) << "NULL, ASYNC, VERSION, FREQ";

  const auto decoded = stp_testing::decode_stp(bytes);
  EXPECT_TRUE(decoded.skips.empty());
  EXPECT_EQ(decoded.frequency, kHz);
  ASSERT_EQ(decoded.messages.size(), 1u);
  const stpdump::Message& message = decoded.messages[0];
  EXPECT_EQ(message.header, 0x0A000046u);
  EXPECT_EQ(message.master, 256);
  EXPECT_EQ(message.channel, 32);
  EXPECT_EQ(message.payload, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
}

TEST_F(TesseraModel, ChannelSwitchesAnnounceMasterAndChannel) {
  // Two channels of one master, then the same channel number on the next master: a new
  // master needs its C16 again, because the decoder forgets the channel with the master.
  std::uint8_t value = 0;
  for (const auto& [master, channel] : std::vector<std::pair<std::uint16_t, std::uint16_t>>{
           {256, 32}, {256, 32}, {256, 33}, {257, 33}, {256, 32}, {256, 33}}) {
    model().write(channel_window(master, channel), 1, ++value);
  }

  const FileBytes expected = capture_head()
                                 .m16(256).c16(32).d8(1).d8(2)
                                 .c16(33).d8(3)
                                 .m16(257).c16(33).d8(4)
                                 .m16(256).c16(32).d8(5)
                                 .c16(33).d8(6)
                                 .bytes();
  EXPECT_EQ(closed_capture(), expected);
}

TEST_F(TesseraModel, FlushInTheMiddleOfAByteLosesAndDuplicatesNothing) {
  const std::uint64_t window = channel_window(300, 5);
  model().write(window, 1, 0xA1);  // 61 nibbles in all: the last byte is half full
  const auto path = model().capture_path();
  ASSERT_TRUE(path.has_value());
  model().flush_capture();
  const FileBytes first = read_whole_file(*path);
  model().write(window, 2, 0xB2C3);  // 66 nibbles
  model().flush_capture();
  model().flush_capture();
  const FileBytes second = read_whole_file(*path);
  model().write(window, 1, 0xD4);  // 69 nibbles, completed by a 0 at the close
  model().flush_capture();
  const FileBytes closed = closed_capture();

  EXPECT_EQ(first.size(), 30u);
  EXPECT_EQ(second.size(), 33u);
  EXPECT_EQ(closed, capture_head().m16(300).c16(5).d8(0xA1).d16(0xB2C3).d8(0xD4).bytes());
  EXPECT_TRUE(std::equal(first.begin(), first.end(), closed.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), closed.begin()));
}

TEST_F(TesseraModel, TimestampedStoresCarryTheModelsClock) {
  const std::uint64_t window = channel_window(256, 1);
  const auto before = std::chrono::steady_clock::now();
  model().write(window + kChannelDataTimestamped, 4, 0x11111111);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  model().write(window + kChannelDataMarkedTimestamped, 4, 0x22222222);
  model().write(window + kChannelDataMarkedTimestamped, 8, 0x3333333344444444);
  model().write(window + kChannelDataTimestamped, 4, 0x55555555);
  const auto elapsed = std::chrono::steady_clock::now() - before;
  const FileBytes bytes = closed_capture();

  const Packets parsed = parse(bytes);
  EXPECT_EQ(parsed.skipped_nibbles, 0u);
  std::vector<stpdump::Packet> data;  // the stores' packets (a NULL may pad the end)
  std::copy_if(parsed.packets.begin(), parsed.packets.end(), std::back_inserter(data),
               [](const stpdump::Packet& p) { return p.kind == stpdump::PacketKind::Data; });
  ASSERT_EQ(data.size(), 4u);
  const auto shape = [&](std::size_t i) {
    const stpdump::Packet& p = data[i];
    return std::tuple(int{p.data_bits}, p.marked, p.is_timestamped_store, p.has_timestamp, p.value);
  };
  EXPECT_EQ(shape(0), std::tuple(32, false, true, true, std::uint64_t{0x11111111}));
  EXPECT_EQ(shape(1), std::tuple(32, true, false, true, std::uint64_t{0x22222222}));
  EXPECT_EQ(shape(2), std::tuple(64, true, false, true, std::uint64_t{0x3333333344444444}));
  EXPECT_EQ(shape(3), std::tuple(32, false, true, true, std::uint64_t{0x55555555}));

  // The first time stamp is whole (length code E at nibble 68, the low half of byte 34);
  // the next sends only the nibbles that changed.
  EXPECT_EQ(bytes[34] & 0xF, 0xE);
  EXPECT_LE(bytes[47] & 0xF, 12) << "nibble 94: the D32MTS time stamp's length code";
  const auto ticks = [](auto duration) {  // exact for the short times here
    return static_cast<std::uint64_t>(std::chrono::nanoseconds(duration).count()) * kHz / 1'000'000'000;
  };
  EXPECT_GE(data[1].timestamp - data[0].timestamp, ticks(std::chrono::milliseconds(20)));
  EXPECT_LE(data[2].timestamp, data[3].timestamp);
  EXPECT_LE(data[3].timestamp, ticks(elapsed));
}

// Captures last longer than a test may wait: the clock conversion past one second.
TEST(TesseraClock, TicksAreExactPastOneSecondAndDoNotOverflow) {
  EXPECT_EQ(detail::ticks_in(1'500'000'000, 10'000'000), 15'000'000u);
  EXPECT_EQ(detail::ticks_in(999'999'999, 10'000'000), 9'999'999u);
  constexpr std::uint64_t kDay = 86'400'000'000'000;
  EXPECT_EQ(detail::ticks_in(kDay + 1, 3'000'000'000), 86'400ull * 3'000'000'000 + 3);
  EXPECT_EQ(detail::ticks_in(999'999'999, 18'000'000'000'000'000'000u), 17'999'999'982'000'000'000u);
}

// Also more than the capture buffer holds, so part of it reaches the file on its own.
TEST_F(TesseraModel, StoresFromManyThreadsReachLogAndCaptureWhole) {
  constexpr int kThreads = 4;
  constexpr int kMessages = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::uint64_t window = channel_window(static_cast<std::uint16_t>(256 + t % 2), static_cast<std::uint16_t>(t));
      for (int i = 0; i < kMessages; ++i) {
        model().write(window + kChannelDataTimestamped, 4, 0x0B200046);
        model().write(window + kChannelData, 8, std::uint64_t{0x0101010101010101} * static_cast<std::uint64_t>(t));
        model().write(window + kChannelData, 4, static_cast<std::uint32_t>(i));
        model().write(window + kChannelFlag, 2, 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(model().store_log().size(), std::size_t{kThreads * kMessages * 4});
  EXPECT_GE(std::filesystem::file_size(model().capture_path().value()), 64u * 1024) << "without a flush";

  const auto decoded = stp_testing::decode_stp(closed_capture());
  EXPECT_TRUE(decoded.skips.empty());
  ASSERT_EQ(decoded.messages.size(), std::size_t{kThreads * kMessages});
  std::vector<int> next(kThreads, 0);
  for (const auto& message : decoded.messages) {
    const int t = message.channel;
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(message.master, 256 + t % 2);
    ASSERT_EQ(message.payload.size(), 12u);
    EXPECT_EQ(message.payload[0], t);
    EXPECT_EQ(message.payload[8], next[t]++ % 256) << "each thread's messages arrive whole and in order";
  }
}

TEST_F(TesseraModel, StoreLogKeepsTheNewestStores) {
  constexpr std::size_t kStores = Model::kStoreLogCapacity + 3;
  for (std::size_t i = 0; i < kStores; ++i) model().write(kDefault.csr_base, 4, i);
  const std::vector<Store> log = model().store_log();
  ASSERT_EQ(log.size(), Model::kStoreLogCapacity);
  EXPECT_EQ(log.front().value, 3u);
  EXPECT_EQ(log.back().value, kStores - 1);
  model().clear_store_log();
  EXPECT_TRUE(model().store_log().empty());
}

TEST_F(TesseraModel, ResetClosesTheCaptureAndPowersOnWithTheDefaults) {
  tessera::join_reset_phases();
  tessera::join_reset_phases();
  Config config;
  config.first_master = 64;
  model().configure(config);
  model().write(config.aperture_base, 1, 0x7E);  // an odd nibble count
  const auto first = model().capture_path();
  ASSERT_TRUE(first.has_value());

  platform::run_reset();
  EXPECT_FALSE(model().capture_path().has_value());
  EXPECT_EQ(read_whole_file(*first), capture_head().m16(64).c16(0).d8(0x7E).bytes()) << "flushed, padded, closed";
  EXPECT_EQ(model().config().first_master, kDefault.first_master);
  EXPECT_EQ(model().register_value(Window::csr, 0x4000), kDefault.first_master);
  EXPECT_TRUE(model().store_log().empty());

  model().write(channel_window(256, 0), 1, 0);
  const auto second = model().capture_path();
  ASSERT_TRUE(second.has_value());
  const auto number = [](const std::filesystem::path& path) {
    return std::stoi(path.stem().string().substr(std::string("tessera_capture_").size()));
  };
  EXPECT_EQ(number(*second), number(*first) + 1);
}

}  // namespace
TEST_F(TesseraModel, ACaptureNeverReplacesAFileAnEarlierRunLeft) {
  model().write(channel_window(256, 0), 1, 0);
  const auto first = model().capture_path();
  ASSERT_TRUE(first.has_value());
  const auto numbered = [&](int n) { return first->parent_path() / ("tessera_capture_" + std::to_string(n) + ".stp"); };
  const int n = std::stoi(first->stem().string().substr(std::string("tessera_capture_").size()));
  // What an earlier process on the same root left under the next two names.
  for (int k : {n + 1, n + 2}) std::ofstream(numbered(k)) << "kept";
  model().configure(kDefault);
  model().write(channel_window(256, 0), 1, 0);
  EXPECT_EQ(model().capture_path(), numbered(n + 3));
  for (int k : {n + 1, n + 2}) {
    std::ifstream in(numbered(k));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept") << k;
  }
}

TEST_F(TesseraModel, ClosingACaptureCompletesItsLastPacketAndTheNextStoreOpensAnother) {
  model().write(channel_window(256, 0), 1, 0x7E);  // an odd nibble count so far
  const auto closed = model().close_capture();
  ASSERT_TRUE(closed.has_value());
  EXPECT_FALSE(model().capture_path().has_value());
  EXPECT_EQ(read_whole_file(*closed), capture_head().m16(256).c16(0).d8(0x7E).bytes()) << "whole and padded";
  EXPECT_FALSE(model().close_capture().has_value());
  model().write(channel_window(256, 0), 1, 0);
  ASSERT_TRUE(model().capture_path().has_value());
  EXPECT_NE(*model().capture_path(), *closed);
}

TEST_F(TesseraModel, TheScratchpadHoldsTheConfiguredConfigurationWord) {
  EXPECT_EQ(model().register_value(Window::csr, kScratchpad), 0x4u) << "the default word";
  Config config;
  config.configuration_word = 0x0000000500000601;
  model().configure(config);
  std::uint64_t word = 0;
  ASSERT_TRUE(model().read(kDefault.csr_base + kScratchpad, 8, word));
  EXPECT_EQ(word, 0x0000000500000601u);
  EXPECT_EQ(model().register_value(Window::csr, kScratchpad + 8), 0u);
}

TEST_F(TesseraModel, StoppingTheSourcesRaisesTheDrainAndIdleBitsAndRunningThemClearsThem) {
  const std::uint64_t csr = kDefault.csr_base;
  model().set_register(Window::csr, kIdleBlockBusy, kIdleBusy | 0x5);
  model().set_register(Window::csr, kMscStatus0, 0x31);  // state machine busy (3)
  model().set_register(Window::csr, kMscStatus1, 0x20);
  EXPECT_EQ(model().register_value(Window::csr, kGlobalStatus), 0u) << "nothing rises before the store";
  ASSERT_TRUE(model().write(csr + kTraceSourceControl, 4, 0x00FC0001));
  EXPECT_EQ(model().register_value(Window::csr, kGlobalStatus), 0x7u);
  EXPECT_EQ(model().register_value(Window::csr, kMscStatus0), 0x5u) << "drained, state machine idle";
  EXPECT_EQ(model().register_value(Window::csr, kMscStatus1), 0x4u);
  EXPECT_EQ(model().register_value(Window::csr, kIdleBlockBusy), 0x5u) << "not busy any more";
  EXPECT_EQ(model().register_value(Window::csr, kQlxhControl), kQlxhEmpty);

  ASSERT_TRUE(model().write(csr + kTraceSourceControl, 4, 0));
  EXPECT_EQ(model().register_value(Window::csr, kGlobalStatus), 0u);
  EXPECT_EQ(model().register_value(Window::csr, kMscStatus0), 0x1u);
  EXPECT_EQ(model().register_value(Window::csr, kQlxhControl), 0u);
}

TEST_F(TesseraModel, AQlxhFlushRaisesFlushDoneOnlyWhenRequested) {
  const std::uint64_t csr = kDefault.csr_base;
  ASSERT_TRUE(model().write(csr + kQlxhControl, 4, 0x10000001));
  EXPECT_EQ(model().register_value(Window::csr, kQlxhControl), 0x10000001u);
  ASSERT_TRUE(model().write(csr + kQlxhControl, 4, 0x10000001 | kQlxhFlush));
  EXPECT_EQ(model().register_value(Window::csr, kQlxhControl), 0x10000001u | kQlxhFlush | kQlxhEmpty);
}

TEST_F(TesseraModel, AStalledBlockRaisesNothingUntilConfigured) {
  const std::uint64_t csr = kDefault.csr_base;
  model().set_register(Window::csr, kIdleBlockBusy, kIdleBusy);
  model().set_drain_stalled(true);
  ASSERT_TRUE(model().write(csr + kTraceSourceControl, 4, 0xFE));
  ASSERT_TRUE(model().write(csr + kQlxhControl, 4, kQlxhFlush));
  EXPECT_EQ(model().register_value(Window::csr, kGlobalStatus), 0u);
  EXPECT_EQ(model().register_value(Window::csr, kMscStatus0), 0u);
  EXPECT_EQ(model().register_value(Window::csr, kIdleBlockBusy), kIdleBusy);
  EXPECT_EQ(model().register_value(Window::csr, kQlxhControl), kQlxhFlush);
  model().configure(kDefault);
  EXPECT_FALSE(model().drain_stalled());
}

TEST_F(TesseraModel, AnEightByteStoreOverTheSourceControlCountsAsItsStore) {
  ASSERT_TRUE(model().write(kDefault.csr_base + kTraceSourceControl, 8, 0xFE));
  EXPECT_EQ(model().register_value(Window::csr, kGlobalStatus), 0x7u);
}

}  // namespace tessera
