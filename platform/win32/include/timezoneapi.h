// Time-zone conversion. The virtual target's own zone is UTC without daylight saving, so a
// null zone converts to the same time; an explicit zone applies its Bias (minutes, local =
// UTC - Bias) and ignores daylight saving.
#pragma once

#include "sysinfoapi.h"
#include "winbase.h"  // TIME_ZONE_INFORMATION

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime);
// Calendar fields of a file time (UTC stays UTC). File times of 2^63 and above are refused
// with ERROR_INVALID_PARAMETER.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
