// A machine root in tmpfs for the benchmarks that write trace files: the page cache without
// a disk file system's block allocation behind it, so that the numbers show the code rather
// than the disk. Empty (and the machine keeps its own temporary root) when there is no
// /dev/shm. The folder is removed when the object goes.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace bench_support {

struct ShmRoot {
  std::filesystem::path path;
  explicit ShmRoot(const std::string& prefix) {
    if (std::filesystem::is_directory("/dev/shm")) {
      path = std::filesystem::path("/dev/shm") / (prefix + "-" + std::to_string(::getpid()));
      std::filesystem::create_directories(path);
    }
  }
  ~ShmRoot() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  ShmRoot(const ShmRoot&) = delete;
  ShmRoot& operator=(const ShmRoot&) = delete;
};

}  // namespace bench_support
