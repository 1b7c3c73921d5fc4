#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel_object.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"

namespace {

// Thread ids are the stand-in's own, handed out once per thread in multiples of 4 as
// Windows does, so that ids are stable, small and known before a new thread runs.
std::atomic<DWORD> g_next_thread_id{0x1000};
thread_local DWORD t_thread_id = 0;

DWORD allocate_thread_id() { return g_next_thread_id.fetch_add(4); }

class ThreadObject final : public platform::KernelObject {
 public:
  DWORD wait(DWORD milliseconds) override {
    std::unique_lock lock(mutex_);
    auto finished = [this] { return finished_; };
    if (milliseconds == INFINITE) {
      done_.wait(lock, finished);
    } else if (!done_.wait_for(lock, std::chrono::milliseconds(milliseconds), finished)) {
      return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }

  void finish() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
};

// Slot 0 is held by the runtime, as the loader's own users hold the first slots on Windows,
// so code that treats index 0 as "no slot" keeps working.
constexpr DWORD kTlsSlots = 1088;
struct TlsSlotTable {
  std::mutex mutex;
  std::array<bool, kTlsSlots> in_use{};
  // Bumped on every allocation, so that a freed and re-allocated index reads as null in every
  // thread, as TlsFree clears the slot everywhere on Windows.
  std::array<std::uint64_t, kTlsSlots> generation{};
  std::atomic<std::uint64_t> generation_counter{1};
};
TlsSlotTable& tls_slots() {
  static TlsSlotTable& table = *new TlsSlotTable;
  return table;
}

struct TlsValue {
  std::uint64_t generation = 0;
  LPVOID value = nullptr;
};
thread_local std::vector<TlsValue> t_tls_values;

std::recursive_mutex* lock_of(LPCRITICAL_SECTION section) {
  return static_cast<std::recursive_mutex*>(section->LockSemaphore);
}

void initialize_section(LPCRITICAL_SECTION section, DWORD spin_count) {
  section->DebugInfo = nullptr;
  section->LockCount = -1;
  section->RecursionCount = 0;
  section->OwningThread = nullptr;
  section->LockSemaphore = new std::recursive_mutex;
  section->SpinCount = spin_count;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD, LPDWORD lpThreadId) {
  // Passes armed by sim::fail_thread_creation_after go before the armed failure.
  if (!platform::take_fault("CreateThread:pass")) PLATFORM_FAIL_IF_ARMED("CreateThread", nullptr);
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<ThreadObject>();
  const DWORD id = allocate_thread_id();
  try {
    // The thread keeps its own reference, so closing the handle only detaches it.
    std::thread([object, id, lpStartAddress, lpParameter] {
      t_thread_id = id;
      lpStartAddress(lpParameter);
      object->finish();
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = id;
  return platform::insert_kernel_object(std::move(object));
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  PLATFORM_FAIL_IF_ARMED("WaitForSingleObject", WAIT_FAILED);
  auto object = platform::lookup_kernel_object(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->wait(dwMilliseconds);
}

// The identity calls cannot fail on Windows, so no fault can be armed for them.
DWORD GetCurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = allocate_thread_id();
  return t_thread_id;
}

// getpid is a system call every time, and every event written asks for the writer's process:
// the id is kept once known, and forgotten in a forked child, the one place it changes.
DWORD GetCurrentProcessId() {
  static std::atomic<DWORD> known{0};
  DWORD id = known.load(std::memory_order_relaxed);
  if (id == 0) {
    static const int forget_in_child =
        ::pthread_atfork(nullptr, nullptr, [] { known.store(0, std::memory_order_relaxed); });
    static_cast<void>(forget_in_child);
    id = static_cast<DWORD>(::getpid());
    known.store(id, std::memory_order_relaxed);
  }
  return id;
}

DWORD GetCurrentProcessorNumber() {
  const int cpu = ::sched_getcpu();
  return cpu < 0 ? 0 : static_cast<DWORD>(cpu);
}

void Sleep(DWORD dwMilliseconds) {
  PLATFORM_FAIL_IF_ARMED("Sleep", );
  if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

// Critical-section calls return nothing on Windows and cannot fail, so an armed fault would
// leave the caller with a lock it believes it holds: none is checked here.
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { initialize_section(lpCriticalSection, 0); }

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
  PLATFORM_FAIL_IF_ARMED("InitializeCriticalSectionAndSpinCount", FALSE);
  initialize_section(lpCriticalSection, dwSpinCount);
  return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  lock_of(lpCriticalSection)->lock();
  lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(GetCurrentThreadId()));
  ++lpCriticalSection->RecursionCount;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = nullptr;
  lock_of(lpCriticalSection)->unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  delete lock_of(lpCriticalSection);
  lpCriticalSection->LockSemaphore = nullptr;
}

DWORD TlsAlloc() {
  PLATFORM_FAIL_IF_ARMED("TlsAlloc", TLS_OUT_OF_INDEXES);
  auto& slots = tls_slots();
  std::lock_guard lock(slots.mutex);
  for (DWORD index = 1; index < kTlsSlots; ++index) {
    if (!slots.in_use[index]) {
      slots.in_use[index] = true;
      slots.generation[index] = slots.generation_counter.fetch_add(1);
      return index;
    }
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return TLS_OUT_OF_INDEXES;
}

BOOL TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue) {
  PLATFORM_FAIL_IF_ARMED("TlsSetValue", FALSE);
  if (dwTlsIndex >= kTlsSlots) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::uint64_t generation;
  {
    auto& slots = tls_slots();
    std::lock_guard lock(slots.mutex);
    generation = slots.generation[dwTlsIndex];
  }
  if (t_tls_values.size() <= dwTlsIndex) t_tls_values.resize(dwTlsIndex + 1);
  t_tls_values[dwTlsIndex] = TlsValue{generation, lpTlsValue};
  return TRUE;
}

LPVOID TlsGetValue(DWORD dwTlsIndex) {
  PLATFORM_FAIL_IF_ARMED("TlsGetValue", nullptr);
  if (dwTlsIndex >= kTlsSlots) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::uint64_t generation;
  {
    auto& slots = tls_slots();
    std::lock_guard lock(slots.mutex);
    generation = slots.generation[dwTlsIndex];
  }
  // Callers tell a stored null from a failure by the last error, so success clears it.
  SetLastError(ERROR_SUCCESS);
  if (dwTlsIndex >= t_tls_values.size() || t_tls_values[dwTlsIndex].generation != generation) return nullptr;
  return t_tls_values[dwTlsIndex].value;
}

BOOL TlsFree(DWORD dwTlsIndex) {
  PLATFORM_FAIL_IF_ARMED("TlsFree", FALSE);
  auto& slots = tls_slots();
  std::lock_guard lock(slots.mutex);
  if (dwTlsIndex == 0 || dwTlsIndex >= kTlsSlots || !slots.in_use[dwTlsIndex]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  slots.in_use[dwTlsIndex] = false;
  slots.generation[dwTlsIndex] = 0;
  return TRUE;
}
