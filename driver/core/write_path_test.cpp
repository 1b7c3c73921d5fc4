// The write path: buffers of framed records written to TXR's interface become SyS-T
// messages stored into the ETW channel, seen in the Tessera's store log and in its capture.
#include <gtest/gtest.h>

#include "booted_txr.h"
#include "capture_reader.h"
#include "trace_record_builder.h"
#include "txr_events.h"
#include "txr_user_client.h"

namespace {

using syst_testing::Bytes;
using syst_testing::FrameRecord;
using txr_testing::BootedTxr;
using txr_testing::TxrEvents;
using txr_testing::TxrUserClient;

constexpr std::uint32_t kErrorGenFailure = 31;         // STATUS_UNSUCCESSFUL
constexpr std::uint32_t kErrorInvalidFunction = 1;     // STATUS_INVALID_DEVICE_REQUEST
constexpr std::uint32_t kErrorIoDevice = 1117;          // STATUS_DRIVER_INTERNAL_ERROR

class WritePath : public BootedTxr {
 protected:
  void SetUp() override {
    BootedTxr::SetUp();
    ASSERT_EQ(boot().status, 0);
    ASSERT_EQ(client.open(), 0u);
    tessera::model().clear_store_log();
  }

  static std::vector<tessera::Store> channel_stores() {
    std::vector<tessera::Store> stores;
    for (const tessera::Store& store : tessera::model().store_log()) {
      if (store.window == tessera::Window::aperture) stores.push_back(store);
    }
    return stores;
  }

  TxrUserClient client;
};

TEST_F(WritePath, AThirteenByteRawMessageIsStoredStoreForStoreAndDecodesFromTheCapture) {
  const Bytes payload = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D};
  const Bytes record = FrameRecord(TRACE_RECORD_TYPE_DUX, payload);
  std::uint32_t written = 0;
  ASSERT_EQ(client.write(record, &written), 0u);
  EXPECT_EQ(written, record.size());

  const std::uint64_t channel = channel_offset(256, 32);
  const std::vector<tessera::Store> stores = channel_stores();
  ASSERT_EQ(stores.size(), 5u);
  struct Expected {
    std::uint64_t offset;
    std::uint8_t width;
    std::uint64_t value;
  };
  const Expected expected[] = {
      {channel + 0x10, 4, 0x0B200046},          // header, timestamped
      {channel + 0x00, 8, 0x0807060504030201},  // payload: 8 bytes,
      {channel + 0x00, 4, 0x0C0B0A09},          // then 4,
      {channel + 0x00, 1, 0x0D},                // then 1
      {channel + 0x30, 2, 0},                   // flag
  };
  for (std::size_t i = 0; i < stores.size(); ++i) {
    EXPECT_EQ(stores[i].offset, expected[i].offset) << i;
    EXPECT_EQ(stores[i].width, expected[i].width) << i;
    EXPECT_EQ(stores[i].value, expected[i].value) << i;
    EXPECT_EQ(stores[i].master, 256) << i;
    EXPECT_EQ(stores[i].channel, 32) << i;
  }

  const auto decoded = txr_testing::decode_capture();
  ASSERT_EQ(decoded.messages.size(), 1u);
  const stpdump::Message& message = decoded.messages[0];
  EXPECT_EQ(message.master, 256);
  EXPECT_EQ(message.channel, 32);
  EXPECT_EQ(message.header, 0x0B200046u);
  EXPECT_EQ(message.payload, payload);
  EXPECT_TRUE(decoded.skips.empty());
}

TEST_F(WritePath, AnEtwRecordGetsItsAgeAndFrequencyOnTheWayOut) {
  syst_testing::EtwEventFields fields;
  LARGE_INTEGER frequency;
  fields.timestamp = KeQueryPerformanceCounter(&frequency).QuadPart;
  ASSERT_EQ(client.write(FrameRecord(TRACE_RECORD_TYPE_ETW, syst_testing::EtwPayload(fields, "hello"))), 0u);
  const auto decoded = txr_testing::decode_capture();
  ASSERT_EQ(decoded.messages.size(), 1u);
  ASSERT_EQ(decoded.messages[0].cls, stpdump::MessageClass::EtwEvent);
  EXPECT_EQ(decoded.messages[0].header, 0x0A000046u);
  EXPECT_EQ(decoded.messages[0].event.text, "hello");
  EXPECT_EQ(decoded.messages[0].event.frequency, static_cast<std::uint64_t>(frequency.QuadPart));
  // The time stamp now holds the age in ticks: small and non-negative, not the counter value.
  EXPECT_LT(decoded.messages[0].event.timestamp, static_cast<std::uint64_t>(frequency.QuadPart) * 60);
}

TEST_F(WritePath, RecordsThatFillTheBufferExactlyCompleteWithTheFullLength) {
  Bytes buffer = FrameRecord(TRACE_RECORD_TYPE_DUX, {1, 2, 3});
  const Bytes second = FrameRecord(TRACE_RECORD_TYPE_VEX, {4, 5, 6, 7, 8});
  buffer.insert(buffer.end(), second.begin(), second.end());
  std::uint32_t written = 0;
  EXPECT_EQ(client.write(buffer, &written), 0u);
  EXPECT_EQ(written, buffer.size());
  EXPECT_EQ(txr_testing::decode_capture().messages.size(), 2u);
}

TEST_F(WritePath, AThirteenByteWriteIsInvalidTraceData) {
  TxrEvents events;
  const Bytes thirteen(13, 0xAB);
  EXPECT_EQ(client.write(thirteen), kErrorGenFailure);
  EXPECT_EQ(events.texts_of(102), std::vector<std::string>{"Invalid Trace Data"});
  EXPECT_TRUE(channel_stores().empty());
}

TEST_F(WritePath, ARecordOfType1FailsTheWriteButTheRecordsBeforeItReachTheHardware) {
  TxrEvents events;
  Bytes buffer = FrameRecord(TRACE_RECORD_TYPE_DUX, {1, 2, 3});
  const Bytes refused = FrameRecord(TRACE_RECORD_TYPE_RESERVED, {9, 9});
  buffer.insert(buffer.end(), refused.begin(), refused.end());
  EXPECT_EQ(client.write(buffer), kErrorGenFailure);
  EXPECT_EQ(events.texts_of(102), std::vector<std::string>{"Invalid Trace Data"});
  const auto decoded = txr_testing::decode_capture();
  ASSERT_EQ(decoded.messages.size(), 1u);
  EXPECT_EQ(decoded.messages[0].payload, (Bytes{1, 2, 3}));
}

TEST_F(WritePath, AnUnknownControlCodeIsAnInvalidDeviceRequest) {
  TxrEvents events;
  EXPECT_EQ(client.control(IOCTL_TXR_DISABLE_DEBUG_FLAGS + 4, {}), kErrorInvalidFunction);
  const auto errors = events.texts_of(102);
  EXPECT_EQ(errors, (std::vector<std::string>{"Invalid IOCTL request", "QLXEvtIoDeviceControl failed"}));
}

class MisplacedEtwMaster : public BootedTxr {};

TEST_F(MisplacedEtwMaster, AMasterBelowTheFirstOneFailsEveryWriteWithInvalidChannelAddress) {
  sim::TesseraDevice device = defaults();
  device.registry[u"ETWMasterBase"] = 100;  // below the first software master, 256
  ASSERT_EQ(boot(device).status, 0);
  TxrUserClient client;
  ASSERT_EQ(client.open(), 0u);
  TxrEvents events;
  EXPECT_EQ(client.write(FrameRecord(TRACE_RECORD_TYPE_DUX, {1, 2, 3})), kErrorIoDevice);
  EXPECT_EQ(events.texts_of(102), std::vector<std::string>{"Invalid channel address!"});
  EXPECT_TRUE(tessera::model().store_log().empty());
}

}  // namespace
