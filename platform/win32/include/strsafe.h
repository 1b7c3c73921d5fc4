// Bounded wide-string copy and measure, as the SDK's strsafe.h defines them inline.
#pragma once

#include <cstddef>

#include "windef.h"

#define STRSAFE_E_INSUFFICIENT_BUFFER (static_cast<HRESULT>(0x8007007AL))
#define STRSAFE_E_INVALID_PARAMETER (static_cast<HRESULT>(0x80070057L))
#define STRSAFE_MAX_CCH 2147483647

// Copies with truncation and a terminator; a source that does not fit fails with
// STRSAFE_E_INSUFFICIENT_BUFFER (the destination then holds the truncated copy).
inline HRESULT StringCchCopyW(LPWSTR pszDest, std::size_t cchDest, LPCWSTR pszSrc) {
  if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  std::size_t i = 0;
  for (; i + 1 < cchDest && pszSrc[i] != 0; ++i) pszDest[i] = pszSrc[i];
  pszDest[i] = 0;
  return pszSrc[i] == 0 ? 0 : STRSAFE_E_INSUFFICIENT_BUFFER;
}

// The length in bytes, without the terminator; no terminator within cbMax bytes fails.
inline HRESULT StringCbLengthW(LPCWSTR psz, std::size_t cbMax, std::size_t* pcbLength) {
  if (psz == nullptr || cbMax > STRSAFE_MAX_CCH * sizeof(WCHAR)) {
    if (pcbLength != nullptr) *pcbLength = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  const std::size_t cchMax = cbMax / sizeof(WCHAR);
  std::size_t i = 0;
  while (i < cchMax && psz[i] != 0) ++i;
  if (i == cchMax) {
    if (pcbLength != nullptr) *pcbLength = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  if (pcbLength != nullptr) *pcbLength = i * sizeof(WCHAR);
  return 0;
}
