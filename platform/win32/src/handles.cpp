#include <mutex>
#include <unordered_map>

#include "handle_table.h"
#include "platform_state.h"

namespace platform {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> objects;
  // Handle values grow by 4 like kernel handles and are never reused, so a stale handle
  // can never reach a newer object.
  std::uintptr_t next = 0x100;
  DeviceOpener device_opener;
};

HandleTable& table() {
  static HandleTable& instance = *new HandleTable;
  return instance;
}

void reset_handles() {
  std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> dropped;
  {
    std::lock_guard lock(table().mutex);
    dropped.swap(table().objects);
  }
  // Objects are released outside the lock: a file's release takes the file family's lock.
}

const bool registered = register_reset(&reset_handles);

}  // namespace

DWORD HandleObject::wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

bool HandleObject::read(void*, DWORD, DWORD&, const OVERLAPPED*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool HandleObject::write(const void*, DWORD, DWORD&, const OVERLAPPED*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool HandleObject::seek(LONGLONG, DWORD, LONGLONG&) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool HandleObject::size(LONGLONG&) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool HandleObject::flush() {
  SetLastError(ERROR_INVALID_FUNCTION);
  return false;
}

HANDLE insert_handle(std::shared_ptr<HandleObject> object) {
  (void)registered;
  std::lock_guard lock(table().mutex);
  const std::uintptr_t value = table().next;
  table().next += 4;
  table().objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> lookup_handle(HANDLE handle) {
  std::lock_guard lock(table().mutex);
  auto it = table().objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table().objects.end() ? nullptr : it->second;
}

void set_device_opener(DeviceOpener opener) {
  std::lock_guard lock(table().mutex);
  table().device_opener = std::move(opener);
}

DeviceOpener device_opener() {
  std::lock_guard lock(table().mutex);
  return table().device_opener;
}

}  // namespace platform

BOOL CloseHandle(HANDLE hObject) {
  PLATFORM_FAIL_IF_ARMED("CloseHandle", FALSE);
  std::shared_ptr<platform::HandleObject> released;
  {
    auto& handles = platform::table();
    std::lock_guard lock(handles.mutex);
    auto it = handles.objects.find(reinterpret_cast<std::uintptr_t>(hObject));
    if (it == handles.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    released = std::move(it->second);
    handles.objects.erase(it);
  }
  return TRUE;
}
