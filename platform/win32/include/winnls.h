// Text conversion between UTF-8 and UTF-16 and wide-string helpers. Code pages other than
// UTF-8 are not part of the virtual target: CP_ACP is treated as UTF-8, as on a Windows
// machine whose system code page is set to UTF-8.
#pragma once

#include "windef.h"

#define CP_ACP 0u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

// Case-insensitive comparisons fold ASCII and Latin-1 letters only, which covers every name
// the system compares (switches, account names, file names); other scripts compare as is.
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
// Declared by the C runtime on Windows; kept here with the other wide-string helpers.
int _wcsicmp(const WCHAR* string1, const WCHAR* string2);

// Locale-aware comparison; the virtual target knows the invariant locale only, whose case
// folding is that of lstrcmpiW. Returns CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, or 0
// with the last error set.
#define LOCALE_NAME_INVARIANT TEXT("")
#define NORM_IGNORECASE 0x00000001u
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
int CompareStringEx(LPCWSTR lpLocaleName, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2,
                    int cchCount2, void* lpVersionInformation, void* lpReserved, LPARAM lParam);
