// The Tessera across sleep and hibernation: the stores each power sequence makes, in order,
// for the configuration words and hardware versions that choose their steps; the bounded
// waits; the hibernation path of the debug-output capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "booted_txr.h"
#include "power.h"
#include "txr_events.h"
#include "txr_user_client.h"

namespace {

using txr_testing::BootedTxr;
using txr_testing::TxrEvents;
using Stores = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // CSR offset, value

constexpr std::int32_t kStatusIoTimeout = static_cast<std::int32_t>(0xC00000B5);
constexpr std::uint64_t kSoCHAP = 0x5000, kCts = 0x3000, kTscu = 0x2000, kMsc = 0xA0000, kQlxh = 0xA1000;

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

void Set(std::uint64_t offset, std::uint32_t value) { tessera::model().set_register(tessera::Window::csr, offset, value); }
std::uint32_t Get(std::uint64_t offset) { return tessera::model().register_value(tessera::Window::csr, offset); }

// The CSR stores since the log was last cleared.
Stores CsrStores() {
  Stores out;
  for (const tessera::Store& store : tessera::model().store_log()) {
    if (store.window == tessera::Window::csr) out.emplace_back(store.offset, store.value);
  }
  return out;
}

// `count` registers from `base` written back with the values `value(i)` gives.
template <typename Value>
void Bulk(Stores& stores, std::uint64_t base, std::uint32_t count, Value value) {
  for (std::uint32_t i = 0; i < count; ++i) stores.emplace_back(base + 4 * i, value(i));
}

class PowerSequences : public BootedTxr {
 protected:
  void TearDown() override {
    TxrPowerSetWaitTimeout(TXR_POWER_WAIT_TIMEOUT_US);
    BootedTxr::TearDown();
  }

  static sim::TesseraDevice Device(std::uint64_t word, std::uint32_t version, std::uint32_t alwaysOn = 0,
                                   sim::TesseraBus bus = sim::TesseraBus::pci) {
    sim::TesseraDevice device = defaults(bus);
    device.hardware.configuration_word = word;
    device.registry[u"TXRVersion"] = version;
    device.registry[u"TXRAllwaysON"] = alwaysOn;
    return device;
  }

  // Distinct values in the registers the sequences save, so that a restore shows which
  // value went where.
  static void FillSavedRegisters() {
    for (std::uint32_t i = 0; i < TXR_SOCHAP_REGISTERS; ++i) Set(kSoCHAP + 4 * i, 0x50000000 + i);
    Set(kSoCHAP, 0x2000);  // SoCHAP control: bit 13, so the save disables it (bit 15)
    for (std::uint32_t i = 0; i < TXR_CTS_REGISTERS; ++i) Set(kCts + 4 * i, 0x30000000 + i);
    Set(kCts + 0x2A4, 0x11);
    for (std::uint32_t i = 0; i < TXR_SWDEST_REGISTERS; ++i) Set(0x08 + 4 * i, 0xD0000000 + i);
    Set(kTscu, 0x10);
    for (std::uint64_t offset : {0x100, 0x200, 0x108, 0x208, 0x10C, 0x20C, 0x1FC, 0x2FC, 0x11C, 0x21C}) {
      Set(kMsc + offset, 0xC000 + static_cast<std::uint32_t>(offset));
    }
  }

  // The registers a powered-off block forgets.
  static void LosePower() {
    for (std::uint32_t i = 0; i < TXR_SOCHAP_REGISTERS; ++i) Set(kSoCHAP + 4 * i, 0);
    for (std::uint32_t i = 0; i < TXR_CTS_REGISTERS; ++i) Set(kCts + 4 * i, 0);
    for (std::uint32_t i = 0; i < TXR_SWDEST_REGISTERS; ++i) Set(0x08 + 4 * i, 0);
    Set(kTscu, 0);
  }

  // Sleeps; the CSR stores of D0 exit and of D0 entry apart.
  std::pair<Stores, Stores> SleepAndWake(sim::SystemSleep kind = sim::SystemSleep::sleep, bool losePower = true) {
    tessera::model().clear_store_log();
    Stores exit;
    result = sim::sleep_and_resume(kind, [&] {
      exit = CsrStores();
      if (losePower) LosePower();
      tessera::model().clear_store_log();
    });
    return {exit, CsrStores()};
  }

  sim::BootResult result;
};

// The D0 entry stores of a whole QLXSxExit (without MSC) after FillSavedRegisters.
Stores ExitRestores(std::uint32_t tscu, bool crossCorrelation, bool keepOff, std::uint64_t word) {
  Stores expected = {{0xE0, static_cast<std::uint32_t>(word)}, {0xE4, word >> 32}, {0xE8, 0}, {0xEC, 0}};
  if (keepOff) expected.emplace_back(0xD8, 0x00FC0001);
  expected.emplace_back(kTscu, tscu);
  if (crossCorrelation) expected.emplace_back(kTscu, tscu | 0x8);
  Bulk(expected, kSoCHAP, TXR_SOCHAP_REGISTERS, [](std::uint32_t i) { return i == 0 ? 0xA000u : 0x50000000u + i; });
  return expected;
}

void AppendCtsSwDestAndTracing(Stores& expected, std::uint32_t tscuAfter, bool crossCorrelation) {
  Bulk(expected, kCts, TXR_CTS_REGISTERS, [](std::uint32_t i) { return i == 0x2A4 / 4 ? 0x11u : 0x30000000u + i; });
  Bulk(expected, 0x08, TXR_SWDEST_REGISTERS, [](std::uint32_t i) { return 0xD0000000u + i; });
  expected.emplace_back(0xD8, 0);
  if (crossCorrelation) expected.emplace_back(kTscu, tscuAfter | 0x2);
}

TEST_F(PowerSequences, BootRunsNoRestoreWithoutASave) {
  ASSERT_EQ(boot(Device(0x4, 0x10001)).status, 0);
  EXPECT_TRUE(CsrStores().empty()) << "D0 entry at boot found no save and wrote nothing";
}

TEST_F(PowerSequences, SleepParksTheBlockAndWakeRestoresItInReverseOrder_Destination2) {
  ASSERT_EQ(boot(Device(0x4, 0x10001)).status, 0);
  FillSavedRegisters();
  TxrEvents events;
  const auto [exit, entry] = SleepAndWake();
  ASSERT_TRUE(result.ok()) << result.failed_step;
  const Stores expectedExit = {
      {kSoCHAP, 0xA000},                                       // SoCHAP disabled (bit 15)
      {kTscu, 0x12},                                           // cross-correlation packet
      {kCts + 0x2A4, 0x40011}, {kCts + 0x2A4, 0x11}, {kCts + 0x2A4, 0x10},  // CTS pulse, disable
      {0xD8, 0x00FC0001},                                      // every source off
      {kTscu, 0x17},                                           // TSCU saved, bits 0 and 2
      {0x98, 0x1},                                             // parked
  };
  EXPECT_EQ(exit, expectedExit);
  Stores expectedEntry = ExitRestores(0x12, true, true, 0x4);
  AppendCtsSwDestAndTracing(expectedEntry, 0x1A, true);
  EXPECT_EQ(entry, expectedEntry);
  EXPECT_EQ(Get(0x08), 0xD0000000u) << "the software destinations survive the power loss";
  EXPECT_EQ(Get(0x88), 0xD0000020u);
  EXPECT_EQ(Get(kCts + 0x2A4), 0x11u) << "the CTS runs again";
  EXPECT_EQ(Get(0xD8), 0u) << "tracing runs again";
  EXPECT_TRUE(events.texts_of(102).empty());
}

TEST_F(PowerSequences, TheMemoryControllerDestinationDrainsSavesAndRestoresTheMsc) {
  ASSERT_EQ(boot(Device(0x1 | 0x200 | 0x400, 0x10000)).status, 0);
  FillSavedRegisters();
  Set(kSoCHAP, 0x1);  // bit 13 clear: the SoCHAP is saved as it is
  Set(kMsc + 0x104, 0x20);  // controller 0 busy (state 2) until the sources stop
  const auto [exit, entry] = SleepAndWake();
  ASSERT_TRUE(result.ok()) << result.failed_step;
  const Stores expectedExit = {
      {kTscu, 0x12}, {kCts + 0x2A4, 0x40011}, {kCts + 0x2A4, 0x11}, {kCts + 0x2A4, 0x10}, {0xD8, 0x00FC0001},
      {kMsc + 0x100, 0xC100 & ~1u}, {kMsc + 0x200, 0xC200 & ~1u},  // both controllers disabled
      {kTscu, 0x17}, {0x98, 0x1},
  };
  EXPECT_EQ(exit, expectedExit);
  Stores expectedEntry = {{0xE0, 0x601}, {0xE4, 0}, {0xE8, 0}, {0xEC, 0}, {kTscu, 0x12}, {kTscu, 0x1A}};
  Bulk(expectedEntry, kSoCHAP, TXR_SOCHAP_REGISTERS, [](std::uint32_t i) { return i == 0 ? 0x1u : 0x50000000u + i; });
  for (auto [to, from] : {std::pair{0x10C, 0x10C}, {0x20C, 0x20C}, {0x1FC, 0x1FC}, {0x2FC, 0x2FC}, {0x108, 0x11C}, {0x208, 0x21C}}) {
    expectedEntry.emplace_back(kMsc + to, 0xC000u + from);
  }
  AppendCtsSwDestAndTracing(expectedEntry, 0x1A, true);
  EXPECT_EQ(entry, expectedEntry);
}

TEST_F(PowerSequences, DestinationBitsAreTriedTwoThenThreeThenOne) {
  // A wedged block whose QLXH and status bit 0 say idle but whose idle block stays busy:
  // destination 2 never gets there, 3 and 4 do.
  const std::pair<std::uint64_t, bool> cases[] = {{0x4, false}, {0xC, false}, {0x8, true}, {0xA, true}, {0x2, true}};
  for (const auto& [word, passes] : cases) {
    sim::reset();
    TxrPowerSetWaitTimeout(1000);
    ASSERT_EQ(boot(Device(word, 1)).status, 0);
    tessera::model().set_drain_stalled(true);
    Set(0x1C00, 0x80000000);
    Set(0xD4, 0x1);
    Set(kQlxh, 0x8000000);
    TxrEvents events;
    SleepAndWake(sim::SystemSleep::sleep, false);
    EXPECT_EQ(Contains(events.texts_of(102), "QLXWaitUntilIdle failed"), !passes) << std::hex << word;
    sim::unload_driver();
  }
}

TEST_F(PowerSequences, NoPrimaryDestinationFailsTheSleepAfterTheCtsAndSourcesAndTheWakeStillRestores) {
  ASSERT_EQ(boot(Device(0x100, 1)).status, 0);
  FillSavedRegisters();
  TxrEvents events;
  const auto [exit, entry] = SleepAndWake();
  const Stores expectedExit = {{kSoCHAP, 0xA000}, {kCts + 0x2A4, 0x40011}, {kCts + 0x2A4, 0x11},
                               {kCts + 0x2A4, 0x10}, {0xD8, 0x00FC0001}};
  EXPECT_EQ(exit, expectedExit) << "nothing after the sources went off";
  ASSERT_TRUE(result.ok()) << "the wake brought the device back: " << result.failed_step;
  Stores expectedEntry = {{0xE0, 0x100}, {0xE4, 0}, {0xE8, 0}, {0xEC, 0}};  // no TSCU: never saved
  Bulk(expectedEntry, kSoCHAP, TXR_SOCHAP_REGISTERS, [](std::uint32_t i) { return i == 0 ? 0xA000u : 0x50000000u + i; });
  AppendCtsSwDestAndTracing(expectedEntry, 0, false);
  EXPECT_EQ(entry, expectedEntry);
  const auto errors = events.texts_of(102);
  EXPECT_TRUE(Contains(errors, "Primary destination is not set"));
  EXPECT_TRUE(Contains(errors, "QLXSxEntry failed"));
  EXPECT_TRUE(Contains(events.texts_of(100), "QLXSxExit: QLXSxEntry did not finish; restoring what it saved"));
}

TEST_F(PowerSequences, VersionDependentStepsFollowTheHardwareVersion) {
  struct Case {
    std::uint32_t version;
    bool crossCorrelation;
    bool keepOff;
  };
  for (const Case& c : {Case{0x10000, true, false}, Case{0x10001, true, true}, Case{0x10002, false, true},
                        Case{0xFFFF, false, false}}) {
    sim::reset();
    ASSERT_EQ(boot(Device(0x4, c.version)).status, 0);
    FillSavedRegisters();
    const auto [exit, entry] = SleepAndWake();
    const std::uint32_t tscu = c.crossCorrelation ? 0x12 : 0x10;
    EXPECT_EQ(exit[1], (std::pair<std::uint64_t, std::uint64_t>{c.crossCorrelation ? kTscu : kCts + 0x2A4,
                                                                 c.crossCorrelation ? 0x12 : 0x40011}))
        << std::hex << c.version;
    Stores expectedEntry = ExitRestores(tscu, c.crossCorrelation, c.keepOff, 0x4);
    AppendCtsSwDestAndTracing(expectedEntry, tscu | 0x8, c.crossCorrelation);
    EXPECT_EQ(entry, expectedEntry) << std::hex << c.version;
    sim::unload_driver();
  }
}

TEST_F(PowerSequences, AlwaysOnWithMscAndBit8OnlySetsBusMaster) {
  sim::TesseraDevice device = Device(0x1 | 0x100 | 0x20, 1, 1);
  device.pci_config[4] = 0x12;  // bus master off
  ASSERT_EQ(boot(device).status, 0);
  const auto [exit, entry] = SleepAndWake(sim::SystemSleep::sleep, false);
  ASSERT_TRUE(result.ok());
  EXPECT_TRUE(exit.empty());
  EXPECT_TRUE(entry.empty());
  const auto config = sim::tessera_pci_config();
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ((*config)[4], 0x16) << "bus master enabled, the other bits kept";
}

TEST_F(PowerSequences, AlwaysOnWithMscAndBit5StopsQlxhAndTheControllersOnBothTransitions) {
  ASSERT_EQ(boot(Device(0x1 | 0x20, 1, 1)).status, 0);
  Set(kQlxh, 0x10000001);
  Set(kMsc + 0x100, 0x3);
  Set(kMsc + 0x200, 0x5);
  TxrEvents events;
  const auto [exit, entry] = SleepAndWake(sim::SystemSleep::sleep, false);
  ASSERT_TRUE(result.ok());
  const Stores expected = {{0xD8, 0xFE}, {kQlxh, 0x8000001}, {kMsc + 0x100, 0x2}, {kMsc + 0x200, 0x4}, {0xD8, 0}};
  EXPECT_EQ(exit, expected);
  const Stores expectedEntry = {{0xD8, 0xFE}, {kQlxh, 0x8000001}, {kMsc + 0x100, 0x2}, {kMsc + 0x200, 0x4}, {0xD8, 0}};
  EXPECT_EQ(entry, expectedEntry);
  const auto info = events.texts_of(100);
  EXPECT_EQ(std::count(info.begin(), info.end(), "QLX PCI DEVICE Sx Exit Call"), 2) << "D0 exit and D0 entry";
}

TEST_F(PowerSequences, AlwaysOnWithDestinationBit1AndBit5FlushesQlxhAndSwitchesItToDbc) {
  ASSERT_EQ(boot(Device(0x2 | 0x20, 1, 1)).status, 0);
  Set(kQlxh, 0x10000001);
  const auto [exit, entry] = SleepAndWake(sim::SystemSleep::sleep, false);
  ASSERT_TRUE(result.ok());
  const Stores expected = {{0xD8, 0xFE},           {kQlxh, 0x1C000001}, {kQlxh, 0x18000001},
                           {kQlxh, 0x18000000},    {0xD8, 0}};
  EXPECT_EQ(exit, expected);
}

TEST_F(PowerSequences, AlwaysOnAcpiDeviceRunsNoSequence) {
  ASSERT_EQ(boot(Device(0x1 | 0x20, 1, 1, sim::TesseraBus::acpi)).status, 0);
  const auto [exit, entry] = SleepAndWake(sim::SystemSleep::hibernate, false);
  ASSERT_TRUE(result.ok());
  EXPECT_TRUE(exit.empty());
  EXPECT_TRUE(entry.empty());
}

TEST_F(PowerSequences, AWedgedDrainFailsTheSleepWithinTheBoundAndTheWakeRestoresTracing) {
  TxrPowerSetWaitTimeout(2000);
  ASSERT_EQ(boot(Device(0x1 | 0x200, 1)).status, 0);
  tessera::model().set_drain_stalled(true);
  TxrEvents events;
  const auto [exit, entry] = SleepAndWake(sim::SystemSleep::sleep, false);
  ASSERT_TRUE(result.ok()) << result.failed_step;
  ASSERT_FALSE(exit.empty());
  EXPECT_EQ(exit.back(), (std::pair<std::uint64_t, std::uint64_t>{0xD8, 0x00FC0001})) << "stopped at the wait";
  EXPECT_EQ(entry.back(), (std::pair<std::uint64_t, std::uint64_t>{0xD8, 0})) << "tracing runs again";
  const auto errors = events.texts_of(102);
  EXPECT_TRUE(Contains(errors, "QLXWaitUntilMSCBuffers: timed out after 2000 us waiting for status bits 0 and 1"));
  EXPECT_TRUE(Contains(errors, "QLXWaitUntilMSCBuffers failed"));
  EXPECT_TRUE(Contains(errors, "QLXSxEntry failed"));
}

TEST_F(PowerSequences, EachMscWaitIsBoundedOnItsOwn) {
  TxrPowerSetWaitTimeout(1000);
  struct Case {
    std::uint32_t status0, status1;  // controller 0 and 1: drained (bit 2), state machine (bits 4-7)
    const char* message;
  };
  const Case cases[] = {
      {0x4, 0x0, "QLXWaitUntilMSCBuffers: timed out after 1000 us waiting for memory controller 1 to drain"},
      {0x24, 0x4, "QLXWaitUntilMSCFSMIdle: timed out after 1000 us waiting for memory controller 0's state machine to idle"},
      {0x54, 0x14, "QLXWaitUntilMSCFSMIdle: timed out after 1000 us waiting for memory controller 1's state machine to idle"},
  };
  for (const auto& [status0, status1, message] : cases) {
    sim::reset();
    ASSERT_EQ(boot(Device(0x1 | 0x200 | 0x400, 1)).status, 0);
    tessera::model().set_drain_stalled(true);
    Set(0xD4, 0x3);
    Set(kMsc + 0x104, status0);
    Set(kMsc + 0x204, status1);
    TxrEvents events;
    SleepAndWake(sim::SystemSleep::sleep, false);
    EXPECT_TRUE(Contains(events.texts_of(102), message)) << message;
    sim::unload_driver();
  }
}

TEST_F(PowerSequences, AWedgedQlxhFlushFailsTheAlwaysOnWakeAndDropsTheFlushRequest) {
  TxrPowerSetWaitTimeout(1000);
  ASSERT_EQ(boot(Device(0x2 | 0x20, 1, 1)).status, 0);
  tessera::model().set_drain_stalled(true);
  Set(0xD4, 0x1);  // the sources stop; the flush never ends
  TxrEvents events;
  const auto [exit, entry] = SleepAndWake(sim::SystemSleep::sleep, false);
  EXPECT_EQ(result.status, kStatusIoTimeout);
  EXPECT_EQ(result.failed_step, "EvtDeviceD0Entry");
  ASSERT_GE(exit.size(), 3u);
  EXPECT_EQ(exit[2], (std::pair<std::uint64_t, std::uint64_t>{kQlxh, 0})) << "the flush request is withdrawn";
  const auto errors = events.texts_of(102);
  EXPECT_TRUE(Contains(errors, "QLXFlushQLXH failed"));
  EXPECT_TRUE(Contains(errors, "QLXSxExitAlwaysOn failed"));
}

TEST_F(PowerSequences, HibernationSwitchesDebugOutputOffAndBackOn) {
  ASSERT_EQ(boot().status, 0);
  txr_testing::TxrUserClient client;
  ASSERT_EQ(client.open(), 0u);
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_OUTPUT, {}), 0u);
  // Component 77, levels 0 and 5 (a mask of all ones would read as "no mask saved").
  const std::vector<std::uint8_t> filter = {1, 0, 0, 0, 77, 0, 0, 0, 0x21, 0, 0, 0};
  ASSERT_EQ(client.control(IOCTL_TXR_ENABLE_DEBUG_FLAGS, filter), 0u);
  const auto debugStores = [] {
    const auto log = tessera::model().store_log();
    return std::count_if(log.begin(), log.end(), [](const tessera::Store& s) { return s.master == TXR_DEBUG_MASTER; });
  };
  TxrEvents events;
  long whileAsleep = -1;
  result = sim::sleep_and_resume(sim::SystemSleep::hibernate, [&] {
    tessera::model().clear_store_log();
    DbgPrintEx(77, 0, "while hibernating");
    whileAsleep = debugStores();
  });
  ASSERT_TRUE(result.ok()) << result.failed_step;
  EXPECT_EQ(whileAsleep, 0) << "no capture while the machine hibernates";
  tessera::model().clear_store_log();
  DbgPrintEx(77, 0, "after the wake");
  EXPECT_GT(debugStores(), 0) << "captured again after the wake";
  const auto info = events.texts_of(100);
  EXPECT_TRUE(Contains(info, "Entering To System Hybernate"));
  EXPECT_TRUE(Contains(info, "[PowerCycle]Disabling Dbgoutput flags,DbgSetDebugPrintCallback"));
  EXPECT_TRUE(Contains(info, "Wake from System Hybernate"));
  EXPECT_TRUE(Contains(info, "[PowerCycle]Enabling DbgSetDebugPrintCallback"));
}

TEST_F(PowerSequences, SleepLeavesDebugOutputAlone) {
  ASSERT_EQ(boot().status, 0);
  TxrEvents events;
  ASSERT_TRUE(sim::sleep_and_resume(sim::SystemSleep::sleep).ok());
  const auto info = events.texts_of(100);
  EXPECT_FALSE(Contains(info, "Entering To System Hybernate"));
  EXPECT_FALSE(Contains(info, "Wake from System Hybernate"));
}

}  // namespace
