// TXR on the virtual target: the driver's manifest in the provider catalog, the Tessera
// device booted with the driver loaded for it, and the unload that reports pool the driver
// left behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

namespace conduit::target {

// Orvix-Tessera.man beside the executable (drivers/), or the source tree's copy.
std::filesystem::path txr_manifest_path();
void install_txr_manifest();

// Boots the Tessera (a PCI function, or an ACPI device) and loads TXR for it; prints what it did to `out`. Returns an
// empty text, or what failed.
std::string load_txr(bool acpi, std::ostream& out);

// Unloads TXR, flushes the capture and prints where it is; false when the driver left pool
// allocations behind (each one printed).
bool unload_txr(std::ostream& out);

// A kernel debug print on the calling thread's processor, as a driver would make it.
void txr_debug_print(std::uint32_t component, std::uint32_t level, const std::string& text);

}  // namespace conduit::target
