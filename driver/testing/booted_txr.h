// BootedTxr: a fresh virtual target per test with the Tessera device, and TXR loaded for it
// by `boot`. The fixture unloads the driver at the end and fails the test when the driver
// left pool allocations behind.
#pragma once

#include <gtest/gtest.h>

#include <ntddk.h>

#include "sim/kernel.h"
#include "sim/sim.h"
#include "tessera/model.h"
#include "txr_driver.h"

namespace txr_testing {

class BootedTxr : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }

  void TearDown() override {
    if (sim::driver_loaded()) {
      const auto left = sim::unload_driver();
      EXPECT_TRUE(left.empty()) << left.size() << " pool allocations left at unload";
    }
    sim::reset();
  }

  static sim::TesseraDevice defaults(sim::TesseraBus bus = sim::TesseraBus::pci) {
    return sim::TesseraDevice::defaults(bus);
  }

  sim::BootResult boot(const sim::TesseraDevice& device = sim::TesseraDevice::defaults()) {
    return sim::load_driver(device, DriverEntry);
  }

  // The channel window's offset in the aperture, for the model's store log.
  static std::uint64_t channel_offset(std::uint32_t master, std::uint32_t channel,
                                      const tessera::Config& config = tessera::Config{}) {
    return ((std::uint64_t{master} - config.first_master) * config.channels_per_master + channel) * 64;
  }
};

}  // namespace txr_testing
