#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "objbase.h"
#include "heapapi.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "winbase.h"

namespace {

// Blocks are tracked so that freeing a pointer that was never handed out (or twice) fails
// as Windows reports it instead of corrupting the heap.
class TrackedHeap {
 public:
  void* allocate(SIZE_T bytes, bool zeroed) {
    void* block = zeroed ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    std::lock_guard lock(mutex_);
    blocks_.insert(block);
    return block;
  }

  bool release(void* block) {
    {
      std::lock_guard lock(mutex_);
      if (blocks_.erase(block) == 0) return false;
    }
    std::free(block);
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<void*> blocks_;
};

// Local and global memory share one heap on Windows, so either free works on either block.
TrackedHeap& process_heap() {
  static TrackedHeap& heap = *new TrackedHeap;
  return heap;
}

TrackedHeap& task_heap() {
  static TrackedHeap& heap = *new TrackedHeap;
  return heap;
}

HANDLE allocate_fixed(UINT flags, SIZE_T bytes) {
  void* block = process_heap().allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HANDLE release_fixed(HANDLE block) {
  if (block == nullptr) return nullptr;
  if (!process_heap().release(block)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return block;
  }
  return nullptr;
}

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  PLATFORM_FAIL_IF_ARMED("LocalAlloc", nullptr);
  return allocate_fixed(uFlags, uBytes);
}

HLOCAL LocalFree(HLOCAL hMem) {
  PLATFORM_FAIL_IF_ARMED("LocalFree", hMem);
  return release_fixed(hMem);
}

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  PLATFORM_FAIL_IF_ARMED("GlobalAlloc", nullptr);
  return allocate_fixed(uFlags, dwBytes);
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  PLATFORM_FAIL_IF_ARMED("GlobalFree", hMem);
  return release_fixed(hMem);
}

LPVOID CoTaskMemAlloc(SIZE_T cb) {
  PLATFORM_FAIL_IF_ARMED("CoTaskMemAlloc", nullptr);
  return task_heap().allocate(cb, false);
}

void CoTaskMemFree(LPVOID pv) {
  PLATFORM_FAIL_IF_ARMED("CoTaskMemFree", );
  if (pv != nullptr) task_heap().release(pv);
}

// The process heap is the one LocalAlloc uses; its handle is a fixed token, as callers only
// pass it back.
HANDLE GetProcessHeap() {
  static int token;
  return &token;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  PLATFORM_FAIL_IF_ARMED("HeapAlloc", nullptr);
  if (hHeap != GetProcessHeap()) return nullptr;
  return process_heap().allocate(dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
  PLATFORM_FAIL_IF_ARMED("HeapFree", FALSE);
  if (lpMem == nullptr) return TRUE;
  if (hHeap != GetProcessHeap() || !process_heap().release(lpMem)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
