// Shared helpers of the service's tests: a clean virtual target per test with the log
// pointed into it (read through LogFile) and the configuration file beside the executable.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "configuration_manager.h"
#include "log_writer.h"
#include "sim/sim.h"
#include "testing/log_file.h"

namespace host_testing {

// Threads the process runs now, the test's own included: a thread that ended is gone from
// the count, which tests wait on to know that a thread has ended, not just been told to.
inline std::size_t ProcessThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// Each test starts on a clean machine: a fresh target root that is also the working
// directory (where the backup log lands), the log inside it at threshold 0, and the
// executable placed at <root>/bin/Conduit.exe with the configuration file an installation
// ships beside it, <root>/bin/Conduit.exe.config, holding no settings (RemoveConfig() takes
// it away).
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    root_ = sim::target_root();
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(root_);
    log_.emplace();
    logPath_ = log_->Path();
    std::filesystem::create_directories(root_ / "bin");
    sim::set_module_path(root_ / "bin" / "Conduit.exe");
    WriteConfig("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>\n</configuration>\n");
  }

  void TearDown() override {
    SetLogLevel("0");
    std::filesystem::current_path(previousDirectory_);
  }

  std::filesystem::path ConfigPath() const { return root_ / "bin" / "Conduit.exe.config"; }

  void WriteConfig(const std::string& xml) const { WriteWholeFile(ConfigPath(), xml); }

  void RemoveConfig() const { std::filesystem::remove(ConfigPath()); }

  // A configuration whose appSettings hold exactly the given add elements.
  void WriteAppSettings(const std::string& adds) const {
    WriteConfig("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<configuration>\n  <appSettings>\n" + adds +
                "  </appSettings>\n</configuration>\n");
  }

  std::string Log() const { return log_->Read(); }

  std::filesystem::path root_;
  std::optional<LogFile> log_;
  std::filesystem::path logPath_;
  std::filesystem::path previousDirectory_;
};

}  // namespace host_testing
