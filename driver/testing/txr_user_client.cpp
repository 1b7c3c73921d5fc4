#include "txr_user_client.h"

#include <cstring>

#include <cfgmgr32.h>
#include <windows.h>

#include "txr_public.h"

namespace txr_testing {
namespace {

GUID InterfaceClass() {
  GUID guid;
  std::memcpy(&guid, TXR_DEVICE_INTERFACE_GUID_BYTES, sizeof guid);
  return guid;
}

}  // namespace

std::u16string txr_interface_path() {
  GUID guid = InterfaceClass();
  ULONG size = 0;
  if (CM_Get_Device_Interface_List_SizeW(&size, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS ||
      size <= 1) {
    return {};
  }
  std::vector<WCHAR> list(size, 0);
  if (CM_Get_Device_Interface_ListW(&guid, nullptr, list.data(), size, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
      CR_SUCCESS) {
    return {};
  }
  return std::u16string(list.data());
}

TxrUserClient::~TxrUserClient() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

std::uint32_t TxrUserClient::open() {
  const std::u16string path = txr_interface_path();
  if (path.empty()) return ERROR_FILE_NOT_FOUND;
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  handle_ = handle;
  return 0;
}

std::uint32_t TxrUserClient::write(const std::vector<std::uint8_t>& bytes, std::uint32_t* written) {
  DWORD done = 0;
  const BOOL ok = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  if (written != nullptr) *written = done;
  return ok ? 0 : GetLastError();
}

std::uint32_t TxrUserClient::control(std::uint32_t code, const std::vector<std::uint8_t>& input) {
  DWORD returned = 0;
  std::vector<std::uint8_t> copy = input;
  const BOOL ok = DeviceIoControl(handle_, code, copy.empty() ? nullptr : copy.data(), static_cast<DWORD>(copy.size()),
                                  nullptr, 0, &returned, nullptr);
  return ok ? 0 : GetLastError();
}

}  // namespace txr_testing
