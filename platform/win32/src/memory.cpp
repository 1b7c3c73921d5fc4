#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "objbase.h"
#include "heapapi.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "winbase.h"

namespace {

// Blocks are tracked so that freeing a pointer that was never handed out (or twice) fails
// as Windows reports it instead of corrupting the heap. The set is an open-addressing table
// of the live blocks (linear probing, deletion by shifting back), so that the bookkeeping of
// an allocation costs no allocation of its own.
class TrackedHeap {
 public:
  void* allocate(SIZE_T bytes, bool zeroed) {
    void* block = zeroed ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) return nullptr;
    std::lock_guard lock(mutex_);
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t at = home(block);
    while (slots_[at] != nullptr) at = (at + 1) & mask();
    slots_[at] = block;
    ++count_;
    return block;
  }

  bool release(void* block) {
    {
      std::lock_guard lock(mutex_);
      if (count_ == 0) return false;
      std::size_t at = home(block);
      while (slots_[at] != block) {
        if (slots_[at] == nullptr) return false;
        at = (at + 1) & mask();
      }
      // Every block after the hole that could sit in it moves back, so that no probe that
      // passed the hole stops short of its block.
      for (std::size_t next = (at + 1) & mask(); slots_[next] != nullptr; next = (next + 1) & mask()) {
        const std::size_t wanted = home(slots_[next]);
        if (((next - wanted) & mask()) >= ((next - at) & mask())) {
          slots_[at] = slots_[next];
          at = next;
        }
      }
      slots_[at] = nullptr;
      --count_;
    }
    std::free(block);
    return true;
  }

 private:
  std::size_t mask() const { return slots_.size() - 1; }
  std::size_t home(const void* block) const {
    auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block));
    key *= 0x9E3779B97F4A7C15ull;  // Fibonacci hashing: heap addresses differ in their middle bits
    return static_cast<std::size_t>(key >> 32) & mask();
  }
  void grow() {
    std::vector<void*> old(slots_.empty() ? 64 : slots_.size() * 2, nullptr);
    old.swap(slots_);
    for (void* block : old) {
      if (block == nullptr) continue;
      std::size_t at = home(block);
      while (slots_[at] != nullptr) at = (at + 1) & mask();
      slots_[at] = block;
    }
  }

  std::mutex mutex_;
  std::vector<void*> slots_;  // a power of two long, at most half full
  std::size_t count_ = 0;
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
