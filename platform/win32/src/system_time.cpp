#include <chrono>
#include <mutex>
#include <optional>

#include "win32_controls/clock_controls.h"
#include "platform/core/faults.h"
#include "reset_steps.h"
#include "timezoneapi.h"
#include "winbase.h"

namespace {

using Clock = std::chrono::system_clock;

struct FrozenClock {
  std::mutex mutex;
  std::optional<Clock::time_point> instant;
};
FrozenClock& frozen_clock() {
  static FrozenClock& clock = *new FrozenClock;
  return clock;
}

}  // namespace

namespace platform::win32 {

void reset_system_time() {
  auto& clock = frozen_clock();
  std::lock_guard lock(clock.mutex);
  clock.instant.reset();
}

}  // namespace platform::win32

namespace {

Clock::time_point now() {
  auto& clock = frozen_clock();
  std::lock_guard lock(clock.mutex);
  return clock.instant.value_or(Clock::now());
}

// Any sys_time: file times reach years (1601, 30827) that the system clock's nanoseconds do not.
template <typename Duration>
SYSTEMTIME to_system_time(std::chrono::sys_time<Duration> instant) {
  using namespace std::chrono;
  const auto day = floor<days>(instant);
  const year_month_day date{day};
  const hh_mm_ss time{floor<milliseconds>(instant - day)};
  SYSTEMTIME result{};
  result.wYear = static_cast<WORD>(static_cast<int>(date.year()));
  result.wMonth = static_cast<WORD>(static_cast<unsigned>(date.month()));
  result.wDay = static_cast<WORD>(static_cast<unsigned>(date.day()));
  result.wDayOfWeek = static_cast<WORD>(weekday{day}.c_encoding());
  result.wHour = static_cast<WORD>(time.hours().count());
  result.wMinute = static_cast<WORD>(time.minutes().count());
  result.wSecond = static_cast<WORD>(time.seconds().count());
  result.wMilliseconds = static_cast<WORD>(time.subseconds().count());
  return result;
}

// FILETIME counts 100-nanosecond intervals since 1601-01-01, 11644473600 s before 1970.
using FileTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
constexpr std::int64_t kFileTimeOfUnixEpoch = 116444736000000000;

std::optional<Clock::time_point> from_system_time(const SYSTEMTIME& value) {
  using namespace std::chrono;
  const year_month_day date{year{value.wYear}, month{value.wMonth}, day{value.wDay}};
  if (!date.ok() || value.wHour > 23 || value.wMinute > 59 || value.wSecond > 59 || value.wMilliseconds > 999) {
    return std::nullopt;
  }
  return sys_days{date} + hours{value.wHour} + minutes{value.wMinute} + seconds{value.wSecond} +
         milliseconds{value.wMilliseconds};
}

}  // namespace

namespace platform {

void set_system_time(std::optional<Clock::time_point> instant) {
  auto& clock = frozen_clock();
  std::lock_guard lock(clock.mutex);
  clock.instant = instant;
}

}  // namespace platform

void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime != nullptr) *lpSystemTime = to_system_time(now());
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) { GetSystemTime(lpSystemTime); }

void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
  if (lpSystemTimeAsFileTime == nullptr) return;
  const auto ticks = std::chrono::floor<FileTicks>(now().time_since_epoch()).count() + kFileTimeOfUnixEpoch;
  lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks));
  lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  PLATFORM_FAIL_IF_ARMED("FileTimeToSystemTime", FALSE);
  if (lpFileTime == nullptr || lpSystemTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks = std::uint64_t{lpFileTime->dwHighDateTime} << 32 | lpFileTime->dwLowDateTime;
  // Values with the top bit set are not file times.
  if (ticks >= 0x8000000000000000ull) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const FileTicks since_1970{static_cast<std::int64_t>(ticks) - kFileTimeOfUnixEpoch};
  *lpSystemTime = to_system_time(std::chrono::sys_time<FileTicks>{since_1970});
  return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                     const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime) {
  PLATFORM_FAIL_IF_ARMED("SystemTimeToTzSpecificLocalTime", FALSE);
  if (lpUniversalTime == nullptr || lpLocalTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto universal = from_system_time(*lpUniversalTime);
  if (!universal) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const LONG bias = lpTimeZoneInformation == nullptr ? 0 : lpTimeZoneInformation->Bias;
  *lpLocalTime = to_system_time(*universal - std::chrono::minutes{bias});
  return TRUE;
}
