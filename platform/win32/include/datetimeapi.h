// Dates and times as text, by format picture (GetDateFormatEx, GetTimeFormatEx). The virtual
// target knows the invariant locale only: a null locale name (the user's) and
// LOCALE_NAME_INVARIANT name it; any other name is refused with ERROR_INVALID_PARAMETER.
//
// Pictures: d dd M MM y yy yyyy for dates and h hh H HH m mm s ss for times, text in single
// quotes ('' for a quote) and other characters that are not letters as they are. A null
// picture is the invariant locale's "MM/dd/yyyy" or "HH:mm:ss". Pictures the stand-in does
// not implement (names of days and months, eras, AM/PM markers) are refused with
// ERROR_INVALID_PARAMETER, and so are flags (ERROR_INVALID_FLAGS), a calendar, and dates or
// times out of range.
//
// Both return the characters written with the terminating zero, or with cch 0 the size
// needed; 0 on failure (ERROR_INSUFFICIENT_BUFFER when the buffer is too small).
#pragma once

#include "winbase.h"  // SYSTEMTIME

int GetDateFormatEx(LPCWSTR lpLocaleName, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCWSTR lpFormat, LPWSTR lpDateStr,
                    int cchDate, LPCWSTR lpCalendar);
int GetTimeFormatEx(LPCWSTR lpLocaleName, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCWSTR lpFormat, LPWSTR lpTimeStr,
                    int cchTime);
