#include <cstring>
#include <optional>

#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "platform/core/text.h"
#include "winbase.h"

namespace {

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
  const std::string_view input(lpMultiByteStr, length);
  auto converted = (dwFlags & MB_ERR_INVALID_CHARS) != 0 ? platform::utf8_to_utf16_strict(input)
                                                         : std::optional(platform::utf8_to_utf16(input));
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
  const std::u16string_view input(lpWideCharStr, length);
  auto converted = (dwFlags & WC_ERR_INVALID_CHARS) != 0 ? platform::utf16_to_utf8_strict(input)
                                                         : std::optional(platform::utf16_to_utf8(input));
  if (!converted) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  return deliver(*converted, lpMultiByteStr, cbMultiByte);
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

int CompareStringEx(LPCWSTR lpLocaleName, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2,
                    int cchCount2, void* /*lpVersionInformation*/, void* /*lpReserved*/, LPARAM /*lParam*/) {
  PLATFORM_FAIL_IF_ARMED("CompareStringEx", 0);
  // Only the invariant locale exists on the virtual target.
  if (lpString1 == nullptr || lpString2 == nullptr || (lpLocaleName != nullptr && lpLocaleName[0] != 0) ||
      (dwCmpFlags & ~NORM_IGNORECASE) != 0 || cchCount1 < -1 || cchCount2 < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto length = [](LPCWSTR text, int count) {
    if (count >= 0) return static_cast<std::size_t>(count);
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
  };
  const std::size_t n1 = length(lpString1, cchCount1);
  const std::size_t n2 = length(lpString2, cchCount2);
  const bool fold = (dwCmpFlags & NORM_IGNORECASE) != 0;
  for (std::size_t i = 0;; ++i) {
    if (i == n1 || i == n2) return n1 == n2 ? CSTR_EQUAL : (n1 < n2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN);
    const char16_t left = fold ? platform::fold_case(lpString1[i]) : lpString1[i];
    const char16_t right = fold ? platform::fold_case(lpString2[i]) : lpString2[i];
    if (left != right) return left < right ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
}
