// Device initialisation and the framework device: WdfDeviceInit*, WdfFdoInitSetEventCallbacks,
// WdfDeviceCreate, WdfDeviceCreateDeviceInterface, WdfDeviceAssignS0IdleSettings and the
// device's WDM objects.
#include "framework.h"

namespace platform::kernel {
namespace {

WDFDEVICE_INIT* checked_init(PWDFDEVICE_INIT init, std::string_view function) {
  if (init == nullptr) bug_check(WDF_VIOLATION, 0x2, 0, 0, 0, std::string(function) + " without a WDFDEVICE_INIT");
  return init;
}

// Callbacks the stand-in never calls must not be set: a driver relying on one would silently
// miss it.
void require_unset(const void* callback, std::string_view name) {
  if (callback != nullptr) {
    bug_check(WDF_VIOLATION, 0x3, 0, 0, 0, std::string(name) + " is not supported by the stand-in framework");
  }
}

}  // namespace
}  // namespace platform::kernel

using namespace platform::kernel;

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
  KERNEL_ENTRY("WdfDeviceInitSetIoType");
  WDFDEVICE_INIT* init = checked_init(DeviceInit, "WdfDeviceInitSetIoType");
  if (IoType == WdfDeviceIoBuffered || IoType == WdfDeviceIoDirect || IoType == WdfDeviceIoNeither) {
    init->io_type = IoType;
  }
}

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
  KERNEL_ENTRY("WdfDeviceInitSetPnpPowerEventCallbacks");
  WDFDEVICE_INIT* init = checked_init(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
  if (PnpPowerEventCallbacks == nullptr || PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
    bug_check(WDF_VIOLATION, 0x2, 0, 0, 0, "WdfDeviceInitSetPnpPowerEventCallbacks with a structure of another size");
  }
  const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = *PnpPowerEventCallbacks;
  require_unset(callbacks.EvtDeviceD0EntryPostInterruptsEnabled, "EvtDeviceD0EntryPostInterruptsEnabled");
  require_unset(callbacks.EvtDeviceD0ExitPreInterruptsDisabled, "EvtDeviceD0ExitPreInterruptsDisabled");
  require_unset(callbacks.EvtDeviceSelfManagedIoCleanup, "EvtDeviceSelfManagedIoCleanup");
  require_unset(callbacks.EvtDeviceSelfManagedIoFlush, "EvtDeviceSelfManagedIoFlush");
  require_unset(callbacks.EvtDeviceSelfManagedIoInit, "EvtDeviceSelfManagedIoInit");
  require_unset(callbacks.EvtDeviceSelfManagedIoSuspend, "EvtDeviceSelfManagedIoSuspend");
  require_unset(callbacks.EvtDeviceSelfManagedIoRestart, "EvtDeviceSelfManagedIoRestart");
  require_unset(callbacks.EvtDeviceSurpriseRemoval, "EvtDeviceSurpriseRemoval");
  require_unset(callbacks.EvtDeviceQueryRemove, "EvtDeviceQueryRemove");
  require_unset(callbacks.EvtDeviceQueryStop, "EvtDeviceQueryStop");
  require_unset(callbacks.EvtDeviceUsageNotification, "EvtDeviceUsageNotification");
  require_unset(callbacks.EvtDeviceRelationsQuery, "EvtDeviceRelationsQuery");
  require_unset(callbacks.EvtDeviceUsageNotificationEx, "EvtDeviceUsageNotificationEx");
  init->pnp = callbacks;
}

VOID WdfFdoInitSetEventCallbacks(PWDFDEVICE_INIT DeviceInit, PWDF_FDO_EVENT_CALLBACKS FdoEventCallbacks) {
  KERNEL_ENTRY("WdfFdoInitSetEventCallbacks");
  WDFDEVICE_INIT* init = checked_init(DeviceInit, "WdfFdoInitSetEventCallbacks");
  if (FdoEventCallbacks == nullptr || FdoEventCallbacks->Size != sizeof(WDF_FDO_EVENT_CALLBACKS)) {
    bug_check(WDF_VIOLATION, 0x2, 0, 0, 0, "WdfFdoInitSetEventCallbacks with a structure of another size");
  }
  init->fdo = *FdoEventCallbacks;
}

NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                     PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                     UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                     ULONG NumMinorFunctions) {
  KERNEL_STATUS_ENTRY("WdfDeviceInitAssignWdmIrpPreprocessCallback");
  WDFDEVICE_INIT* init = checked_init(DeviceInit, "WdfDeviceInitAssignWdmIrpPreprocessCallback");
  if (EvtDeviceWdmIrpPreprocess == nullptr || MajorFunction > IRP_MJ_MAXIMUM_FUNCTION ||
      (NumMinorFunctions != 0 && MinorFunctions == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  FxDevice::Preprocess& preprocess = init->preprocess[MajorFunction];
  preprocess.callback = EvtDeviceWdmIrpPreprocess;
  preprocess.minors.assign(MinorFunctions, MinorFunctions + NumMinorFunctions);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device) {
  KERNEL_STATUS_ENTRY("WdfDeviceCreate");
  require_irql_at_most(PASSIVE_LEVEL, "WdfDeviceCreate");
  if (DeviceInit == nullptr || Device == nullptr) bug_check(WDF_VIOLATION, 0x2, 0, 0, 0, "WdfDeviceCreate without arguments");
  WDFDEVICE_INIT* init = checked_init(*DeviceInit, "WdfDeviceCreate");
  *Device = nullptr;
  // The device's parent is always the driver.
  if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) return STATUS_INVALID_PARAMETER;
  // One device: the machine has one Tessera block.
  if (current_device() != nullptr || init->driver == nullptr) return STATUS_INVALID_DEVICE_STATE;
  auto* device = new FxDevice;
  device->driver = init->driver;
  device->io_type = init->io_type;
  device->pnp = init->pnp;
  device->fdo = init->fdo;
  device->preprocess = init->preprocess;
  device->description = description_being_added();
  device->pdo.Type = 3;  // IO_TYPE_DEVICE
  device->pdo.Size = sizeof(DEVICE_OBJECT);
  device->pdo.DeviceType = FILE_DEVICE_BUS_EXTENDER;
  device->pdo.AttachedDevice = &device->wdm;
  device->wdm.Type = 3;
  device->wdm.Size = sizeof(DEVICE_OBJECT);
  device->wdm.DriverObject = init->driver->wdm;
  device->wdm.DeviceExtension = static_cast<FxObject*>(device);
  device->wdm.DeviceType = FILE_DEVICE_UNKNOWN;
  device->wdm.StackSize = 2;
  const NTSTATUS status = attach_object(*device, DeviceAttributes, init->driver, "WdfDeviceCreate");
  if (!NT_SUCCESS(status)) {
    delete device;
    return status;
  }
  auto* target = new FxIoTarget;
  target->device = device;
  attach_object(*target, nullptr, device, "WdfDeviceCreate");
  device->io_target = target;
  init->driver->wdm->DeviceObject = &device->wdm;
  set_current_device(device);
  *DeviceInit = nullptr;
  *Device = as_handle<WDFDEVICE>(device);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
  KERNEL_STATUS_ENTRY("WdfDeviceCreateDeviceInterface");
  require_irql_at_most(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface");
  auto* device = from_handle<FxDevice>(Device, FxType::device, "WdfDeviceCreateDeviceInterface");
  if (InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
  FxDevice::Interface interface;
  std::memcpy(interface.interface_class.data(), InterfaceClassGUID, sizeof(GUID));
  if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr) {
    interface.reference.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
  }
  interface.path = interface_path(device->description, *InterfaceClassGUID, interface.reference);
  for (const FxDevice::Interface& existing : device->interfaces) {
    if (existing.path == interface.path) return STATUS_OBJECT_NAME_COLLISION;
  }
  device->interfaces.push_back(interface);
  if (device->gate->state() == DeviceGate::State::working) enable_interface(*device, interface);
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings) {
  KERNEL_STATUS_ENTRY("WdfDeviceAssignS0IdleSettings");
  require_irql_at_most(PASSIVE_LEVEL, "WdfDeviceAssignS0IdleSettings");
  auto* device = from_handle<FxDevice>(Device, FxType::device, "WdfDeviceAssignS0IdleSettings");
  if (Settings == nullptr) return STATUS_INVALID_PARAMETER;
  if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS)) return STATUS_INFO_LENGTH_MISMATCH;
  if (Settings->IdleCaps == IdleCapsInvalid || Settings->IdleCaps > IdleUsbSelectiveSuspend) {
    return STATUS_INVALID_PARAMETER;
  }
  device->idle_settings = *Settings;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
  KERNEL_ENTRY("WdfDeviceWdmGetDeviceObject");
  return &from_handle<FxDevice>(Device, FxType::device, "WdfDeviceWdmGetDeviceObject")->wdm;
}

WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject) {
  KERNEL_VALUE_ENTRY("WdfWdmDeviceGetWdfDeviceHandle", nullptr);
  return as_handle<WDFDEVICE>(framework_device(DeviceObject));
}
