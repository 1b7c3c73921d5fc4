#include <cstring>
#include <optional>

#include "platform_state.h"
#include "text_conversion.h"
#include "winbase.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

// Decodes one UTF-8 sequence. A malformed one reports the length of its longest valid
// prefix (at least 1), so that a lenient caller replaces each broken sequence once.
Decoded decode_utf8(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t length;
  char32_t code_point;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {kReplacement, 1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {kReplacement, i, false};
    const unsigned char next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return {kReplacement, i, false};
    code_point = (code_point << 6) | (next & 0x3F);
  }
  return {code_point, length, true};
}

void append_utf16(std::u16string& out, char32_t code_point) {
  if (code_point >= 0x10000) {
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(code_point));
  }
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

std::optional<std::u16string> to_utf16(std::string_view text, bool strict) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Decoded decoded = decode_utf8(text, at);
    if (!decoded.valid && strict) return std::nullopt;
    append_utf16(out, decoded.code_point);
    at += decoded.length;
  }
  return out;
}

std::optional<std::string> to_utf8(std::u16string_view text, bool strict) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    char32_t unit = text[at];
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[at + 1] - 0xDC00));
      ++at;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (strict) return std::nullopt;
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

// Shared tail of both conversions: the size query, the copy, and the too-small buffer.
template <typename Char>
int deliver(const std::basic_string<Char>& converted, Char* destination, int capacity) {
  if (converted.size() > static_cast<std::size_t>(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int needed = static_cast<int>(converted.size());
  if (capacity == 0) return needed;
  if (capacity < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(destination, converted.data(), converted.size() * sizeof(Char));
  return needed;
}

bool is_utf8_code_page(UINT code_page) { return code_page == CP_UTF8 || code_page == CP_ACP; }

int compare_folded(LPCWSTR a, LPCWSTR b) {
  for (;; ++a, ++b) {
    const char16_t left = platform::fold_case(*a);
    const char16_t right = platform::fold_case(*b);
    if (left != right) return left < right ? -1 : 1;
    if (left == 0) return 0;
  }
}

}  // namespace

namespace platform {

std::optional<std::u16string> utf8_to_utf16_strict(std::string_view text) { return to_utf16(text, true); }
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) { return to_utf8(text, true); }
std::u16string utf8_to_utf16(std::string_view text) { return *to_utf16(text, false); }
std::string utf16_to_utf8(std::u16string_view text) { return *to_utf8(text, false); }

char16_t fold_case(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  // Latin-1 upper-case letters, skipping the multiplication sign U+00D7.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

}  // namespace platform

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  PLATFORM_FAIL_IF_ARMED("MultiByteToWideChar", 0);
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr) ||
      (cchWideChar > 0 && static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!is_utf8_code_page(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // With -1 the input runs to its terminator, which is converted and counted too.
  const std::size_t length =
      cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
  auto converted = to_utf16(std::string_view(lpMultiByteStr, length), (dwFlags & MB_ERR_INVALID_CHARS) != 0);
  if (!converted) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return deliver(*converted, lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  PLATFORM_FAIL_IF_ARMED("WideCharToMultiByte", 0);
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
      (cbMultiByte > 0 && static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // UTF-8 has no default character: Windows rejects one for CP_UTF8.
  if (!is_utf8_code_page(CodePage) || lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::size_t length = 0;
  if (cchWideChar == -1) {
    while (lpWideCharStr[length] != 0) ++length;
    ++length;
  } else {
    length = static_cast<std::size_t>(cchWideChar);
  }
  auto converted = to_utf8(std::u16string_view(lpWideCharStr, length), (dwFlags & WC_ERR_INVALID_CHARS) != 0);
  if (!converted) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return deliver(*converted, lpMultiByteStr, cbMultiByte);
}

int lstrlenW(LPCWSTR lpString) {
  PLATFORM_FAIL_IF_ARMED("lstrlenW", 0);
  if (lpString == nullptr) return 0;
  int length = 0;
  while (lpString[length] != 0) ++length;
  return length;
}

int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  PLATFORM_FAIL_IF_ARMED("lstrcmpiW", 0);
  // A null string sorts before every other, as lstrcmpi answers.
  if (lpString1 == nullptr || lpString2 == nullptr) {
    return lpString1 == lpString2 ? 0 : (lpString1 == nullptr ? -1 : 1);
  }
  return compare_folded(lpString1, lpString2);
}

int _wcsicmp(const WCHAR* string1, const WCHAR* string2) {
  PLATFORM_FAIL_IF_ARMED("_wcsicmp", 0x7FFFFFFF);
  // The runtime answers _NLSCMPERROR for null arguments rather than crashing.
  if (string1 == nullptr || string2 == nullptr) return 0x7FFFFFFF;
  return compare_folded(string1, string2);
}
