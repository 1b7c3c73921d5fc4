// TXR on the virtual target: the driver's manifest in the provider catalog, the Tessera
// device booted with the driver loaded for it, and the unload that reports pool the driver
// left behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

namespace conduit::target {

// Orvix-Tessera.man beside the executable (drivers/), or the source tree's copy.
std::filesystem::path txr_manifest_path();
void install_txr_manifest();

// How the Tessera boots: its bus, the driver's "TXRAllwaysON" value, and the configuration
// word the platform's firmware leaves in its scratchpad (none: the model's default).
struct TxrBootOptions {
  bool acpi = false;
  bool always_on = false;
  std::optional<std::uint64_t> configuration_word;
};

// Boots the Tessera (a PCI function, or an ACPI device) and loads TXR for it; prints what it did to `out`. Returns an
// empty text, or what failed.
std::string load_txr(bool acpi, std::ostream& out);
std::string load_txr(const TxrBootOptions& options, std::ostream& out);

// A system sleep (S3) or hibernation (S4) of `asleep_ms` milliseconds and the wake; prints
// what happened to `out`. False when TXR is not loaded or a transition failed.
bool sleep_txr(bool hibernate, std::uint32_t asleep_ms, std::ostream& out);

// Unloads TXR, flushes the capture and prints where it is; false when the driver left pool
// allocations behind (each one printed).
bool unload_txr(std::ostream& out);

// A kernel debug print on the calling thread's processor, as a driver would make it.
void txr_debug_print(std::uint32_t component, std::uint32_t level, const std::string& text);

}  // namespace conduit::target
