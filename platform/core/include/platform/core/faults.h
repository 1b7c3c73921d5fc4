// Fault injection: the next N calls of a named stand-in function fail with a given code, so
// that tests reach every failure branch of the system. The code is a Win32 error for
// functions that report through the last error (or return a Win32 code), and an NTSTATUS
// for kernel-style functions that return one.
// Thread safety: every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// How a function fails: through the last error (or a returned Win32 code), or by returning
// an NTSTATUS. Recorded with the names taken, so that a sweep arms each with a fitting code.
enum class FaultKind { win32, status };

namespace detail {
// Whether any fault is armed or calls are being recorded: every stand-in call checks it,
// almost always with neither, so that check stays inline and takes no lock.
extern std::atomic<bool> g_any_fault_armed;
std::optional<std::uint32_t> take_armed_fault(std::string_view function, FaultKind kind);
}  // namespace detail

// The armed code when a fault is armed for `function` (and counts it down), else nullopt.
inline std::optional<std::uint32_t> take_fault(std::string_view function, FaultKind kind = FaultKind::win32) {
  if (!detail::g_any_fault_armed.load(std::memory_order_acquire)) return std::nullopt;
  return detail::take_armed_fault(function, kind);
}
// Arms `count` failures of `function` after `passes` calls of it that succeed; a count of 0
// disarms it.
void arm_fault(std::string function, unsigned count, std::uint32_t code, unsigned passes = 0);
// How many armed failures of `function` are still to come (0 when none is armed).
unsigned armed_fault_count(std::string_view function);
void clear_faults();

// Recording of the fault points reached: while on, every check of a named function counts a
// call of it (the pseudo-names that carry options, "WriteFile:short" say, are not counted).
// Calls from a thread that excused itself are neither counted nor failed, so that a test's
// own use of the stand-ins stays out of what it sweeps. Survives clear_faults and resets.
struct FaultPoint {
  std::string function;
  FaultKind kind = FaultKind::win32;
  unsigned calls = 0;
};
void start_fault_recording();
// The points reached since the start, by name; recording stops.
std::vector<FaultPoint> stop_fault_recording();
// Whether the calling thread's own calls are exempt from faults and recording.
void exempt_this_thread_from_faults(bool exempt);

}  // namespace platform

// Win32 convention: fails the calling function with `failure_value` and the armed code as
// its last error. Expands where ::SetLastError is declared (platform/win32). Functions that
// return their Win32 code (registry calls, ...) return *take_fault(name) themselves.
#define PLATFORM_FAIL_IF_ARMED(name, failure_value)          \
  do {                                                       \
    if (auto armed_fault_ = ::platform::take_fault(name)) {  \
      ::SetLastError(*armed_fault_);                         \
      return failure_value;                                  \
    }                                                        \
  } while (0)

// NTSTATUS convention: the calling function returns the armed status.
#define PLATFORM_FAIL_STATUS_IF_ARMED(name)                      \
  do {                                                           \
    if (auto armed_fault_ = ::platform::take_fault(name, ::platform::FaultKind::status)) { \
      return static_cast<std::int32_t>(*armed_fault_);           \
    }                                                            \
  } while (0)
