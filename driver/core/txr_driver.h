// TXR, the KMDF driver of the Tessera trace block: the device context every routine works
// on, and the driver's routines by area.
//
// Threads: the framework serialises the PnP and power callbacks; the write and I/O-control
// queues dispatch sequentially (a write and a control may run at once); the create dispatch,
// client registration and the client request functions run on their callers' threads.
// Every entry point runs inside a structured-exception guard (QLXGuarded).
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "txr_public.h"
#include "debug_capture.h"
#include "power.h"
#include "txr_trace.h"
#include "txr_xif.h"

// Pool tag "TxrM" as it reads in a pool dump.
inline constexpr ULONG TXR_POOL_TAG = 0x4D727854;

// Offsets of the blocks inside the 1 MiB CSR window (the power sequences name them by use).
inline constexpr ULONG TXR_CSR_WINDOW_LENGTH = 0x100000;
inline constexpr ULONG TXR_CSR_BLOCK_OFFSETS[] = {0x0,    0xA0000, 0xA1000, 0x4000, 0x3000,
                                                  0x5000, 0x6000,  0x7000,  0x2000, 0x1C00};
inline constexpr ULONG TXR_CSR_BLOCK_COUNT = sizeof(TXR_CSR_BLOCK_OFFSETS) / sizeof(TXR_CSR_BLOCK_OFFSETS[0]);
enum TXR_CSR_BLOCK : ULONG {
  TxrCsrBlockBase = 0,       // 0x0
  TxrCsrBlockMsc = 1,        // 0xA0000
  TxrCsrBlockA1000 = 2,      // 0xA1000
  TxrCsrBlockSwCap = 3,      // 0x4000: software-trace capabilities
  TxrCsrBlock3000 = 4,
  TxrCsrBlock5000 = 5,
  TxrCsrBlock6000 = 6,
  TxrCsrBlock7000 = 7,
  TxrCsrBlock2000 = 8,
  TxrCsrBlock1C00 = 9,
};

// The ETW traffic of the service goes on this channel of the ETW master.
inline constexpr ULONG TXR_ETW_CHANNEL = 32;
inline constexpr ULONG TXR_DEBUG_MASTER = 257;
inline constexpr ULONG TXR_CHANNEL_WINDOW_BYTES = 64;

struct MCALLOC_CLIENT_TYPE_NODE;

// The device context (the framework allocates it zeroed with the device).
struct FDO_DATA {
  WDFDEVICE Device;
  ULONG PowerState;          // 1 (D0) in D0, else the state it left D0 for
  UCHAR PciEnabled;          // command register bit 4
  UCHAR PciRevisionId;
  USHORT PciSubsystemVendorId;
  USHORT PciSubsystemId;
  ULONG HwVersion;           // "TXRVersion", 0 when missing

  PUCHAR SwBase;             // software-trace aperture ("Io Base Address")
  ULONG SwLength;
  PHYSICAL_ADDRESS CsrPhysical;
  PUCHAR CsrBlocks[TXR_CSR_BLOCK_COUNT];
  PUCHAR CsrBase;            // the 1 MiB window itself
  PUCHAR FwBase;             // "FW Base Address"
  ULONG FwLength;

  TXR_POWER_SAVE_AREA PowerSave;  // the power sequences' save areas and saved flags
  BOOLEAN DebugOutputSaved;

  ULONG ChannelsPerMaster;
  ULONG FirstMaster;

  MCALLOC_CLIENT_TYPE_NODE* ClientTypes;  // allocation map: head of the client-type list
  PCALLBACK_OBJECT XifCallbackObject;
  PVOID XifRegistration;

  BUS_INTERFACE_STANDARD BusInterface;
  BOOLEAN HasBusInterface;
  WDFSPINLOCK Lock;          // the allocation map
  WDFSPINLOCK Lock2;
  WDFQUEUE WriteQueue;
  WDFQUEUE IoctlQueue;

  ULONG EtwMaster;           // "ETWMasterBase"
  ULONG EtwMasterEnd;        // "ETWMasterEnd"
  ULONG AlwaysOn;            // "TXRAllwaysON"
  UCHAR IsAcpi;
};
using PFDO_DATA = FDO_DATA*;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FDO_DATA, QLXFdoGetData);

// ---- Entry points ------------------------------------------------------------------------
extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD QLXEvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP QLXEvtDriverContextCleanup;
EVT_WDF_OBJECT_CONTEXT_CLEANUP QLXEvtDeviceContextCleanup;
EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS QLXEvtDeviceFilterAddResourceRequirements;
EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS QLXEvtDeviceFilterRemoveResourceRequirements;
EVT_WDF_DEVICE_REMOVE_ADDED_RESOURCES QLXEvtDeviceRemoveAddedResources;
EVT_WDF_DEVICE_PREPARE_HARDWARE QLXEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE QLXEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY QLXEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT QLXEvtDeviceD0Exit;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS DispatchPower;
DRIVER_DISPATCH QLXDriverDispatch;
EVT_WDF_IO_QUEUE_IO_WRITE QLXEvtIoWrite;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL QLXEvtIoDeviceControl;

// ---- Exception guard ---------------------------------------------------------------------
// The filter of every entry point's guard: logs the exception with the function's name and
// asks the guard to handle it.
LONG QLXExceptionFilter(PEXCEPTION_POINTERS pointers, const char* function);

// Runs `body` inside a structured-exception guard; a handled exception becomes the failure
// status it carried.
template <typename Body>
NTSTATUS QLXGuarded(const char* function, Body&& body) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  __try {
    status = body();
  } __except (QLXExceptionFilter(GetExceptionInformation(), function)) {
    status = GetExceptionCode();
  }
  return status;
}

template <typename Body>
void QLXGuardedVoid(const char* function, Body&& body) {
  __try {
    body();
  } __except (QLXExceptionFilter(GetExceptionInformation(), function)) {
  }
}

// ---- Device (device.cpp) -----------------------------------------------------------------
NTSTATUS QLXCreateDevice(PWDFDEVICE_INIT deviceInit, WDFDEVICE* device);
NTSTATUS QLXAllocateSoftwareResources(WDFDEVICE device, PFDO_DATA fdoData);
NTSTATUS QLXGetDeviceInformation(PFDO_DATA fdoData);
NTSTATUS QLXQueryRegKey(WDFDEVICE device, PCUNICODE_STRING name, PULONG value);
NTSTATUS QLXQueryRegKeyForMaster(PFDO_DATA fdoData);
NTSTATUS QLXQueryRegKeyForPMFlow(PFDO_DATA fdoData);
NTSTATUS QLXQueryRegKeyForDbgEnableBoot(PFDO_DATA fdoData, PULONG enable);
NTSTATUS QLXDetermineHWVersion(PFDO_DATA fdoData);
NTSTATUS QLXMapHWResources(PFDO_DATA fdoData, WDFCMRESLIST resourcesTranslated);
void QLXUnmapHWResources(PFDO_DATA fdoData);
NTSTATUS QLXReadRegisters(PFDO_DATA fdoData);
// True when the CSR window and the aperture are mapped: nothing touches a register else.
BOOLEAN QLXRegistersMapped(const FDO_DATA* fdoData);
// Offset of a channel's window in the aperture (wraps for a master below the first).
ULONG QLXChannelOffset(const FDO_DATA* fdoData, ULONG master, ULONG channel);
// The virtual address of channel `channel` of master `master` in the aperture, or null when
// it lies outside the mapped aperture.
PUCHAR QLXChannelAddress(const FDO_DATA* fdoData, ULONG master, ULONG channel);

// ---- ACPI and PCI (acpi_pci.cpp) ---------------------------------------------------------
NTSTATUS QLXSendIrpToAcpi(WDFDEVICE device, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength);
NTSTATUS QLXAcpiGetUlong(WDFDEVICE device, const char methodName[4], PULONG value);
NTSTATUS QLXAcpiGet_HID(WDFDEVICE device, PULONG value);
NTSTATUS QLXReadPCIInternal(PFDO_DATA fdoData, UCHAR offset, PVOID buffer, ULONG size);
NTSTATUS QLXWritePCIInternal(PFDO_DATA fdoData, UCHAR offset, PVOID buffer, ULONG size);

// ---- Master/channel allocation and the client interface (mc_alloc.cpp, xif.cpp) ----------
NTSTATUS QLXInitMasterChannelAllocation(WDFDEVICE device);
NTSTATUS QLX_XIF_CreateNRegisterCBO(WDFDEVICE device);
void QLX_XIF_UnregisterCBO(WDFDEVICE device);
// Frees the device's allocation map (device-context cleanup).
void MCAlloc_FreeMap(PFDO_DATA fdoData);
