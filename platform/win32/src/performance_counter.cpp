// QueryPerformanceCounter and QueryPerformanceFrequency over the machine's one performance
// counter (platform/core), which KeQueryPerformanceCounter reads too.
#include "platform/core/faults.h"
#include "platform/core/performance_counter.h"
#include "winbase.h"

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  PLATFORM_FAIL_IF_ARMED("QueryPerformanceCounter", FALSE);
  if (lpPerformanceCount == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpPerformanceCount->QuadPart = platform::performance_counter().ticks;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  PLATFORM_FAIL_IF_ARMED("QueryPerformanceFrequency", FALSE);
  if (lpFrequency == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpFrequency->QuadPart = platform::performance_counter().frequency;
  return TRUE;
}
