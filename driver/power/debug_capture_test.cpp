// Kernel debug-output capture through TXR's I/O controls: the filter lists, the strings that
// reach the hardware on the printing processor's channel, and the refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "booted_txr.h"
#include "capture_reader.h"
#include "txr_user_client.h"

namespace {

using txr_testing::BootedTxr;
using txr_testing::TxrUserClient;

constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;  // STATUS_BUFFER_TOO_SMALL

std::vector<std::uint8_t> FilterList(std::uint32_t count, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
  std::vector<std::uint8_t> bytes(4 + 8 * entries.size());
  std::memcpy(bytes.data(), &count, 4);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::memcpy(&bytes[4 + 8 * i], &entries[i].first, 4);
    std::memcpy(&bytes[8 + 8 * i], &entries[i].second, 4);
  }
  return bytes;
}

class DebugCapture : public BootedTxr {
 protected:
  void SetUp() override {
    BootedTxr::SetUp();
    ASSERT_EQ(boot().status, 0);
    ASSERT_EQ(client.open(), 0u);
    tessera::model().clear_store_log();
  }
  TxrUserClient client;
};

TEST_F(DebugCapture, EveryComponentListEnables152ComponentsAndLeavesThreeAlone) {
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(1, {{0xFFFFFFFF, 0xF}})), 0u);
  int enabled = 0;
  for (ULONG component = 0; component < TXR_DEBUG_COMPONENT_COUNT; ++component) {
    if (TxrDebugSavedMask(component) == 0xF) ++enabled;
  }
  EXPECT_EQ(enabled, 152);
  for (ULONG component : {52u, 90u, 146u}) EXPECT_EQ(TxrDebugSavedMask(component), TXR_DEBUG_NO_MASK) << component;
}

TEST_F(DebugCapture, AListOf155EntriesIsTakenAnd156Refused) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
  for (std::uint32_t i = 0; i < 156; ++i) entries.emplace_back(i % 155, 0x3);
  EXPECT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(156, entries)), kErrorInvalidParameter);
  EXPECT_EQ(TxrDebugSavedMask(0), TXR_DEBUG_NO_MASK);
  entries.pop_back();
  EXPECT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(155, entries)), 0u);
  EXPECT_EQ(TxrDebugSavedMask(154), 0x3u);
}

TEST_F(DebugCapture, AnEntryForComponent200IsSkippedAndTheOthersApplied) {
  EXPECT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(3, {{4, 0x1}, {200, 0x2}, {7, 0x4}})), 0u);
  EXPECT_EQ(TxrDebugSavedMask(4), 0x1u);
  EXPECT_EQ(TxrDebugSavedMask(7), 0x4u);
  EXPECT_EQ(client.control(IOCTL_TXR_DISABLE_DEBUG_FLAGS, FilterList(1, {{4, 0x1}})), 0u);
  EXPECT_EQ(TxrDebugSavedMask(4), TXR_DEBUG_NO_MASK);
}

TEST_F(DebugCapture, AListClaimingMoreEntriesThanItsBufferHoldsIsRefusedWhole) {
  // Two entries claimed, one sent: nothing beyond the input is read, and nothing is applied.
  EXPECT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(2, {{4, 0x1}})), 1784u);
  EXPECT_EQ(TxrDebugSavedMask(4), TXR_DEBUG_NO_MASK);
}

TEST_F(DebugCapture, AFlagControlWithAnEightByteInputFailsRetrieval) {
  EXPECT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, std::vector<std::uint8_t>(8, 0)), kErrorInsufficientBuffer);
}

TEST_F(DebugCapture, AStringIsWrittenOnThePrintingProcessorsChannelWithTheMappedSeverity) {
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_OUTPUT, {}), 0u);
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(1, {{77, 0xFFFFFFFF}})), 0u);
  sim::set_current_processor(2);
  DbgPrintEx(77, 5, "level five %d", 5);
  const auto decoded = txr_testing::decode_capture();
  ASSERT_EQ(decoded.messages.size(), 1u);
  const stpdump::Message& message = decoded.messages[0];
  EXPECT_EQ(message.master, 257);
  EXPECT_EQ(message.channel, 3);  // processor 2
  EXPECT_EQ(message.header, 0x01000002u | 6u << 4 | 77u << 12);
  EXPECT_EQ(std::string(message.payload.begin(), message.payload.end()), "level five 5");
}

TEST_F(DebugCapture, EachKernelLevelMapsToItsSeverity) {
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_OUTPUT, {}), 0u);
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(1, {{9, 0xFFFFFFFF}})), 0u);
  for (ULONG level = 0; level <= 5; ++level) DbgPrintEx(9, level, "level %lu", level);
  const auto decoded = txr_testing::decode_capture();
  ASSERT_EQ(decoded.messages.size(), 6u);
  const std::uint32_t severities[] = {2, 3, 7, 4, 6, 6};  // error, warning, debug, info, user 2
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(syst_header_severity(decoded.messages[i].header), severities[i]) << "level " << i;
    EXPECT_EQ(syst_header_origin(decoded.messages[i].header), 9u);
  }
}

TEST_F(DebugCapture, EnablingTwiceSucceedsAndDisablingStopsTheStrings) {
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_OUTPUT, {}), 0u);
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_OUTPUT, {}), 0u);
  EXPECT_TRUE(TxrDebugCaptureEnabled());
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, FilterList(1, {{10, 0xFFFFFFFF}})), 0u);
  DbgPrintEx(10, 0, "once");
  ASSERT_EQ(client.control(IOCTL_TXR_DISABLE_DEBUG_OUTPUT, {}), 0u);
  EXPECT_FALSE(TxrDebugCaptureEnabled());
  DbgPrintEx(10, 0, "not captured");
  const auto decoded = txr_testing::decode_capture();
  ASSERT_EQ(decoded.messages.size(), 1u);  // one callback registration: one copy
  EXPECT_EQ(std::string(decoded.messages[0].payload.begin(), decoded.messages[0].payload.end()), "once");
}

class ManyProcessors : public BootedTxr {};

TEST_F(ManyProcessors, EnablingOnMoreThan128ProcessorsFailsWithInternalError) {
  sim::set_active_processor_count(129);
  ASSERT_EQ(boot().status, 0);
  TxrUserClient client;
  ASSERT_EQ(client.open(), 0u);
  EXPECT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_OUTPUT, {}), 1359u);  // ERROR_INTERNAL_ERROR
  EXPECT_FALSE(TxrDebugCaptureEnabled());
}

}  // namespace
