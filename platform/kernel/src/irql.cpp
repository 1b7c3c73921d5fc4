// IRQL and processors per thread, and the performance counter: KeGetCurrentIrql,
// KeRaiseIrql, KeLowerIrql, KeGetCurrentProcessorNumberEx, KeQueryActiveProcessorCountEx,
// KeQueryPerformanceCounter.
#include <optional>
#include <string>

#include "kernel_controls/kernel.h"
#include "kernel_internal.h"
#include "platform/core/performance_counter.h"

namespace platform::kernel {
namespace {

constexpr std::uint32_t kDefaultProcessorCount = 4;

// A reset cannot reach other threads' thread-locals; it moves the generation on instead, and
// a thread whose state belongs to an older generation starts afresh.
std::atomic<std::uint32_t> g_generation{1};
std::atomic<std::uint32_t> g_processor_count{kDefaultProcessorCount};
std::atomic<std::uint32_t> g_next_processor{0};

struct ThreadState {
  std::uint32_t generation = 0;
  KIRQL irql = PASSIVE_LEVEL;
  std::optional<std::uint32_t> processor;
};

thread_local ThreadState t_state;

ThreadState& thread_state() {
  const std::uint32_t generation = g_generation.load(std::memory_order_acquire);
  if (t_state.generation != generation) t_state = ThreadState{generation, PASSIVE_LEVEL, std::nullopt};
  return t_state;
}

std::uint32_t current_processor() {
  ThreadState& state = thread_state();
  // Spread threads over the processors, one stable choice per thread.
  if (!state.processor) state.processor = g_next_processor.fetch_add(1, std::memory_order_relaxed);
  return *state.processor % g_processor_count.load(std::memory_order_relaxed);
}

}  // namespace

KIRQL current_irql() { return thread_state().irql; }

void set_current_irql(KIRQL irql) { thread_state().irql = irql; }

void require_irql_at_most(KIRQL maximum, std::string_view function) {
  const KIRQL irql = current_irql();
  if (irql > maximum) {
    bug_check(IRQL_NOT_LESS_OR_EQUAL, irql, maximum, 0, 0,
              std::string(function) + " called at IRQL " + std::to_string(irql) + ", above its maximum of " +
                  std::to_string(maximum));
  }
}

void reset_thread_states() {
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  g_processor_count.store(kDefaultProcessorCount, std::memory_order_relaxed);
  g_next_processor.store(0, std::memory_order_relaxed);
}

void set_active_processor_count(std::uint32_t count) {
  g_processor_count.store(count == 0 ? 1 : count, std::memory_order_relaxed);
}

void set_current_processor(std::uint32_t number) { thread_state().processor = number; }

}  // namespace platform::kernel

using platform::kernel::current_irql;
using platform::kernel::set_current_irql;

KIRQL KeGetCurrentIrql() { return current_irql(); }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KERNEL_ENTRY("KeRaiseIrql");
  const KIRQL irql = current_irql();
  if (NewIrql < irql) {
    platform::kernel::bug_check(IRQL_NOT_GREATER_OR_EQUAL, irql, NewIrql, 0, 0,
                                "KeRaiseIrql to an IRQL below the current one");
  }
  *OldIrql = irql;
  set_current_irql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old = PASSIVE_LEVEL;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KERNEL_ENTRY("KeLowerIrql");
  const KIRQL irql = current_irql();
  if (NewIrql > irql) {
    platform::kernel::bug_check(IRQL_NOT_LESS_OR_EQUAL, irql, NewIrql, 0, 0,
                                "KeLowerIrql to an IRQL above the current one");
  }
  set_current_irql(NewIrql);
}

ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber) {
  KERNEL_ENTRY("KeGetCurrentProcessorNumberEx");
  const std::uint32_t number = platform::kernel::current_processor();
  if (ProcNumber != nullptr) *ProcNumber = PROCESSOR_NUMBER{0, static_cast<UCHAR>(number), 0};
  return number;
}

ULONG KeQueryActiveProcessorCountEx(USHORT GroupNumber) {
  KERNEL_ENTRY("KeQueryActiveProcessorCountEx");
  if (GroupNumber != 0 && GroupNumber != ALL_PROCESSOR_GROUPS) return 0;
  return platform::kernel::g_processor_count.load(std::memory_order_relaxed);
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  KERNEL_ENTRY("KeQueryPerformanceCounter");
  const platform::PerformanceCount count = platform::performance_counter();
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = count.frequency;
  LARGE_INTEGER counter;
  counter.QuadPart = count.ticks;
  return counter;
}
