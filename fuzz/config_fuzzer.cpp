// Feeds arbitrary bytes, as an administrator's editor could leave them, to the service as
// its configuration file ("Conduit.exe.config" beside the executable). Whatever the file
// holds, reading it must neither crash nor hang nor blow up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "configuration_manager.h"
#include "log_writer.h"
#include "sim/sim.h"

namespace {

std::filesystem::path ConfigPath() {
  static const std::filesystem::path path = [] {
    // Quiet log, and a machine root in memory when there is one: the file is written for
    // every input.
    SetLogLevel("4");
    if (std::filesystem::is_directory("/dev/shm")) {
      const std::filesystem::path root = std::filesystem::path("/dev/shm") / "conduit-config-fuzzer";
      sim::reset(root);
    } else {
      sim::reset();
    }
    const std::filesystem::path folder = sim::target_root() / "bin";
    std::filesystem::create_directories(folder);
    sim::set_module_path(folder / "Conduit.exe");
    return folder / "Conduit.exe.config";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path path = ConfigPath();
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const ConfigurationManager configuration;
  // Whatever the file declares (entities included), what it yields stays near its own size:
  // no expansion of a small file into a great many settings.
  std::size_t yielded = 0;
  for (const auto& [key, value] : configuration.Settings()) yielded += key.size() + value.size();
  if (yielded > 64 * (size + 1024)) std::abort();
  return 0;
}
