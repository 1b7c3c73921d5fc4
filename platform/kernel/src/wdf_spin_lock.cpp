// Framework spin locks: WdfSpinLockCreate, WdfSpinLockAcquire and WdfSpinLockRelease, with
// the IRQL rules Windows applies.
#include "framework.h"

namespace {

// Its address names the thread that holds a lock.
thread_local char t_thread_marker;

}  // namespace

using namespace platform::kernel;

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
  KERNEL_STATUS_ENTRY("WdfSpinLockCreate");
  require_irql_at_most(DISPATCH_LEVEL, "WdfSpinLockCreate");
  if (SpinLock == nullptr) return STATUS_INVALID_PARAMETER;
  *SpinLock = nullptr;
  auto* lock = new FxSpinLock;
  const NTSTATUS status = attach_object(*lock, SpinLockAttributes, current_driver(), "WdfSpinLockCreate");
  if (!NT_SUCCESS(status)) {
    delete lock;
    return status;
  }
  *SpinLock = as_handle<WDFSPINLOCK>(lock);
  return STATUS_SUCCESS;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
  KERNEL_ENTRY("WdfSpinLockAcquire");
  auto* lock = from_handle<FxSpinLock>(SpinLock, FxType::spin_lock, "WdfSpinLockAcquire");
  const KIRQL irql = current_irql();
  if (irql > DISPATCH_LEVEL) {
    bug_check(IRQL_NOT_GREATER_OR_EQUAL, irql, DISPATCH_LEVEL, reinterpret_cast<ULONG_PTR>(SpinLock), 0,
              "WdfSpinLockAcquire above DISPATCH_LEVEL");
  }
  if (lock->owner.load(std::memory_order_relaxed) == &t_thread_marker) {
    bug_check(WDF_VIOLATION, 0xA, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0,
              "WdfSpinLockAcquire of a lock the thread already holds");
  }
  lock->lock.lock();
  lock->owner.store(&t_thread_marker, std::memory_order_relaxed);
  lock->acquired_from = irql;
  set_current_irql(DISPATCH_LEVEL);
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
  KERNEL_ENTRY("WdfSpinLockRelease");
  auto* lock = from_handle<FxSpinLock>(SpinLock, FxType::spin_lock, "WdfSpinLockRelease");
  if (lock->owner.load(std::memory_order_relaxed) != &t_thread_marker) {
    bug_check(WDF_VIOLATION, 0xB, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0,
              "WdfSpinLockRelease of a lock the thread does not hold");
  }
  const KIRQL restored = lock->acquired_from;
  lock->owner.store(nullptr, std::memory_order_relaxed);
  lock->lock.unlock();
  set_current_irql(restored);
}
