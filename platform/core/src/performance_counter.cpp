#include "platform/core/performance_counter.h"

#include <atomic>
#include <chrono>

namespace platform {
namespace {

constexpr std::uint64_t kDefaultFrequency = 10'000'000;
std::atomic<std::uint64_t> g_frequency{kDefaultFrequency};

}  // namespace

PerformanceCount performance_counter() {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
  const auto nanoseconds = static_cast<std::uint64_t>(elapsed.count());
  const std::uint64_t frequency = g_frequency.load(std::memory_order_relaxed);
  // Whole seconds and the remainder apart, so that the product cannot overflow 64 bits.
  const std::uint64_t ticks =
      nanoseconds / 1'000'000'000u * frequency + nanoseconds % 1'000'000'000u * frequency / 1'000'000'000u;
  return PerformanceCount{static_cast<std::int64_t>(ticks), static_cast<std::int64_t>(frequency)};
}

void set_performance_frequency(std::uint64_t hz) {
  g_frequency.store(hz == 0 ? kDefaultFrequency : hz, std::memory_order_relaxed);
}

void reset_performance_frequency() { g_frequency.store(kDefaultFrequency, std::memory_order_relaxed); }

}  // namespace platform
