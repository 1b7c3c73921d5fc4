// DeviceBase: the abstract trace sink a redirect writes its buffers of framed trace records
// to (txr_public.h). The service object creates one sink per session start and shares it
// with the session's redirect; the last reference destroys it. A sink is written by one
// thread at a time (the redirect's writer thread) and takes no lock of its own.
//
// Sink types: 1 plain file (DeviceFile), 2 hardware (DeviceQLX), 3 MIPI STP file
// (DeviceMipiSTP2File). Every status is a Win32 error code, 0 = success.
#pragma once

#include <windows.h>

class DeviceBase {
 public:
  DeviceBase();
  DeviceBase(const DeviceBase&) = delete;
  DeviceBase& operator=(const DeviceBase&) = delete;

  // Prepares the sink for a redirect of the session (name in UTF-16).
  virtual DWORD Initialize(LPCWSTR sessionName) = 0;
  // Writes one buffer of framed records. The buffer is the sender's for the duration of the
  // call; an encoding sink rewrites the time stamp and frequency of ETW records in it.
  virtual DWORD Write(LPVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) = 0;
  // True when the handle is neither null nor the invalid-handle value.
  virtual bool IsOpen();
  // Closes the handle when it is not null.
  virtual ~DeviceBase();

 protected:
  HANDLE m_hDevice;
};
