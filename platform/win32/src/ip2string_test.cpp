#include <gtest/gtest.h>

#include <string>

#include "ip2string.h"

namespace {

struct Address {
  IN6_ADDR bytes;
  const char16_t* text;
};

// RFC 5952's forms as Windows writes them: lower case, no leading zeros, the longest run of
// two or more zero groups (the first of equal runs) as "::", dotted decimal for the embedded
// IPv4 address of compatible, mapped and ISATAP addresses.
TEST(Ip2String, WritesTheStandardTextForm) {
  const Address cases[] = {
      {{{{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}, u"2001:db8::1"},
      {{{{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x1A, 0x2B, 0xFF, 0xFE, 0x3C, 0x4D, 0x5E}}}, u"fe80::21a:2bff:fe3c:4d5e"},
      {{{{0}}}, u"::"},
      {{{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}}, u"::1"},
      {{{{0, 1, 0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}}}, u"1:0:2:3:4:5:6:7"},  // one zero group stays
      {{{{0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 3, 0, 4}}}, u"1::2:0:0:3:4"},      // the first of equal runs
      {{{{0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}}, u"1:2::"},
      {{{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 20}}}, u"::ffff:192.168.1.20"},
      {{{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1}}}, u"::10.0.0.1"},
      {{{{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x5E, 0xFE, 10, 1, 2, 3}}}, u"fe80::5efe:10.1.2.3"},
      {{{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}},
       u"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Address& address : cases) {
    WCHAR text[46];
    const PWSTR end = RtlIpv6AddressToStringW(&address.bytes, text);
    EXPECT_EQ(std::u16string(text), address.text);
    EXPECT_EQ(end, text + std::u16string(address.text).size());
    EXPECT_EQ(*end, u'\0');
  }
}

}  // namespace
