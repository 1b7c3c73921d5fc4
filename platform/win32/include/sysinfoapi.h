// Wall-clock time of the machine. The virtual target's clock is the host's, unless a test
// has frozen it at a chosen instant (platform/sim).
#pragma once

#include "winbase.h"  // SYSTEMTIME


// Coordinated universal time.
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
// The same instant as 100-nanosecond intervals since 1601-01-01 (UTC).
void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);
