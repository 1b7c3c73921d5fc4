// Kernel objects behind HANDLE values (threads, files, devices, later events): their kind in
// the core's one handle table. Internal to platform/win32.
//
// Lifetime: the table holds one reference; callers that work on an object hold another for
// the duration of the call, so closing a handle while another thread uses it is safe, and
// the object goes away when the last reference does.
// Thread safety: every function may be called from any thread.
#pragma once

#include <memory>

#include "platform/core/handles.h"
#include "winbase.h"

namespace platform {

// The defaults answer as Windows does for an object of the wrong kind; each kind overrides
// what it supports. Failures return false (or WAIT_FAILED) and set the last error.
class KernelObject : public HandleObject {
 public:
  virtual DWORD wait(DWORD milliseconds);
  virtual bool read(void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED* overlapped);
  virtual bool write(const void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED* overlapped);
  virtual bool io_control(DWORD code, const void* input, DWORD input_size, void* output, DWORD output_size,
                          DWORD& transferred);
};

inline HANDLE insert_kernel_object(std::shared_ptr<KernelObject> object) {
  return reinterpret_cast<HANDLE>(insert_handle(std::move(object)));
}
// Null when the handle is not open or names no kernel object (a socket, a registry key, ...).
template <typename T = KernelObject>
std::shared_ptr<T> lookup_kernel_object(HANDLE handle) {
  return lookup_handle_as<T>(reinterpret_cast<HandleValue>(handle));
}

}  // namespace platform
