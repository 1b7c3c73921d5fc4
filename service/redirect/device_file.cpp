#include "device_file.h"

#include <cstdio>

#include "log_writer.h"
#include "util.h"

namespace {

// ERROR_INVALID_LEVEL: what a short write without a platform error is reported as.
constexpr DWORD kShortWrite = 124;

}  // namespace

DWORD DeviceFile::Initialize(LPCWSTR sessionName) {
  FunctionTrace trace("DeviceFile::Initialize");
  if (sessionName == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  if (IsOpen()) {
    return ERROR_SUCCESS;
  }
  // The name comes from the network: one that would name a file elsewhere, or a device,
  // opens nothing (the service refuses such a start or redirect before it gets here).
  if (!Util::IsPlainFileName(sessionName)) {
    WriteLog(LOG_ERROR, "ERROR # DeviceFile::Initialize # Session name is not a valid file name for the file sink");
    return ERROR_INVALID_NAME;
  }
  WCHAR fileName[MAX_PATH] = {};
  std::size_t length = 0;
  while (sessionName[length] != 0) ++length;
  const WCHAR extension[] = TEXT(".bin");
  constexpr std::size_t kExtensionLength = sizeof(extension) / sizeof(WCHAR) - 1;
  // The name is formatted into MAX_PATH units, extension and terminator included.
  if (length + kExtensionLength + 1 > MAX_PATH) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_FILENAME_EXCED_RANGE;
  }
  for (std::size_t i = 0; i < length; ++i) fileName[i] = sessionName[i];
  for (std::size_t i = 0; i <= kExtensionLength; ++i) fileName[length + i] = extension[i];
  m_hDevice = CreateFileW(fileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (IsOpen()) {
    m_end = 0;
    return ERROR_SUCCESS;
  }
  const DWORD error = GetLastError();
  // The base's destructor closes any non-null handle: an invalid one must not reach it.
  m_hDevice = nullptr;
  return error;
}

DWORD DeviceFile::Write(LPVOID buffer, DWORD length, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
  if (buffer == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return ERROR_INVALID_PARAMETER;
  }
  // A synchronous handle writes at the offset an overlapped record names.
  OVERLAPPED atEnd{0, 0, {{static_cast<DWORD>(m_end), static_cast<DWORD>(m_end >> 32)}}, nullptr};
  const bool ownPosition = overlapped == nullptr;
  DWORD written = 0;
  const BOOL ok = WriteFile(m_hDevice, buffer, length, &written, ownPosition ? &atEnd : overlapped);
  if (bytesWritten != nullptr) {
    *bytesWritten = written;
  }
  if (!ok) {
    const DWORD error = GetLastError();
    return error != 0 ? error : kShortWrite;
  }
  // A call that succeeded set no error of its own: the last error is whatever an earlier call
  // left (CreateFileW's "already exists" when the file was there before, say).
  if (written != length) {
    return kShortWrite;
  }
  if (ownPosition) {
    m_end += written;
  }
  return ERROR_SUCCESS;
}
