#include "txr_boot.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <stdexcept>
#include <system_error>

#include "sim/kernel.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "tessera/model.h"
#include "txr_driver.h"

namespace conduit::target {

namespace fs = std::filesystem;

namespace {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

fs::path txr_manifest_path() {
  std::error_code error;
  const fs::path beside = fs::read_symlink("/proc/self/exe", error).parent_path() / "drivers" / "Orvix-Tessera.man";
  if (!error && fs::is_regular_file(beside, error)) return beside;
  return TXR_MANIFEST_SOURCE_PATH;
}

void install_txr_manifest() {
  const fs::path manifest = txr_manifest_path();
  const etw::InstallResult result = sim::install_provider_manifest(manifest);
  if (!result.ok()) throw std::runtime_error("manifest " + manifest.string() + " refused: " + result.detail);
}

std::string load_txr(bool acpi, std::ostream& out) {
  TxrBootOptions options;
  options.acpi = acpi;
  return load_txr(options, out);
}

std::string load_txr(const TxrBootOptions& options, std::ostream& out) {
  const sim::TesseraBus bus = options.acpi ? sim::TesseraBus::acpi : sim::TesseraBus::pci;
  sim::TesseraDevice device = sim::TesseraDevice::defaults(bus);
  device.registry[u"TXRAllwaysON"] = options.always_on ? 1 : 0;
  if (options.configuration_word) device.hardware.configuration_word = *options.configuration_word;
  const sim::BootResult result = sim::load_driver(device, DriverEntry);
  if (result.status != 0) {
    return "TXR did not start: " + result.failed_step + " failed with " +
           hex(static_cast<std::uint32_t>(result.status));
  }
  char word[24];
  std::snprintf(word, sizeof word, "0x%llX", static_cast<unsigned long long>(device.hardware.configuration_word));
  out << "conduit-target: TXR loaded for the Tessera (" << (bus == sim::TesseraBus::acpi ? "ACPI" : "PCI")
      << " device, " << (options.always_on ? "always on" : "powered off in sleep") << ", configuration word " << word
      << "); its provider Orvix-Tessera {C9CB79C1-31AD-4193-BD19-4D2A9018904C}" << std::endl;
  out << "conduit-target: the Tessera's trace port is captured under " << (sim::target_root() / "Tessera").string()
      << std::endl;
  return {};
}

bool unload_txr(std::ostream& out) {
  if (!sim::driver_loaded()) return true;
  const auto left = sim::unload_driver();
  // The host stops recording: the capture ends on a whole packet.
  if (const auto capture = tessera::model().close_capture()) {
    out << "conduit-target: Tessera capture " << capture->string() << std::endl;
  }
  for (const sim::PoolAllocation& allocation : left) {
    out << "conduit-target: TXR left " << allocation.size << " bytes of pool tagged " << hex(allocation.tag)
        << std::endl;
  }
  out << "conduit-target: TXR unloaded" << std::endl;
  return left.empty();
}

bool sleep_txr(bool hibernate, std::uint32_t asleep_ms, std::ostream& out) {
  const char* what = hibernate ? "hibernate (S4)" : "sleep (S3)";
  if (!sim::driver_loaded()) {
    out << "conduit-target: " << what << ": TXR is not loaded" << std::endl;
    return false;
  }
  tessera::model().flush_capture();
  const sim::BootResult result =
      sim::sleep_and_resume(hibernate ? sim::SystemSleep::hibernate : sim::SystemSleep::sleep,
                            [&] { std::this_thread::sleep_for(std::chrono::milliseconds(asleep_ms)); });
  if (!result.ok()) {
    out << "conduit-target: " << what << ": " << result.failed_step << " failed with "
        << hex(static_cast<std::uint32_t>(result.status))
        << (sim::driver_loaded() ? "" : "; TXR was removed") << std::endl;
    return false;
  }
  out << "conduit-target: " << what << ": TXR went to D3, the machine slept " << asleep_ms
      << " ms and woke; TXR is back in D0" << std::endl;
  return true;
}

void txr_debug_print(std::uint32_t component, std::uint32_t level, const std::string& text) {
  DbgPrintEx(component, level, "%s", text.c_str());
}

}  // namespace conduit::target
