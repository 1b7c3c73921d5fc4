// The plain file sink: the session's records, unchanged, in "<session>.bin" in the
// service's current directory.
#pragma once

#include "device_base.h"

class DeviceFile : public DeviceBase {
 public:
  DeviceFile() = default;

  // Creates the file. The writing thread initialises the sink; a second Initialize of a sink
  // whose file is open keeps that file and answers 0, so a caller that prepares the sink
  // early and the writer that prepares it again do not collide on the file's share mode.
  // 123 (ERROR_INVALID_NAME), and no file, for a name that is not a plain file name.
  DWORD Initialize(LPCWSTR sessionName) override;
  // 0, the platform's error, or 124 for a short write that reported no error.
  DWORD Write(LPVOID buffer, DWORD length, LPDWORD bytesWritten, LPOVERLAPPED overlapped) override;
};
