// TXR loaded on the virtual target and its interface opened, once per fuzzing process:
// booting is the PnP sequence, far dearer than one input. `root`: the machine's folder (a
// folder in memory for targets that make a file per input), or a temporary one.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "sim/kernel.h"
#include "sim/sim.h"
#include "txr_driver.h"
#include "txr_user_client.h"

namespace txr_fuzzing {

inline txr_testing::TxrUserClient& BootedClient(std::optional<std::filesystem::path> root = std::nullopt) {
  static txr_testing::TxrUserClient& client = *[&root] {
    sim::reset(root);
    if (!sim::load_driver(sim::TesseraDevice::defaults(), DriverEntry).ok()) std::abort();
    auto* opened = new txr_testing::TxrUserClient;
    if (opened->open() != 0) std::abort();
    return opened;
  }();
  return client;
}

}  // namespace txr_fuzzing
