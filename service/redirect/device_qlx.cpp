#include "device_qlx.h"

#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "cfgmgr32.h"
#include "log_writer.h"
#include "txr_public.h"

#if defined(__MINGW32__)
// The Windows SDK declares it in cfgmgr32.h; mingw-w64's copy of that header lacks it.
extern "C" DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);
#endif

bool GetDevicePath(LPWSTR path) {
  FunctionTrace trace("GetDevicePath");
  if (path == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return false;
  }
  path[0] = 0;
  GUID interfaceClass = kTxrInterfaceClass;
  ULONG size = 0;
  CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&size, &interfaceClass, nullptr,
                                                     CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
  if (cr != CR_SUCCESS) {
    WriteLog(LOG_ERROR, "Error # CM_Get_DeviceInterface_List_Size");
    return false;
  }
  if (size == 0) {
    WriteLog(LOG_ERROR, "Error # CM_Get_DeviceInterface_List_Size : %lx",
             static_cast<unsigned long>(CM_MapCrToWin32Err(cr, ERROR_FILE_NOT_FOUND)));
    return true;
  }
  std::vector<WCHAR> list;
  try {
    list.assign(size, 0);
  } catch (const std::bad_alloc&) {
    WriteLog(LOG_ERROR, "Error # Failed to allocate memory for the device interface list");
    return false;
  }
  cr = CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list.data(), size,
                                     CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
  if (cr != CR_SUCCESS) {
    WriteLog(LOG_ERROR, "Error # CM_Get_Device_Interface_List %lx",
             static_cast<unsigned long>(CM_MapCrToWin32Err(cr, ERROR_FILE_NOT_FOUND)));
    return false;
  }
  // The list is a run of terminated paths ended by an empty one; the platform may hand back
  // less than it promised, so every step stays inside the buffer.
  std::size_t first = 0;
  while (first < size && list[first] != 0) ++first;
  if (first == 0) {
    WriteLog(LOG_ERROR, "Error # CM_Get_Device_Interface_List returned an empty list:");
  } else if (first + 1 < size && list[first + 1] != 0) {
    WriteLog(LOG_ERROR, "Error # More than one device interface instance found Selecting first matching device.");
  }
  const std::size_t copied = first < kDevicePathLength - 1 ? first : kDevicePathLength - 1;
  std::memcpy(path, list.data(), copied * sizeof(WCHAR));
  path[copied] = 0;
  return true;
}

DWORD OpenQLXDevice(HANDLE* handle) {
  FunctionTrace trace("OpenQLXDevice");
  if (handle == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  WCHAR path[kDevicePathLength] = {};
  if (!GetDevicePath(path)) {
    *handle = INVALID_HANDLE_VALUE;
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  WriteLog(LOG_DEBUG, "DEBUG #  Creating file Asynchronous option");
  *handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
  if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
    WriteLog(LOG_DEBUG, "DEBUG #  Open Device Successfully");
    OutputDebugStringW(TEXT("Open Device Successfully ----------------"));
    return ERROR_SUCCESS;
  }
  const DWORD error = GetLastError();
  WriteLog(LOG_ERROR, "ERROR #  CreateFile : 0x%16lx\n", static_cast<unsigned long>(error));
  *handle = nullptr;
  // A failed open with no error recorded must still read as a failure.
  return error != 0 ? error : ERROR_DEVICE_NOT_AVAILABLE;
}

DWORD QLXWriteToChannel(LPCVOID buffer, DWORD length, HANDLE device) {
  if (device == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  if (buffer == nullptr && length != 0) {
    return ERROR_INSUFFICIENT_BUFFER;
  }
  DWORD written = 0;
  if (WriteFile(device, buffer, length, &written, nullptr)) {
    return ERROR_SUCCESS;
  }
  const DWORD error = GetLastError();
  WriteLog(LOG_ERROR, "Failed - IOCTL_WRITE_TO_ETW_CHANNEL - InSize: %ld, Error: %ld\n", static_cast<long>(length),
           static_cast<long>(error));
  return error;
}

namespace {

// The whole frames at the head of a buffer (a frame whose length runs past the end is not
// counted): what a failed write lost, in the records a reader of the capture would miss.
ULONGLONG CountRecords(const BYTE* buffer, DWORD length) {
  ULONGLONG records = 0;
  std::size_t position = 0;
  while (length - position >= TRACE_RECORD_HEADER_SIZE) {
    std::uint64_t recordLength = 0;
    std::memcpy(&recordLength, buffer + position + 2, sizeof recordLength);
    if (buffer[position] != 0xBF || buffer[position + 1] != 0xAE || recordLength == 0 ||
        recordLength > length - position - TRACE_RECORD_FRAME_SIZE) {
      break;
    }
    position += TRACE_RECORD_FRAME_SIZE + static_cast<std::size_t>(recordLength);
    ++records;
  }
  return records;
}

}  // namespace

DeviceQLX::DeviceQLX() {
  m_hDevice = nullptr;
  HANDLE device = nullptr;
  const DWORD status = OpenQLXDevice(&device);
  if (status != ERROR_SUCCESS || device == nullptr || device == INVALID_HANDLE_VALUE) {
    // The base's destructor does not run for a constructor that throws; nothing was opened.
    throw std::system_error(static_cast<int>(status != ERROR_SUCCESS ? status : ERROR_DEVICE_NOT_AVAILABLE),
                            std::system_category());
  }
  m_hDevice = device;
}

DWORD DeviceQLX::Initialize(LPCWSTR /*sessionName*/) { return ERROR_SUCCESS; }

DWORD DeviceQLX::Write(LPVOID buffer, DWORD length, LPDWORD bytesWritten, LPOVERLAPPED /*overlapped*/) {
  if (buffer == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  if (!IsOpen()) {
    return ERROR_FILE_NOT_FOUND;
  }
  const DWORD status = QLXWriteToChannel(buffer, length, m_hDevice);
  if (status == ERROR_SUCCESS) {
    if (bytesWritten != nullptr) *bytesWritten = length;
    return status;
  }
  if (bytesWritten != nullptr) *bytesWritten = 0;
  const ULONGLONG records = CountRecords(static_cast<const BYTE*>(buffer), length);
  m_lostBytes += length;
  m_lostRecords += records;
  ++m_failedWrites;
  WriteLog(LOG_ERROR,
           "ERROR # DeviceQLX::Write # TXR failed a write of %lu bytes (%llu records) with error %lu; lost to failed "
           "writes so far: %llu bytes, %llu records in %lu writes",
           static_cast<unsigned long>(length), static_cast<unsigned long long>(records),
           static_cast<unsigned long>(status), static_cast<unsigned long long>(m_lostBytes),
           static_cast<unsigned long long>(m_lostRecords), static_cast<unsigned long>(m_failedWrites));
  return status;
}
