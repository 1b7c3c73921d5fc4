// The machine's performance counter: one monotonic clock that user mode reads through
// QueryPerformanceCounter and kernel mode through KeQueryPerformanceCounter, so that a time
// stamp taken on one side can be compared with the other (the driver ages user-mode ETW time
// stamps with it). It counts at 10 MHz, as on Windows, unless sim sets another rate; a reset
// returns it to 10 MHz.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace platform {

struct PerformanceCount {
  std::int64_t ticks = 0;      // since an arbitrary origin, never negative
  std::int64_t frequency = 0;  // ticks per second, never 0
};

// The counter and the rate it was read at, as one consistent pair.
PerformanceCount performance_counter();

// Zero is refused and keeps the default: every caller divides by the rate.
void set_performance_frequency(std::uint64_t hz);

// The core's part of the reset's drop_process_state phase: the rate returns to 10 MHz.
void reset_performance_frequency();

}  // namespace platform
