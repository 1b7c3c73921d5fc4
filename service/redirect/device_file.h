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
  //
  // Without an overlapped record of the caller's, each buffer goes where the last buffer
  // written whole ended: a failed or short write leaves part of its buffer in the file, and
  // the next buffer is written over it, so that no cut record stands in front of the records
  // that follow (a reader walking the records would lose them all). Part of a failed buffer
  // longer than the next buffer stays behind that one until later buffers cover it.
  DWORD Write(LPVOID buffer, DWORD length, LPDWORD bytesWritten, LPOVERLAPPED overlapped) override;

 private:
  // End of the last buffer written whole: where the next one goes.
  ULONGLONG m_end = 0;
};
