#include <atomic>
#include <chrono>
#include <ctime>

#include "win32_controls/base_controls.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "reset_steps.h"
#include "winbase.h"

namespace {

constexpr std::uint64_t kDefaultFrequency = 10'000'000;
std::atomic<std::uint64_t> g_frequency{kDefaultFrequency};


}  // namespace

namespace platform {

void set_performance_frequency(std::uint64_t hz) {
  // A zero rate would divide by zero in every caller that turns ticks into time.
  g_frequency.store(hz == 0 ? kDefaultFrequency : hz);
}

}  // namespace platform

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  PLATFORM_FAIL_IF_ARMED("QueryPerformanceCounter", FALSE);
  if (lpPerformanceCount == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  const auto nanoseconds = static_cast<std::uint64_t>(elapsed.count());
  const std::uint64_t frequency = g_frequency.load();
  // Whole seconds and the remainder apart, so that the product cannot overflow 64 bits.
  const std::uint64_t ticks =
      nanoseconds / 1'000'000'000u * frequency + nanoseconds % 1'000'000'000u * frequency / 1'000'000'000u;
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(ticks);
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  PLATFORM_FAIL_IF_ARMED("QueryPerformanceFrequency", FALSE);
  if (lpFrequency == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpFrequency->QuadPart = static_cast<LONGLONG>(g_frequency.load());
  return TRUE;
}

namespace platform::win32 {

void reset_performance_frequency() { g_frequency.store(kDefaultFrequency); }

}  // namespace platform::win32
