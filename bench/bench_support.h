// What the benchmark programs share: the process's memory (heap in use and resident set),
// and whether a trace sink has let go of its file.
#pragma once

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "windows.h"

namespace bench_support {

inline constexpr double kMiB = 1024.0 * 1024.0;

struct Memory {
  double heap = 0;  // bytes in use: arenas and mmapped blocks
  double rss = 0;
};

inline Memory MemoryNow() {
  Memory memory;
  const struct mallinfo2 info = mallinfo2();
  memory.heap = static_cast<double>(info.uordblks + info.hblkhd);
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) memory.rss = std::strtod(line.c_str() + 6, nullptr) * 1024.0;
  }
  return memory;
}

inline std::string MiB(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", bytes / kMiB);
  return text;
}

// The sinks hold their files open for writing, sharing only reading: an open that refuses
// writers succeeds once the sink has let go of the file, after its last bytes.
inline bool FileClosed(const std::filesystem::path& path) {
  std::u16string name;
  for (char c : path.string()) name.push_back(static_cast<char16_t>(c));
  HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

}  // namespace bench_support
