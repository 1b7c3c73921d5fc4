// Wall-clock time of the machine. The virtual target's clock is the host's, unless a test
// has frozen it at a chosen instant (platform/sim).
#pragma once

#include "windef.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using PSYSTEMTIME = SYSTEMTIME*;
using LPSYSTEMTIME = SYSTEMTIME*;
static_assert(sizeof(SYSTEMTIME) == 16);

// Coordinated universal time.
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
// The machine's local time (the virtual target's time zone is UTC).
void GetLocalTime(LPSYSTEMTIME lpSystemTime);
