// What the user-mode ETW surface's three families (control, provider, consumer) share:
// the tagged trace handles, the runtime with its hooks wired to this platform, and the
// session-buffer defaults the sim controls set. Internal to platform/win32.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "etw/runtime.h"
#include "evntrace.h"

namespace platform::win32::etw_surface {

// Trace handles carry their kind in the top byte, so that a processing handle passed where a
// session handle is expected (or the reverse) is refused instead of naming another session.
// The runtime's numbers are counters that never come near 2^56.
enum class HandleKind : std::uint64_t { session = 0x01, processing = 0x02, registration = 0x03 };

inline std::uint64_t make_handle(HandleKind kind, std::uint64_t value) {
  return (static_cast<std::uint64_t>(kind) << 56) | value;
}
// 0 when `handle` is not of that kind.
inline std::uint64_t runtime_handle(HandleKind kind, std::uint64_t handle) {
  return (handle >> 56) == static_cast<std::uint64_t>(kind) ? (handle & ((1ull << 56) - 1)) : 0;
}

// The process-wide runtime, its clock set to QueryPerformanceCounter and its writer identity
// to this platform's process, thread and processor numbers.
etw::Runtime& runtime();

inline ULONG to_win32(etw::Status status) { return static_cast<ULONG>(status); }

inline etw::Guid to_etw(const GUID& guid) {
  etw::Guid out;
  static_assert(sizeof out == sizeof guid);
  std::memcpy(static_cast<void*>(&out), &guid, sizeof out);
  return out;
}
inline GUID to_win32(const etw::Guid& guid) {
  GUID out;
  std::memcpy(static_cast<void*>(&out), &guid, sizeof out);
  return out;
}

}  // namespace platform::win32::etw_surface
