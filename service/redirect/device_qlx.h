// The hardware sink: buffers of trace records written to TXR's device interface, which
// encodes them into the Tessera's channel memory.
#pragma once

#include "device_base.h"

// TXR's device interface class.
inline constexpr GUID kTxrInterfaceClass = {0x62DAC42B, 0x22C9, 0x4BBA,
                                            {0x9C, 0x5E, 0xDA, 0xB5, 0x81, 0xB1, 0x4E, 0x3E}};
inline constexpr DWORD kDevicePathLength = 1024;

// The first present instance of TXR's interface into `path` (kDevicePathLength units);
// false when the lookup failed. An empty list leaves the path empty and answers true.
bool GetDevicePath(LPWSTR path);
// Opens TXR's device for synchronous writes: 0, 4319 when no path could be found, or the
// open's error (the handle is then null).
DWORD OpenQLXDevice(HANDLE* handle);
// One synchronous write request of `length` bytes to TXR: 0 or the platform's error.
DWORD QLXWriteToChannel(LPCVOID buffer, DWORD length, HANDLE device);

class DeviceQLX : public DeviceBase {
 public:
  // Opens the device; throws std::system_error with the status when TXR cannot be opened.
  DeviceQLX();

  // The device is opened by the constructor: nothing to prepare.
  DWORD Initialize(LPCWSTR sessionName) override;
  // A write TXR fails is never silent: besides the failure line, the log keeps the running
  // total of what this sink lost to failed writes (bytes, records and writes).
  DWORD Write(LPVOID buffer, DWORD length, LPDWORD bytesWritten, LPOVERLAPPED overlapped) override;

 private:
  ULONGLONG m_lostBytes = 0;
  ULONGLONG m_lostRecords = 0;
  ULONG m_failedWrites = 0;
};
