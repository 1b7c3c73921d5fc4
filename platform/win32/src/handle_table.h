// The process's handle table: every kernel-object HANDLE the stand-in hands out (threads,
// files, and devices that other families add) names a HandleObject held here until
// CloseHandle. Internal to the platform.
//
// Lifetime: the table holds one reference; callers that work on an object hold another for
// the duration of the call, so closing a handle while another thread uses it is safe, and
// the object goes away when the last reference does.
// Thread safety: every function may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "winbase.h"

namespace platform {

// A kernel object. The defaults answer as Windows does for an object of the wrong kind;
// each kind overrides what it supports. Failures return false (or WAIT_FAILED) and set the
// last error.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  virtual DWORD wait(DWORD milliseconds);
  virtual bool read(void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED* overlapped);
  virtual bool write(const void* buffer, DWORD size, DWORD& transferred, const OVERLAPPED* overlapped);
  virtual bool seek(LONGLONG distance, DWORD method, LONGLONG& position);
  virtual bool size(LONGLONG& bytes);
  virtual bool flush();
};

HANDLE insert_handle(std::shared_ptr<HandleObject> object);
// Null when the handle is not open (or is null or INVALID_HANDLE_VALUE).
std::shared_ptr<HandleObject> lookup_handle(HANDLE handle);
// Like lookup_handle, but also null when the object is of another kind.
template <typename T>
std::shared_ptr<T> lookup_handle_as(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(lookup_handle(handle));
}

// Device paths ("\\.\..." and "\\?\...") are not files: CreateFileW hands them to the opener
// the device family installs. It returns the device's object, or null with `error` set.
using DeviceOpener = std::function<std::shared_ptr<HandleObject>(
    const std::u16string& path, DWORD desired_access, DWORD share_mode, DWORD creation_disposition, DWORD& error)>;
void set_device_opener(DeviceOpener opener);
DeviceOpener device_opener();

}  // namespace platform
