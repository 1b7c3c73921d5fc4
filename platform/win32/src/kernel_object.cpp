#include "kernel_object.h"

#include "platform/core/faults.h"

namespace platform {

DWORD KernelObject::wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

bool KernelObject::read(void*, DWORD, DWORD&, const OVERLAPPED*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool KernelObject::write(const void*, DWORD, DWORD&, const OVERLAPPED*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool KernelObject::io_control(DWORD, const void*, DWORD, void*, DWORD, DWORD&) {
  SetLastError(ERROR_INVALID_FUNCTION);
  return false;
}

}  // namespace platform

BOOL CloseHandle(HANDLE hObject) {
  PLATFORM_FAIL_IF_ARMED("CloseHandle", FALSE);
  // Only kernel objects close here: a socket or a registry key has its own close call.
  if (!platform::remove_handle_as<platform::KernelObject>(reinterpret_cast<platform::HandleValue>(hObject))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
