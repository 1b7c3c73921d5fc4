// A GUID held as its 16 bytes in memory order (as a record or an answer carries it, the first
// three fields little-endian) in the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
// Header only, for the host tools, which read such bytes from the wire and from captures.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace syst {

inline std::string guid_text(const std::array<std::uint8_t, 16>& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

}  // namespace syst
