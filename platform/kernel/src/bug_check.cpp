// Bug checks and structured-exception raising: KeBugCheckEx, ExRaiseStatus, the raises that
// sim::raise_next arms, and what the __except machinery needs from the library.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "kernel_internal.h"
#include "platform/core/target.h"

namespace platform::kernel {
namespace {

struct RaisePlan {
  std::mutex mutex;
  std::map<std::string, NTSTATUS, std::less<>> armed;
};

RaisePlan& plan() {
  static RaisePlan& instance = *new RaisePlan;
  return instance;
}

}  // namespace

alignas(64) constinit std::atomic<bool> detail::g_any_raise_armed{false};

void bug_check(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string_view reason) {
  std::fprintf(stderr, "*** STOP: 0x%08X (0x%016llX,0x%016llX,0x%016llX,0x%016llX)\n", code,
               static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
               static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
  if (!reason.empty()) std::fprintf(stderr, "*** %.*s\n", static_cast<int>(reason.size()), reason.data());
  std::fflush(stderr);
  platform::run_before_abrupt_end();
  std::abort();
}

void detail::raise_if_armed_slow(std::string_view function) {
  NTSTATUS code = 0;
  {
    std::lock_guard lock(plan().mutex);
    auto it = plan().armed.find(function);
    if (it == plan().armed.end()) return;
    code = it->second;
    plan().armed.erase(it);
    g_any_raise_armed.store(!plan().armed.empty(), std::memory_order_release);
  }
  raise_status(code, __builtin_return_address(0));
}

void arm_raise(std::string function, NTSTATUS code) {
  std::lock_guard lock(plan().mutex);
  plan().armed[std::move(function)] = code;
  detail::g_any_raise_armed.store(true, std::memory_order_release);
}

void clear_raises() {
  std::lock_guard lock(plan().mutex);
  plan().armed.clear();
  detail::g_any_raise_armed.store(false, std::memory_order_release);
}

void raise_status(NTSTATUS code, void* address, ULONG parameters, ULONG_PTR parameter0, ULONG_PTR parameter1) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionAddress = address;
  record.NumberParameters = parameters;
  record.ExceptionInformation[0] = parameter0;
  record.ExceptionInformation[1] = parameter1;
  seh::raise(record);
}

void seh::raise(const EXCEPTION_RECORD& record) { throw RaisedException(record); }

void seh::continue_execution_is_not_supported(const EXCEPTION_RECORD& record) {
  bug_check(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(record.ExceptionCode),
            reinterpret_cast<ULONG_PTR>(record.ExceptionAddress), 0, 0,
            "an exception filter returned EXCEPTION_CONTINUE_EXECUTION, which the stand-in cannot resume");
}

}  // namespace platform::kernel

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  platform::kernel::bug_check(BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3,
                              BugCheckParameter4, "KeBugCheckEx called by the driver");
}

VOID ExRaiseStatus(NTSTATUS Status) {
  KERNEL_ENTRY("ExRaiseStatus");
  platform::kernel::raise_status(Status, __builtin_return_address(0));
}
