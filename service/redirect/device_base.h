// A trace sink: where the redirect of a session puts its buffers of framed trace records.
//
// Lifecycle: the service object creates one sink per session start and shares it with the
// redirect; the last release destroys it and closes its handle. A sink is written by one
// thread at a time (the redirect's writer thread) and takes no lock of its own.
#pragma once

#include "windows.h"

class DeviceBase {
 public:
  DeviceBase() = default;
  DeviceBase(const DeviceBase&) = delete;
  DeviceBase& operator=(const DeviceBase&) = delete;

  // Prepares the sink for a redirect of the session `sessionName`; 0 or a Win32 error.
  virtual DWORD Initialize(LPCWSTR sessionName) = 0;
  // Writes one buffer; 0 or a Win32 error.
  virtual DWORD Write(LPCVOID buffer, DWORD length, LPDWORD bytesWritten, LPOVERLAPPED overlapped) = 0;
  virtual bool IsOpen() { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  virtual ~DeviceBase() {
    if (m_handle != nullptr) {
      CloseHandle(m_handle);
      m_handle = nullptr;
    }
  }

 protected:
  HANDLE m_handle = nullptr;
};
