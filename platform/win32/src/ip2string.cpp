// ntdll's RtlIpv6AddressToStringW, the one ntdll routine the deliverables look up.
#include "ip2string.h"

#include <cstdio>

namespace {

// Whether the last 32 bits are an IPv4 address written in dotted decimal: IPv4-compatible
// (::w.x.y.z, but not :: or ::1, which stay hexadecimal), IPv4-mapped (::ffff:w.x.y.z) and
// ISATAP (interface identifier 0:5efe or 200:5efe followed by the IPv4 address).
bool ends_in_ipv4(const UCHAR* bytes) {
  bool first_ten_zero = true;
  for (int i = 0; i < 10; ++i) first_ten_zero = first_ten_zero && bytes[i] == 0;
  if (first_ten_zero && bytes[10] == 0xFF && bytes[11] == 0xFF) return true;
  if (first_ten_zero && bytes[10] == 0 && bytes[11] == 0) return bytes[12] != 0 || bytes[13] != 0;
  return (bytes[8] == 0 || bytes[8] == 0x02) && bytes[9] == 0 && bytes[10] == 0x5E && bytes[11] == 0xFE;
}

}  // namespace

PWSTR NTAPI RtlIpv6AddressToStringW(const IN6_ADDR* Addr, PWSTR S) {
  const UCHAR* bytes = Addr->u.Byte;
  const bool dotted = ends_in_ipv4(bytes);
  const int groups = dotted ? 6 : 8;
  unsigned group[8];
  for (int i = 0; i < 8; ++i) group[i] = unsigned{bytes[2 * i]} << 8 | bytes[2 * i + 1];
  // The longest run of zero groups, the first of equal ones; a single zero group stays.
  int run_start = -1, run_length = 1;
  for (int i = 0; i < groups;) {
    int j = i;
    while (j < groups && group[j] == 0) ++j;
    if (j - i > run_length) {
      run_start = i;
      run_length = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  char text[64];
  int at = 0;
  for (int i = 0; i < groups; ++i) {
    if (i == run_start) {
      at += std::snprintf(text + at, sizeof text - static_cast<unsigned>(at), "::");
      i += run_length - 1;
      continue;
    }
    const bool after_gap = i > 0 && i == run_start + run_length;
    at += std::snprintf(text + at, sizeof text - static_cast<unsigned>(at), i == 0 || after_gap ? "%x" : ":%x",
                        group[i]);
  }
  if (dotted) {
    const bool after_gap = run_start >= 0 && run_start + run_length == groups;
    at += std::snprintf(text + at, sizeof text - static_cast<unsigned>(at), after_gap ? "%u.%u.%u.%u" : ":%u.%u.%u.%u",
                        unsigned{bytes[12]}, unsigned{bytes[13]}, unsigned{bytes[14]}, unsigned{bytes[15]});
  }
  for (int i = 0; i < at; ++i) S[i] = static_cast<WCHAR>(text[i]);
  S[at] = 0;
  return S + at;
}
