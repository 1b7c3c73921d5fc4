// Bounded string formatting for kernel mode, with the WDK's results: STATUS_SUCCESS, or
// STATUS_BUFFER_OVERFLOW when the text was cut to fit (the destination then holds the cut
// text, terminated), or STATUS_INVALID_PARAMETER for a destination of no size or larger
// than NTSTRSAFE_MAX_CCH characters. The format is Windows' printf (see DbgPrintEx in
// wdm.h); in the W forms %s and %c are wide and %S, %hs narrow.
#pragma once

#include <cstdarg>

#include "ntdef.h"

#define NTSTRSAFE_MAX_CCH 2147483647

using NTSTRSAFE_PSTR = CHAR*;
using NTSTRSAFE_PCSTR = const CHAR*;
using NTSTRSAFE_PWSTR = WCHAR*;
using NTSTRSAFE_PCWSTR = const WCHAR*;

NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...);
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, va_list argList);
