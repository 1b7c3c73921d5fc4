// The path a sink reports (a Windows string whose root the virtual target has already placed
// on the host, with '\' separators) as the host path a test opens. Nothing is resolved: a bare
// file name stays a bare file name.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sim {

inline std::filesystem::path host_path_of(std::u16string_view windows) {
  std::string narrow;
  for (char16_t c : windows) narrow.push_back(c == u'\\' ? '/' : static_cast<char>(c));
  return narrow;
}

}  // namespace sim
