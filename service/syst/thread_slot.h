// ThreadSlot: one pointer per thread, on a TLS index of its own. The STP file sink finds
// itself through one from the writer's byte output, and the ETW consumer finds its adapter
// on its threads through another.
//
// The object is created once (TlsAlloc) and destroyed at process exit (TlsFree). Each thread
// stores and releases its own value; a thread's value is an 8-byte cell from LocalAlloc
// holding the pointer.
#pragma once

#include <windows.h>

class ThreadSlot {
 public:
  ThreadSlot();
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  // Stores `data` for the calling thread: 0, or 87 for a missing index, a null pointer or
  // a failed allocation or store.
  DWORD CreateThreadData(LPVOID data);
  // The calling thread's pointer, or null.
  LPVOID GetThreadData() const;
  // Frees the calling thread's cell and leaves its slot empty: 0, or 87 without an index.
  DWORD FreeThreadData();

 private:
  DWORD _threadIndex;
};
