// Driver entry, device creation and the hardware resources, as the framework drives them on
// the virtual target: what a session on the target reads of the driver, what a user-mode
// caller gets when it opens the device, what is left at unload.
#include <gtest/gtest.h>

#include <algorithm>

#include "booted_txr.h"
#include "txr_events.h"
#include "trace_record_builder.h"
#include "txr_user_client.h"

namespace {

using txr_testing::BootedTxr;
using txr_testing::TxrEvents;
using txr_testing::TxrUserClient;

constexpr std::int32_t kStatusUnsuccessful = static_cast<std::int32_t>(0xC0000001);
constexpr std::int32_t kStatusDeviceConfigurationError = static_cast<std::int32_t>(0xC0000182);
constexpr std::int32_t kStatusAccessViolation = static_cast<std::int32_t>(0xC0000005);
constexpr std::uint32_t kErrorNotReady = 21;    // STATUS_DEVICE_NOT_READY
constexpr std::uint32_t kErrorGenFailure = 31;  // STATUS_UNSUCCESSFUL

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

sim::TesseraResource Memory(std::uint64_t start, std::uint32_t length) {
  return {sim::TesseraResource::Kind::memory, start, length};
}

TEST_F(BootedTxr, LoadsAsPciDeviceRegistersItsInterfaceAndUnloadsWithNoPoolLeft) {
  TxrEvents events;
  const sim::BootResult result = boot();
  ASSERT_EQ(result.status, 0) << result.failed_step;
  EXPECT_FALSE(txr_testing::txr_interface_path().empty());
  TxrUserClient client;
  EXPECT_EQ(client.open(), 0u);
  const auto info = events.texts_of(100);
  EXPECT_TRUE(Contains(info, "QLX is PCI device."));
  EXPECT_TRUE(Contains(info, "Inside QLXCreateDevice: Setting up initial master-channel map"));
  EXPECT_TRUE(Contains(info, "-->QLXDriverDispatch::IRP_MJ_CREATE"));
  // The fixture's unload checks the pool.
}

TEST_F(BootedTxr, AnAcpiDeviceIsToldApartByTheFailingHidEvaluation) {
  TxrEvents events;
  ASSERT_EQ(boot(defaults(sim::TesseraBus::acpi)).status, 0);
  EXPECT_TRUE(Contains(events.texts_of(100), "QLX is ACPI device."));
  EXPECT_TRUE(Contains(events.texts_of(102), "QLXAcpiGetUlong: SendIrpToAcpi() failed"));
}

TEST_F(BootedTxr, PreparationReadsTheCapabilityRegisters) {
  sim::TesseraDevice device = defaults();
  device.hardware.first_master = 128;
  device.hardware.channels_per_master = 64;
  device.registry[u"ETWMasterBase"] = 130;
  ASSERT_EQ(boot(device).status, 0);
  TxrUserClient client;
  ASSERT_EQ(client.open(), 0u);
  // A record on the ETW channel lands at ((130 - 128) * 64 + 32) * 64: the registers were read.
  ASSERT_EQ(client.write(syst_testing::FrameRecord(TRACE_RECORD_TYPE_DUX, {1, 2, 3, 4})), 0u);
  const auto log = tessera::model().store_log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().master, 130);
  EXPECT_EQ(log.front().channel, 32);
  EXPECT_EQ(log.front().offset, channel_offset(130, 32, device.hardware) + 0x10);
}

TEST_F(BootedTxr, FiveMemoryWindowsFailPreparation) {
  TxrEvents events;
  sim::TesseraDevice device = defaults();
  const tessera::Config& hw = device.hardware;
  device.resources = {Memory(hw.csr_base, 0x100000), Memory(hw.aperture_base, hw.aperture_length()),
                      Memory(hw.processor_trace_base, hw.processor_trace_length),
                      Memory(hw.firmware_base, hw.firmware_length), Memory(0xC0000000, 0x1000)};
  const sim::BootResult result = boot(device);
  EXPECT_EQ(result.status, kStatusDeviceConfigurationError);
  EXPECT_TRUE(Contains(events.texts_of(102), "Memory Resources are not in the right order"));
}

TEST_F(BootedTxr, WithoutTheApertureNoRegisterIsTouchedAndTheDeviceIsNotReady) {
  TxrEvents events;
  sim::TesseraDevice device = defaults();
  device.resources = {Memory(device.hardware.csr_base, 0x100000)};
  EXPECT_EQ(boot(device).status, kStatusDeviceConfigurationError);
  const auto errors = events.texts_of(102);
  EXPECT_TRUE(Contains(errors, "Error in mapping HW resources"));
  EXPECT_TRUE(Contains(errors, "QLXMapHWResources failed"));
  // No access fault: nothing read the registers of a device whose windows were not mapped.
  for (const auto& text : errors) EXPECT_EQ(text.find("Exception Driver Function"), std::string::npos) << text;
  EXPECT_TRUE(tessera::model().store_log().empty());
}

TEST_F(BootedTxr, AFailedMappingStopsPreparationWithTheMappingStatus) {
  sim::fail_next("MmMapIoSpaceEx", 1, 0);
  EXPECT_EQ(boot().status, kStatusDeviceConfigurationError);
  EXPECT_TRUE(tessera::model().store_log().empty());
}

TEST_F(BootedTxr, ACreateWhileTheCapabilityRegisterReadsAllOnesIsNotReady) {
  ASSERT_EQ(boot().status, 0);
  tessera::model().set_register(tessera::Window::csr, tessera::kSoftwareTraceCapabilityBlock, 0xFFFFFFFF);
  TxrEvents events;
  TxrUserClient client;
  EXPECT_EQ(client.open(), kErrorNotReady);
  EXPECT_TRUE(Contains(events.texts_of(102), "-->QLXDriverDispatch::IRP_MJ_CREATE Device Not ready"));
}

TEST_F(BootedTxr, ACreateIsRefusedForEachCapabilityValueTheBlockCannotHave) {
  ASSERT_EQ(boot().status, 0);
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0x00000101, kErrorNotReady},  // a first master above 256
      {0x04000100, kErrorNotReady},  // above 0x3FFFFFF
      {0x03FF0100, 0},               // the largest value that passes
      {0x00000100, 0},
  };
  for (const auto& [capability, expected] : cases) {
    tessera::model().set_register(tessera::Window::csr, tessera::kSoftwareTraceCapabilityBlock, capability);
    TxrUserClient client;
    EXPECT_EQ(client.open(), expected) << std::hex << capability;
  }
}

TEST_F(BootedTxr, ACreateOnADeviceWithoutContextCompletesUnsuccessful) {
  ASSERT_EQ(boot().status, 0);
  TxrEvents events;
  sim::fail_next("WdfWdmDeviceGetWdfDeviceHandle", 1, 0);
  TxrUserClient client;
  EXPECT_EQ(client.open(), kErrorGenFailure);
  EXPECT_TRUE(Contains(events.texts_of(102), "fdoData is empty"));
}

TEST_F(BootedTxr, AMissingVersionLeavesVersionZeroAndPreparationSucceeds) {
  TxrEvents events;
  sim::TesseraDevice device = defaults();
  device.registry.erase(u"TXRVersion");
  EXPECT_EQ(boot(device).status, 0);
  EXPECT_TRUE(Contains(events.texts_of(102), "QLXDetermineHWVersion failed"));
}

TEST_F(BootedTxr, MissingMasterOrPowerFlowValuesFailDeviceCreation) {
  const std::pair<const char16_t*, const char*> cases[] = {
      {u"ETWMasterBase", "QLXQueryRegKeyForMaster failed"},
      {u"ETWMasterEnd", "QLXQueryRegKeyForMaster failed"},
      {u"TXRAllwaysON", "QLXQueryRegKeyForPMFlow failed"},
  };
  for (const auto& [value, message] : cases) {
    sim::reset();
    TxrEvents events;
    sim::TesseraDevice device = defaults();
    device.registry.erase(value);
    const sim::BootResult result = boot(device);
    EXPECT_NE(result.status, 0);
    EXPECT_TRUE(Contains(events.texts_of(102), message)) << message;
    EXPECT_TRUE(txr_testing::txr_interface_path().empty());
    EXPECT_FALSE(sim::driver_loaded());  // a failed load leaves no driver
    EXPECT_TRUE(sim::outstanding_pool_allocations().empty());
  }
}

TEST_F(BootedTxr, AnExceptionInAnEntryPointReachesItsGuardsFilter) {
  TxrEvents events;
  sim::raise_next("WdfCmResourceListGetCount", kStatusAccessViolation);
  EXPECT_EQ(boot().status, kStatusAccessViolation);
  const auto errors = events.texts_of(102);
  const auto found = std::find_if(errors.begin(), errors.end(), [](const std::string& text) {
    return text.rfind("Exception Driver Function QLXEvtDevicePrepareHardware Exception code: c0000005 Exception Flag:",
                      0) == 0;
  });
  EXPECT_NE(found, errors.end());
}

TEST_F(BootedTxr, AFailedInterfaceCreationLeavesNothingBehind) {
  sim::fail_next_status("WdfDeviceCreateDeviceInterface", 1, kStatusUnsuccessful);
  EXPECT_EQ(boot().status, kStatusUnsuccessful);
  EXPECT_TRUE(txr_testing::txr_interface_path().empty());
}

}  // namespace
