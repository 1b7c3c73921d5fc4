// What the kernel surface's families share: the checks every exported function starts with
// (a raise armed by sim::raise_next, a fault armed by sim::fail_next), bug checks with a
// reason, IRQL rules, and the call into driver code that turns an unhandled structured
// exception into the bug check Windows gives it. Internal to platform/kernel.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/core/faults.h"
#include "wdm.h"

namespace platform::kernel {

// Prints the stop code, its parameters and `reason`, then ends the process.
[[noreturn]] void bug_check(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                            std::string_view reason);

namespace detail {
extern std::atomic<bool> g_any_raise_armed;
void raise_if_armed_slow(std::string_view function);
}  // namespace detail

// Raises the armed structured exception when sim::raise_next named `function`. Inline and
// lock-free while nothing is armed: the register accessors start with it.
inline void raise_if_armed(std::string_view function) {
  if (detail::g_any_raise_armed.load(std::memory_order_acquire)) detail::raise_if_armed_slow(function);
}
void arm_raise(std::string function, NTSTATUS code);
void clear_raises();

// Raises `code` as a structured exception with up to two parameters.
[[noreturn]] void raise_status(NTSTATUS code, void* address, ULONG parameters = 0, ULONG_PTR parameter0 = 0,
                               ULONG_PTR parameter1 = 0);

// The thread's IRQL.
KIRQL current_irql();
void set_current_irql(KIRQL irql);
// Bug-checks (IRQL_NOT_LESS_OR_EQUAL) when the caller runs above `maximum`.
void require_irql_at_most(KIRQL maximum, std::string_view function);

// Runs driver code (a callback or dispatch routine) the way the kernel does: a structured
// exception it leaves unhandled bug-checks (KMODE_EXCEPTION_NOT_HANDLED), and so does
// returning at another IRQL than the one it was called at.
template <typename Call>
auto call_driver(std::string_view callback, Call&& call) -> decltype(call()) {
  const KIRQL entered = current_irql();
  struct IrqlCheck {
    std::string_view callback;
    KIRQL entered;
    void verify() const {
      if (current_irql() != entered) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, current_irql(), entered, 0, 0,
                  std::string(callback) + " returned at another IRQL than it was called at");
      }
    }
  } check{callback, entered};
  try {
    if constexpr (std::is_void_v<decltype(call())>) {
      call();
      check.verify();
    } else {
      auto result = call();
      check.verify();
      return result;
    }
  } catch (seh::RaisedException& raised) {
    bug_check(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(raised.record.ExceptionCode),
              reinterpret_cast<ULONG_PTR>(raised.record.ExceptionAddress), raised.record.ExceptionInformation[0],
              raised.record.ExceptionInformation[1],
              "structured exception not handled in " + std::string(callback));
  }
}

// Kernel-wide state the reset's drop_process_state phase forgets.
void reset_thread_states();       // irql.cpp
void forget_pool();               // pool.cpp
void forget_mappings();           // mmio.cpp
void forget_callback_objects();   // callback_objects.cpp
void forget_debug_print_state();  // debug_print.cpp

}  // namespace platform::kernel

// The first line of every exported function: a raise armed for it by name, then (for the
// forms that fail) a fault armed for it by name.
#define KERNEL_ENTRY(name) ::platform::kernel::raise_if_armed(name)

#define KERNEL_STATUS_ENTRY(name)            \
  do {                                       \
    ::platform::kernel::raise_if_armed(name); \
    PLATFORM_FAIL_STATUS_IF_ARMED(name);     \
  } while (0)

// Pointer- and handle-returning functions: an armed fault makes them return `failure`.
#define KERNEL_VALUE_ENTRY(name, failure)                  \
  do {                                                     \
    ::platform::kernel::raise_if_armed(name);              \
    if (::platform::take_fault(name)) return (failure);    \
  } while (0)
