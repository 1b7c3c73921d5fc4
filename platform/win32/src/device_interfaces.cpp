// Configuration-manager device-interface lookup: CM_Get_Device_Interface_List_SizeW,
// CM_Get_Device_Interface_ListW and CM_MapCrToWin32Err over the interface instances that
// platform/core lists (the kernel surface lists the driver's, tests list fakes).
#include <cstring>

#include "cfgmgr32.h"
#include "platform/core/devices.h"
#include "platform/core/faults.h"
#include "winbase.h"

namespace {

// The multi-string of the class's instances: each path with its terminator, then one more.
std::u16string interface_list(const GUID& guid) {
  platform::InterfaceClass wanted;
  std::memcpy(wanted.data(), &guid, wanted.size());
  std::u16string list;
  for (const std::u16string& path : platform::device_interfaces(wanted)) {
    list += path;
    list.push_back(0);
  }
  list.push_back(0);
  return list;
}

}  // namespace

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags) {
  if (auto armed = platform::take_fault("CM_Get_Device_Interface_List_SizeW")) return *armed;
  if (pulLen == nullptr || InterfaceClassGuid == nullptr) return CR_INVALID_POINTER;
  *pulLen = 0;
  if (ulFlags > CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
  // Device instances are not modelled: an instance filter finds nothing.
  if (pDeviceID != nullptr && pDeviceID[0] != 0) {
    *pulLen = 1;
    return CR_SUCCESS;
  }
  *pulLen = static_cast<ULONG>(interface_list(*InterfaceClassGuid).size());
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PWCHAR Buffer,
                                        ULONG BufferLen, ULONG ulFlags) {
  if (auto armed = platform::take_fault("CM_Get_Device_Interface_ListW")) return *armed;
  if (InterfaceClassGuid == nullptr || Buffer == nullptr || BufferLen == 0) return CR_INVALID_POINTER;
  if (ulFlags > CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
  std::u16string list =
      (pDeviceID != nullptr && pDeviceID[0] != 0) ? std::u16string(1, u'\0') : interface_list(*InterfaceClassGuid);
  if (list.size() > BufferLen) return CR_BUFFER_SMALL;
  std::memcpy(Buffer, list.data(), list.size() * sizeof(WCHAR));
  return CR_SUCCESS;
}

DWORD CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr) {
  switch (CmReturnCode) {
    case CR_SUCCESS: return ERROR_SUCCESS;
    case CR_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case CR_INVALID_POINTER: return ERROR_INVALID_USER_BUFFER;
    case CR_INVALID_FLAG: return ERROR_INVALID_FLAGS;
    case CR_BUFFER_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case CR_INVALID_DATA: return ERROR_INVALID_DATA;
    case CR_NO_SUCH_DEVICE_INTERFACE: return ERROR_NOT_FOUND;
    default: return DefaultErr;
  }
}
