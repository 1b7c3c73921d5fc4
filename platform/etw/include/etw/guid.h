// The GUID as the ETW runtime and catalog keep it: the same 16 bytes as Windows' GUID
// (Data1 to Data4, little-endian fields), so the surfaces copy it with memcpy.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>

namespace etw {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  friend bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }
  friend bool operator<(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) < 0; }
  bool is_zero() const { return *this == Guid{}; }
};
static_assert(sizeof(Guid) == 16);

struct GuidHash {
  std::size_t operator()(const Guid& g) const noexcept {
    std::uint64_t parts[2];
    std::memcpy(parts, &g, sizeof parts);
    return std::hash<std::uint64_t>{}(parts[0] * 0x9E3779B97F4A7C15ull ^ parts[1]);
  }
};

}  // namespace etw
