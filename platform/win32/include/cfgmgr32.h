// Configuration-manager device-interface lookup: the device interfaces present for a class
// GUID, as a list of paths that CreateFileW opens through the platform's device routing.
#pragma once

#include "guiddef.h"
#include "windef.h"

using CONFIGRET = DWORD;
using DEVINSTID_W = WCHAR*;
using PWCHAR = WCHAR*;

#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001

#define CR_SUCCESS 0x00000000
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_INVALID_DATA 0x0000001F
#define CR_NO_SUCH_DEVICE_INTERFACE 0x00000037

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PWCHAR Buffer,
                                        ULONG BufferLen, ULONG ulFlags);
DWORD CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);
