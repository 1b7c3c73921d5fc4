#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "win32_controls/modules_table.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "platform/core/text.h"
#include "winbase.h"

namespace {

// The Windows convention for calls that fill a caller's buffer with a text: the length
// without the terminator when it fits, otherwise the size needed including the terminator,
// and the buffer left alone.
template <typename Char>
DWORD deliver_text(const std::basic_string<Char>& text, Char* buffer, DWORD size) {
  if (text.size() + 1 > size || buffer == nullptr) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.data(), text.size() * sizeof(Char));
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

// GetModuleFileName truncates instead: as much as fits, always terminated, the buffer size as
// the result and ERROR_INSUFFICIENT_BUFFER to tell the caller.
template <typename Char>
DWORD deliver_truncated(const std::basic_string<Char>& text, Char* buffer, DWORD size) {
  if (size == 0 || buffer == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() < size) {
    std::memcpy(buffer, text.data(), text.size() * sizeof(Char));
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
  }
  std::memcpy(buffer, text.data(), (size - 1) * sizeof(Char));
  buffer[size - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

std::optional<std::string> module_file_name(HMODULE module) {
  if (module == nullptr) {
    std::string own = platform::module_path();
    if (own.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return std::nullopt;
    }
    return own;
  }
  auto loaded = platform::loaded_module_path(module);
  if (!loaded) SetLastError(ERROR_MOD_NOT_FOUND);
  return loaded;
}

}  // namespace

DWORD GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  PLATFORM_FAIL_IF_ARMED("GetEnvironmentVariableW", 0);
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto value = platform::environment(platform::utf16_to_utf8(lpName));
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  if (value->empty()) {
    // An empty value reads as 0, which the caller tells from "missing" by the last error.
    if (lpBuffer != nullptr && nSize > 0) lpBuffer[0] = 0;
    SetLastError(ERROR_SUCCESS);
    return 0;
  }
  return deliver_text(platform::utf8_to_utf16(*value), lpBuffer, nSize);
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  PLATFORM_FAIL_IF_ARMED("GetTempPathA", 0);
  std::string folder = platform::environment("TEMP").value_or("");
  if (folder.empty()) folder = (platform::target_root() / "Windows").string();
  if (folder.back() != '\\' && folder.back() != '/') folder.push_back('\\');
  return deliver_text(folder, lpBuffer, nBufferLength);
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  PLATFORM_FAIL_IF_ARMED("GetSystemDirectoryA", 0);
  return deliver_text((platform::target_root() / "Windows" / "System32").string(), lpBuffer, uSize);
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  PLATFORM_FAIL_IF_ARMED("GetCurrentDirectoryW", 0);
  std::vector<char> path(4096);
  while (::getcwd(path.data(), path.size()) == nullptr) {
    if (errno != ERANGE) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    path.resize(path.size() * 2);
  }
  return deliver_text(platform::utf8_to_utf16(path.data()), lpBuffer, nBufferLength);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  PLATFORM_FAIL_IF_ARMED("GetModuleFileNameA", 0);
  auto path = module_file_name(hModule);
  return path ? deliver_truncated(*path, lpFilename, nSize) : 0;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  PLATFORM_FAIL_IF_ARMED("GetModuleFileNameW", 0);
  auto path = module_file_name(hModule);
  return path ? deliver_truncated(platform::utf8_to_utf16(*path), lpFilename, nSize) : 0;
}
