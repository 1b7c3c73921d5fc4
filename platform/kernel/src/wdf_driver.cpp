// The framework driver object: WdfDriverCreate, WdfGetDriver, WdfDriverWdmGetDriverObject
// and the framework's DriverUnload routine.
#include "framework.h"

namespace platform::kernel {

VOID framework_driver_unload(PDRIVER_OBJECT driver_object) {
  FxDriver* driver = current_driver();
  if (driver == nullptr || driver->wdm != driver_object) return;
  if (driver->config.EvtDriverUnload != nullptr) {
    call_driver("EvtDriverUnload", [&] { driver->config.EvtDriverUnload(as_handle<WDFDRIVER>(driver)); });
  }
  set_current_driver(nullptr);
  delete_object(driver);
}

}  // namespace platform::kernel

using namespace platform::kernel;

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
  KERNEL_STATUS_ENTRY("WdfDriverCreate");
  require_irql_at_most(PASSIVE_LEVEL, "WdfDriverCreate");
  if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr) {
    bug_check(WDF_VIOLATION, 0x1, 0, 0, 0, "WdfDriverCreate without a driver object, registry path or configuration");
  }
  if (Driver != nullptr) *Driver = nullptr;
  if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) return STATUS_INFO_LENGTH_MISMATCH;
  if (current_driver() != nullptr) return STATUS_DRIVER_INTERNAL_ERROR;
  // The driver object is the root of the tree: it has no parent.
  if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) return STATUS_INVALID_PARAMETER;
  if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) != 0 && DriverConfig->EvtDriverDeviceAdd != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* driver = new FxDriver;
  driver->wdm = DriverObject;
  driver->config = *DriverConfig;
  const NTSTATUS status = attach_object(*driver, DriverAttributes, nullptr, "WdfDriverCreate");
  if (!NT_SUCCESS(status)) {
    delete driver;
    return status;
  }
  if ((DriverConfig->DriverInitFlags & WdfDriverInitNoDispatchOverride) == 0) {
    for (PDRIVER_DISPATCH& dispatch : DriverObject->MajorFunction) dispatch = &framework_dispatch;
  }
  DriverObject->DriverUnload = &framework_driver_unload;
  set_current_driver(driver);
  if (Driver != nullptr) *Driver = as_handle<WDFDRIVER>(driver);
  return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver() {
  KERNEL_ENTRY("WdfGetDriver");
  return as_handle<WDFDRIVER>(current_driver());
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
  KERNEL_ENTRY("WdfDriverWdmGetDriverObject");
  return from_handle<FxDriver>(Driver, FxType::driver, "WdfDriverWdmGetDriverObject")->wdm;
}
