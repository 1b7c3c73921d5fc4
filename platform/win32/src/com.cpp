#include <cstdio>

#include "objbase.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "winbase.h"

namespace {

constexpr std::size_t kGuidTextLength = 38;  // {8-4-4-4-12}

int hex_value(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at `text`; false on anything that is not one.
bool read_hex(LPCOLESTR text, int digits, std::uint64_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = hex_value(text[i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  return true;
}

}  // namespace

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (auto fault = platform::take_fault("StringFromCLSID")) return static_cast<HRESULT>(*fault);
  if (lplpsz == nullptr) return E_INVALIDARG;
  char text[kGuidTextLength + 1];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(rclsid.Data1), rclsid.Data2, rclsid.Data3, rclsid.Data4[0], rclsid.Data4[1],
                rclsid.Data4[2], rclsid.Data4[3], rclsid.Data4[4], rclsid.Data4[5], rclsid.Data4[6], rclsid.Data4[7]);
  auto* wide = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidTextLength + 1) * sizeof(WCHAR)));
  if (wide == nullptr) {
    *lplpsz = nullptr;
    return E_OUTOFMEMORY;
  }
  for (std::size_t i = 0; i <= kGuidTextLength; ++i) wide[i] = static_cast<WCHAR>(text[i]);
  *lplpsz = wide;
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (auto fault = platform::take_fault("CLSIDFromString")) return static_cast<HRESULT>(*fault);
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) return CO_E_CLASSSTRING;
  // The text is checked character by character up to its terminator, so a short string is
  // never read past its end.
  std::size_t length = 0;
  while (length <= kGuidTextLength && lpsz[length] != 0) ++length;
  if (length != kGuidTextLength || lpsz[0] != u'{' || lpsz[37] != u'}' || lpsz[9] != u'-' || lpsz[14] != u'-' ||
      lpsz[19] != u'-' || lpsz[24] != u'-') {
    return CO_E_CLASSSTRING;
  }
  std::uint64_t data1, data2, data3, clock, node;
  if (!read_hex(lpsz + 1, 8, data1) || !read_hex(lpsz + 10, 4, data2) || !read_hex(lpsz + 15, 4, data3) ||
      !read_hex(lpsz + 20, 4, clock) || !read_hex(lpsz + 25, 12, node)) {
    return CO_E_CLASSSTRING;
  }
  CLSID parsed;
  parsed.Data1 = static_cast<DWORD>(data1);
  parsed.Data2 = static_cast<WORD>(data2);
  parsed.Data3 = static_cast<WORD>(data3);
  parsed.Data4[0] = static_cast<BYTE>(clock >> 8);
  parsed.Data4[1] = static_cast<BYTE>(clock);
  for (int i = 0; i < 6; ++i) parsed.Data4[2 + i] = static_cast<BYTE>(node >> (8 * (5 - i)));
  *pclsid = parsed;
  return S_OK;
}
