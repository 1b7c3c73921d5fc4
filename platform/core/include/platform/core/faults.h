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

namespace platform {

namespace detail {
// Whether any fault is armed: every stand-in call checks it, almost always with nothing
// armed, so that check stays inline and takes no lock.
extern std::atomic<bool> g_any_fault_armed;
std::optional<std::uint32_t> take_armed_fault(std::string_view function);
}  // namespace detail

// The armed code when a fault is armed for `function` (and counts it down), else nullopt.
inline std::optional<std::uint32_t> take_fault(std::string_view function) {
  if (!detail::g_any_fault_armed.load(std::memory_order_acquire)) return std::nullopt;
  return detail::take_armed_fault(function);
}
// Arms `count` failures of `function`; a count of 0 disarms it.
void arm_fault(std::string function, unsigned count, std::uint32_t code);
void clear_faults();

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
    if (auto armed_fault_ = ::platform::take_fault(name)) {      \
      return static_cast<std::int32_t>(*armed_fault_);           \
    }                                                            \
  } while (0)
