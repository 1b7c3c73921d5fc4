// The device: creation, software resources, registry parameters, the hardware windows and
// capability registers, the resource-requirement filters, D0 entry and exit, cleanup.
#include <wdmguid.h>

#include "mc_alloc.h"
#include "syst.h"

#define TXR_DEFINE_GUID(name, ...) DEFINE_GUID(name, __VA_ARGS__)
TXR_DEFINE_GUID(GUID_DEVINTERFACE_TXR, TXR_DEVICE_INTERFACE_GUID_FIELDS);
#undef TXR_DEFINE_GUID

namespace {

constexpr ULONG kPciConfigBytes = 226;
constexpr ULONG kMapProtection = PAGE_READWRITE | PAGE_NOCACHE;

NTSTATUS Failed(const char* text, NTSTATUS status) {
  TxrLogError(status, "%s", text);
  return status;
}

// The trace handles of types 0 to 3 share the ETW channel; a type that cannot be made takes
// the others with it, so the encoder never holds half a set.
NTSTATUS CreateTraceHandles(PFDO_DATA fdoData) {
  for (ULONG type = TRACE_RECORD_TYPE_ETW; type <= TRACE_RECORD_TYPE_VEX; ++type) {
    if (init_mipisyst_handle(fdoData, type, 1) != 0) {
      for (ULONG made = TRACE_RECORD_TYPE_ETW; made <= TRACE_RECORD_TYPE_VEX; ++made) release_mipisyst_handles(made);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

void UnmapWindow(PUCHAR& base, SIZE_T length) {
  if (base != nullptr) MmUnmapIoSpace(base, length);
  base = nullptr;
}

}  // namespace

BOOLEAN QLXRegistersMapped(const FDO_DATA* fdoData) {
  return fdoData != nullptr && fdoData->CsrBase != nullptr && fdoData->SwBase != nullptr;
}

ULONG QLXChannelOffset(const FDO_DATA* fdoData, ULONG master, ULONG channel) {
  // 32-bit unsigned arithmetic: a master below the first one wraps far beyond the aperture.
  return ((master - fdoData->FirstMaster) * fdoData->ChannelsPerMaster + channel) * TXR_CHANNEL_WINDOW_BYTES;
}

PUCHAR QLXChannelAddress(const FDO_DATA* fdoData, ULONG master, ULONG channel) {
  if (!QLXRegistersMapped(fdoData)) return nullptr;
  const ULONG offset = QLXChannelOffset(fdoData, master, channel);
  if (offset >= fdoData->SwLength || fdoData->SwLength - offset < TXR_CHANNEL_WINDOW_BYTES) return nullptr;
  return fdoData->SwBase + offset;
}

NTSTATUS QLXQueryRegKey(WDFDEVICE device, PCUNICODE_STRING name, PULONG value) {
  WDFKEY key = nullptr;
  NTSTATUS status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS,
                                             WDF_NO_OBJECT_ATTRIBUTES, &key);
  if (!NT_SUCCESS(status)) return status;
  status = WdfRegistryQueryULong(key, name, value);
  WdfRegistryClose(key);
  return status;
}

NTSTATUS QLXQueryRegKeyForMaster(PFDO_DATA fdoData) {
  DECLARE_CONST_UNICODE_STRING(baseName, TXR_TEXT("ETWMasterBase"));
  DECLARE_CONST_UNICODE_STRING(endName, TXR_TEXT("ETWMasterEnd"));
  NTSTATUS status = QLXQueryRegKey(fdoData->Device, &baseName, &fdoData->EtwMaster);
  if (NT_SUCCESS(status)) status = QLXQueryRegKey(fdoData->Device, &endName, &fdoData->EtwMasterEnd);
  return status;
}

NTSTATUS QLXQueryRegKeyForPMFlow(PFDO_DATA fdoData) {
  DECLARE_CONST_UNICODE_STRING(name, TXR_TEXT("TXRAllwaysON"));
  return QLXQueryRegKey(fdoData->Device, &name, &fdoData->AlwaysOn);
}

NTSTATUS QLXQueryRegKeyForDbgEnableBoot(PFDO_DATA fdoData, PULONG enable) {
  DECLARE_CONST_UNICODE_STRING(name, TXR_TEXT("TXRDebugTraceEnableAtBoot"));
  return QLXQueryRegKey(fdoData->Device, &name, enable);
}

NTSTATUS QLXDetermineHWVersion(PFDO_DATA fdoData) {
  DECLARE_CONST_UNICODE_STRING(name, TXR_TEXT("TXRVersion"));
  ULONG version = 0;
  const NTSTATUS status = QLXQueryRegKey(fdoData->Device, &name, &version);
  fdoData->HwVersion = NT_SUCCESS(status) ? version : 0;
  return status;
}

NTSTATUS QLXGetDeviceInformation(PFDO_DATA fdoData) {
  UCHAR config[kPciConfigBytes] = {};
  ULONG read = 0;
  if (fdoData->HasBusInterface && fdoData->BusInterface.GetBusData != nullptr) {
    read = fdoData->BusInterface.GetBusData(fdoData->BusInterface.Context, PCI_WHICHSPACE_CONFIG, config, 0,
                                            kPciConfigBytes);
  }
  if (read != kPciConfigBytes) return Failed("GetBusData failed", STATUS_INVALID_DEVICE_REQUEST);
  fdoData->PciRevisionId = config[0x08];
  fdoData->PciSubsystemVendorId = static_cast<USHORT>(config[0x2C] | config[0x2D] << 8);
  fdoData->PciSubsystemId = static_cast<USHORT>(config[0x2E] | config[0x2F] << 8);
  fdoData->PciEnabled = (config[0x04] & 0x10) != 0 ? 1 : 0;
  return STATUS_SUCCESS;
}

NTSTATUS QLXAllocateSoftwareResources(WDFDEVICE device, PFDO_DATA fdoData) {
  TxrFunctionTrace trace("QLXAllocateSoftwareResources");
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = device;
  NTSTATUS status = WdfSpinLockCreate(&attributes, &fdoData->Lock);
  if (!NT_SUCCESS(status)) return trace.status = Failed("WdfSpinLockCreate failed", status);

  status = WdfFdoQueryForInterface(device, &GUID_BUS_INTERFACE_STANDARD,
                                   reinterpret_cast<PINTERFACE>(&fdoData->BusInterface),
                                   sizeof(BUS_INTERFACE_STANDARD), 1, nullptr);
  fdoData->HasBusInterface = NT_SUCCESS(status);
  if (!NT_SUCCESS(status)) TxrLogError(status, "WdfFdoQueryForInterface");

  ULONG hid = 0;
  if (!NT_SUCCESS(QLXAcpiGet_HID(device, &hid))) {
    TxrLogInfo("QLX is ACPI device.");
    fdoData->IsAcpi = 1;
  } else {
    TxrLogInfo("QLX is PCI device.");
    fdoData->IsAcpi = 0;
    status = QLXGetDeviceInformation(fdoData);
    if (!NT_SUCCESS(status)) return trace.status = status;
  }

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.EvtIoWrite = QLXEvtIoWrite;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &fdoData->WriteQueue);
  if (!NT_SUCCESS(status)) return trace.status = Failed("WdfIoQueueCreate failed", status);
  status = WdfDeviceConfigureRequestDispatching(device, fdoData->WriteQueue, WdfRequestTypeWrite);
  if (!NT_SUCCESS(status)) return trace.status = Failed("Error in config'ing write Queue", status);

  WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.EvtIoDeviceControl = QLXEvtIoDeviceControl;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &fdoData->IoctlQueue);
  if (!NT_SUCCESS(status)) return trace.status = Failed("Error Creating ioctl Queue", status);
  status = WdfDeviceConfigureRequestDispatching(device, fdoData->IoctlQueue, WdfRequestTypeDeviceControl);
  if (!NT_SUCCESS(status)) return trace.status = Failed("Error in config'ing ioctl Queue", status);

  status = WdfSpinLockCreate(&attributes, &fdoData->Lock2);
  if (!NT_SUCCESS(status)) return trace.status = Failed("WdfSpinLockCreate failed", status);
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS QLXCreateDevice(PWDFDEVICE_INIT deviceInit, WDFDEVICE* created) {
  TxrFunctionTrace trace("QLXCreateDevice");
  WdfDeviceInitSetIoType(deviceInit, WdfDeviceIoDirect);

  WDF_FDO_EVENT_CALLBACKS fdoCallbacks;
  WDF_FDO_EVENT_CALLBACKS_INIT(&fdoCallbacks);
  fdoCallbacks.EvtDeviceFilterAddResourceRequirements = QLXEvtDeviceFilterAddResourceRequirements;
  fdoCallbacks.EvtDeviceFilterRemoveResourceRequirements = QLXEvtDeviceFilterRemoveResourceRequirements;
  fdoCallbacks.EvtDeviceRemoveAddedResources = QLXEvtDeviceRemoveAddedResources;
  WdfFdoInitSetEventCallbacks(deviceInit, &fdoCallbacks);

  WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
  pnpPowerCallbacks.EvtDevicePrepareHardware = QLXEvtDevicePrepareHardware;
  pnpPowerCallbacks.EvtDeviceReleaseHardware = QLXEvtDeviceReleaseHardware;
  pnpPowerCallbacks.EvtDeviceD0Entry = QLXEvtDeviceD0Entry;
  pnpPowerCallbacks.EvtDeviceD0Exit = QLXEvtDeviceD0Exit;
  WdfDeviceInitSetPnpPowerEventCallbacks(deviceInit, &pnpPowerCallbacks);

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FDO_DATA);
  attributes.EvtCleanupCallback = QLXEvtDeviceContextCleanup;
  TxrTraceCreateDevice(nullptr, deviceInit);
  WDFDEVICE device = nullptr;
  NTSTATUS status = WdfDeviceCreate(&deviceInit, &attributes, &device);
  if (!NT_SUCCESS(status)) return trace.status = Failed("WdfDeviceInitialize failed", status);
  PFDO_DATA fdoData = QLXFdoGetData(device);
  fdoData->Device = device;
  *created = device;

  status = QLXAllocateSoftwareResources(device, fdoData);
  if (!NT_SUCCESS(status)) return trace.status = Failed("QLXAllocateSoftwareResources failed", status);
  QLXClearPowerSaveFlags(fdoData);
  fdoData->DebugOutputSaved = FALSE;

  status = QLXQueryRegKeyForMaster(fdoData);
  if (!NT_SUCCESS(status)) return trace.status = Failed("QLXQueryRegKeyForMaster failed", status);
  status = QLXQueryRegKeyForPMFlow(fdoData);
  if (!NT_SUCCESS(status)) return trace.status = Failed("QLXQueryRegKeyForPMFlow failed", status);

  TxrLogInfo("Inside QLXCreateDevice: Setting up initial master-channel map");
  status = QLXInitMasterChannelAllocation(device);
  if (!NT_SUCCESS(status)) return trace.status = Failed("Intialization of master channel map failed", status);

  TxrLogInfo("Inside QLXCreateDevice: QLX_XIF: Create and Register CBO");
  status = QLX_XIF_CreateNRegisterCBO(device);
  if (!NT_SUCCESS(status)) return trace.status = Failed("QLX_XIF: Create and Register CBO failed", status);

  status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_TXR, nullptr);
  if (!NT_SUCCESS(status)) return trace.status = Failed("WdfDeviceCreateDeviceInterface failed", status);
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS QLXMapHWResources(PFDO_DATA fdoData, WDFCMRESLIST resourcesTranslated) {
  TxrFunctionTrace trace("QLXMapHWResources");
  NTSTATUS status = STATUS_SUCCESS;
  ULONG memoryIndex = 0;
  const ULONG count = WdfCmResourceListGetCount(resourcesTranslated);
  for (ULONG index = 0; index < count && NT_SUCCESS(status); ++index) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = WdfCmResourceListGetDescriptor(resourcesTranslated, index);
    if (descriptor == nullptr) {
      status = Failed("WdfResourceCmGetDescriptor failed", STATUS_DEVICE_CONFIGURATION_ERROR);
      break;
    }
    if (descriptor->Type == CmResourceTypeInterrupt) {
      TxrTraceResource(fdoData->Device, descriptor->u.Interrupt.Level, 0, "Interrupt level");
      continue;
    }
    if (descriptor->Type != CmResourceTypeMemory) {
      TxrTraceResource(fdoData->Device, descriptor->Type, 0, "Unhandled resource type");
      continue;
    }
    const PHYSICAL_ADDRESS start = descriptor->u.Memory.Start;
    const ULONG length = descriptor->u.Memory.Length;
    switch (++memoryIndex) {
      case 1:
        fdoData->CsrPhysical = start;
        fdoData->CsrBase = static_cast<PUCHAR>(MmMapIoSpaceEx(start, TXR_CSR_WINDOW_LENGTH, kMapProtection));
        if (fdoData->CsrBase != nullptr) {
          for (ULONG block = 0; block < TXR_CSR_BLOCK_COUNT; ++block) {
            fdoData->CsrBlocks[block] = fdoData->CsrBase + TXR_CSR_BLOCK_OFFSETS[block];
          }
        }
        TxrTraceResource(fdoData->Device, static_cast<ULONGLONG>(start.QuadPart), TXR_CSR_WINDOW_LENGTH, "CSR Address");
        break;
      case 2:
        fdoData->SwBase = static_cast<PUCHAR>(MmMapIoSpaceEx(start, length, kMapProtection));
        fdoData->SwLength = fdoData->SwBase != nullptr ? length : 0;
        TxrTraceResource(fdoData->Device, static_cast<ULONGLONG>(start.QuadPart), length, "Io Base Address");
        break;
      case 3:
        TxrTraceResource(fdoData->Device, static_cast<ULONGLONG>(start.QuadPart), length, "PT Base Address");
        break;
      case 4:
        fdoData->FwBase = static_cast<PUCHAR>(MmMapIoSpaceEx(start, length, kMapProtection));
        fdoData->FwLength = fdoData->FwBase != nullptr ? length : 0;
        TxrTraceResource(fdoData->Device, static_cast<ULONGLONG>(start.QuadPart), length, "FW Base Address");
        break;
      default:
        status = Failed("Memory Resources are not in the right order", STATUS_DEVICE_CONFIGURATION_ERROR);
        break;
    }
  }
  if (NT_SUCCESS(status) && !QLXRegistersMapped(fdoData)) {
    status = Failed("Error in mapping HW resources", STATUS_DEVICE_CONFIGURATION_ERROR);
  }
  // A failed mapping leaves nothing mapped, so that no later callback touches a register of
  // a device that never started.
  if (!NT_SUCCESS(status)) QLXUnmapHWResources(fdoData);
  return trace.status = status;
}

void QLXUnmapHWResources(PFDO_DATA fdoData) {
  UnmapWindow(fdoData->SwBase, fdoData->SwLength);
  fdoData->SwLength = 0;
  UnmapWindow(fdoData->CsrBase, TXR_CSR_WINDOW_LENGTH);
  for (PUCHAR& block : fdoData->CsrBlocks) block = nullptr;
  UnmapWindow(fdoData->FwBase, fdoData->FwLength);
  fdoData->FwLength = 0;
}

NTSTATUS QLXReadRegisters(PFDO_DATA fdoData) {
  TxrFunctionTrace trace("QLXReadRegisters");
  if (!QLXRegistersMapped(fdoData)) return trace.status = STATUS_DEVICE_NOT_READY;
  auto* capability = reinterpret_cast<volatile ULONG*>(fdoData->CsrBlocks[TxrCsrBlockSwCap]);
  fdoData->FirstMaster = READ_REGISTER_ULONG(capability) & 0xFFFF;
  fdoData->ChannelsPerMaster = READ_REGISTER_ULONG(capability + 1) & 0xFF;
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS QLXEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST resources, WDFCMRESLIST resourcesTranslated) {
  return QLXGuarded("QLXEvtDevicePrepareHardware", [&]() -> NTSTATUS {
    TxrFunctionTrace trace("QLXEvtDevicePrepareHardware");
    PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
    if (fdoData == nullptr || resources == nullptr || resourcesTranslated == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "Device, Resources and ResourcesTranslated contain NULL value\n");
      return trace.status = STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = QLXDetermineHWVersion(fdoData);
    if (!NT_SUCCESS(status)) TxrLogError(status, "QLXDetermineHWVersion failed");
    status = QLXMapHWResources(fdoData, resourcesTranslated);
    if (!NT_SUCCESS(status)) {
      TxrLogError(status, "QLXMapHWResources failed");
      return trace.status = status;
    }
    status = QLXReadRegisters(fdoData);
    if (!NT_SUCCESS(status)) {
      TxrLogError(status, "QLXReadRegisters failed");
      return trace.status = status;
    }
    // A device without its trace handles would take writes and store nothing: fail instead.
    const NTSTATUS handles = CreateTraceHandles(fdoData);
    if (!NT_SUCCESS(handles)) return trace.status = Failed("init_mipisyst_handle failed", handles);
    ULONG captureAtBoot = 0;
    if (NT_SUCCESS(QLXQueryRegKeyForDbgEnableBoot(fdoData, &captureAtBoot)) && captureAtBoot == 1) {
      MipiSystDebugoutput_Enable(fdoData);
    }
    return trace.status = status;
  });
}

NTSTATUS QLXEvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST /*resourcesTranslated*/) {
  return QLXGuarded("QLXEvtDeviceReleaseHardware", [&]() -> NTSTATUS {
    TxrFunctionTrace trace("QLXEvtDeviceReleaseHardware");
    PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
    if (fdoData == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "Device contain NULL value\n");
      return trace.status = STATUS_UNSUCCESSFUL;
    }
    MipiSystDebugoutput_Disable();
    for (ULONG type = 0; type < TRACE_RECORD_TYPE_COUNT; ++type) release_mipisyst_handles(type);
    QLXUnmapHWResources(fdoData);
    return trace.status = STATUS_SUCCESS;
  });
}

VOID QLXEvtDeviceContextCleanup(WDFOBJECT object) {
  QLXGuardedVoid("QLXEvtDeviceContextCleanup", [&] {
    auto device = static_cast<WDFDEVICE>(object);
    TxrTraceReleaseHardware(device, 0, 0, "The device extension for the device object");
    QLX_XIF_UnregisterCBO(device);
    // The allocation map's nodes live as long as the device, and no longer.
    MCAlloc_FreeMap(device != nullptr ? QLXFdoGetData(device) : nullptr);
    TxrTraceUnregister();
  });
}

NTSTATUS QLXEvtDeviceFilterAddResourceRequirements(WDFDEVICE device, WDFIORESREQLIST requirements) {
  return QLXGuarded("QLXEvtDeviceFilterAddResourceRequirements", [&]() -> NTSTATUS {
    if (device == nullptr || requirements == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "Device contain NULL value\n");
      return STATUS_UNSUCCESSFUL;
    }
    // The third memory window (processor trace) is write-combined.
    ULONG memoryIndex = 0;
    const ULONG lists = WdfIoResourceRequirementsListGetCount(requirements);
    for (ULONG listIndex = 0; listIndex < lists; ++listIndex) {
      WDFIORESLIST list = WdfIoResourceRequirementsListGetIoResList(requirements, listIndex);
      const ULONG count = WdfIoResourceListGetCount(list);
      for (ULONG index = 0; index < count; ++index) {
        PIO_RESOURCE_DESCRIPTOR descriptor = WdfIoResourceListGetDescriptor(list, index);
        if (descriptor == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
        if (descriptor->Type == CmResourceTypeMemory && ++memoryIndex == 3) {
          descriptor->Flags |= CM_RESOURCE_MEMORY_COMBINEDWRITE;
        }
      }
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS QLXEvtDeviceFilterRemoveResourceRequirements(WDFDEVICE device, WDFIORESREQLIST requirements) {
  return QLXGuarded("QLXEvtDeviceFilterRemoveResourceRequirements", [&]() -> NTSTATUS {
    if (device == nullptr || requirements == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "Device contain NULL value\n");
      return STATUS_UNSUCCESSFUL;
    }
    // The driver uses no interrupt: the device never gets one.
    const ULONG lists = WdfIoResourceRequirementsListGetCount(requirements);
    for (ULONG listIndex = 0; listIndex < lists; ++listIndex) {
      WDFIORESLIST list = WdfIoResourceRequirementsListGetIoResList(requirements, listIndex);
      ULONG index = 0;
      while (index < WdfIoResourceListGetCount(list)) {
        PIO_RESOURCE_DESCRIPTOR descriptor = WdfIoResourceListGetDescriptor(list, index);
        if (descriptor == nullptr) return Failed("WdfResourceCmGetDescriptor failed", STATUS_DEVICE_CONFIGURATION_ERROR);
        if (descriptor->Type == CmResourceTypeInterrupt) {
          WdfIoResourceListRemove(list, index);
        } else {
          ++index;
        }
      }
    }
    return STATUS_SUCCESS;
  });
}

NTSTATUS QLXEvtDeviceRemoveAddedResources(WDFDEVICE /*device*/, WDFCMRESLIST /*resources*/,
                                          WDFCMRESLIST /*resourcesTranslated*/) {
  return STATUS_SUCCESS;
}

NTSTATUS QLXEvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previousState) {
  return QLXGuarded("QLXEvtDeviceD0Entry", [&]() -> NTSTATUS {
    TxrTraceD0EntryStart(device, static_cast<ULONG>(previousState));
    PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
    if (fdoData == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "FdoData contain NULL value\n");
      TxrTraceD0EntryEnd(STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_SUCCESS;
    // Without mapped registers there is nothing to restore or repair.
    if (QLXRegistersMapped(fdoData)) {
      if (fdoData->AlwaysOn != 0 && fdoData->IsAcpi == 0) {
        TxrLogInfo("QLX PCI DEVICE Sx Exit Call");
        status = QLXSxExitAlwaysOn(device);
        if (!NT_SUCCESS(status)) TxrLogError(status, "QLXSxExitAlwaysOn failed");
      } else if (fdoData->AlwaysOn == 0 && fdoData->PowerSave.ScrPadSaved) {
        status = QLXSxExit(device);
        if (!NT_SUCCESS(status)) TxrLogError(status, "QLXSxExit failed");
      }
    }
    fdoData->PowerState = 1;  // D0
    QLXClearPowerSaveFlags(fdoData);
    fdoData->DebugOutputSaved = FALSE;
    TxrTraceD0EntryEnd(status);
    return status;
  });
}

NTSTATUS QLXEvtDeviceD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE targetState) {
  QLXGuardedVoid("QLXEvtDeviceD0Exit", [&] {
    TxrTraceD0ExitStart(device, static_cast<ULONG>(targetState));
    PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
    if (fdoData != nullptr && QLXRegistersMapped(fdoData)) {
      // The framework cannot stop a power-down: a failed sequence is logged and D0 exit
      // still succeeds.
      if (fdoData->AlwaysOn == 0) {
        const NTSTATUS status = QLXSxEntry(device);
        if (!NT_SUCCESS(status)) TxrLogError(status, "QLXSxEntry failed");
      } else if (fdoData->IsAcpi == 0) {
        TxrLogInfo("QLX PCI DEVICE Sx Exit Call");
        const NTSTATUS status = QLXSxExitAlwaysOn(device);
        if (!NT_SUCCESS(status)) TxrLogError(status, "QLXSxExitAlwaysOn failed");
      }
    }
    if (fdoData != nullptr) fdoData->PowerState = static_cast<ULONG>(targetState);
    TxrTraceD0ExitEnd(STATUS_SUCCESS);
  });
  return STATUS_SUCCESS;
}
