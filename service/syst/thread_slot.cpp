#include "thread_slot.h"

#include <cstdint>

#include "log_writer.h"

ThreadSlot::ThreadSlot() : _threadIndex(TlsAlloc()) {
  if (_threadIndex == TLS_OUT_OF_INDEXES) {
    WriteLog(LOG_ERROR, "TlsAlloc Failed , %lu", static_cast<unsigned long>(GetLastError()));
    _threadIndex = 0;
  }
}

ThreadSlot::~ThreadSlot() {
  if (_threadIndex != 0) TlsFree(_threadIndex);
}

DWORD ThreadSlot::CreateThreadData(LPVOID data) {
  if (_threadIndex == 0 || data == nullptr) {
    WriteLog(LOG_ERROR, "_threadIndex , data invalid, _threadIndex : %lu , data : 0x%x",
             static_cast<unsigned long>(_threadIndex),
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(data)));
    return ERROR_INVALID_PARAMETER;
  }
  // A thread that stores twice reuses its cell instead of leaking the first one.
  auto* cell = static_cast<LPVOID*>(TlsGetValue(_threadIndex));
  if (cell == nullptr) {
    cell = static_cast<LPVOID*>(LocalAlloc(LPTR, sizeof(LPVOID)));
    if (cell == nullptr) {
      WriteLog(LOG_ERROR, "LocalAlloc Failed , %lu", static_cast<unsigned long>(GetLastError()));
      return ERROR_INVALID_PARAMETER;
    }
    if (TlsSetValue(_threadIndex, cell) == FALSE) {
      const DWORD error = GetLastError();
      LocalFree(cell);
      WriteLog(LOG_ERROR, "TlsSetValue error , %lu", static_cast<unsigned long>(error));
      return ERROR_INVALID_PARAMETER;
    }
  }
  *cell = data;
  return 0;
}

LPVOID ThreadSlot::GetThreadData() const {
  if (_threadIndex == 0) return nullptr;
  auto* cell = static_cast<LPVOID*>(TlsGetValue(_threadIndex));
  return cell == nullptr ? nullptr : *cell;
}

DWORD ThreadSlot::FreeThreadData() {
  if (_threadIndex == 0) return ERROR_INVALID_PARAMETER;
  auto* cell = static_cast<LPVOID*>(TlsGetValue(_threadIndex));
  if (cell != nullptr) {
    TlsSetValue(_threadIndex, nullptr);
    LocalFree(cell);
  }
  return 0;
}
