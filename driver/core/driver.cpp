// Driver entry, device add, the driver's own create dispatch, the set-power pre-processing
// and the exception filter every entry point's guard uses.
#include <ntstrsafe.h>

#include "txr_driver.h"

namespace {

// The driver's trace provider goes with the driver object.
VOID QLXEvtDriverContextCleanupImpl(WDFOBJECT /*driver*/) { TxrTraceUnregister(); }

constexpr ULONG kSystemStateMask = 0xF;
constexpr ULONG kEffectiveInitialStateShift = 12;
constexpr ULONG kCurrentStateShift = 16;
constexpr ULONG kHibernateState = 5;  // PowerSystemHibernate

}  // namespace

LONG QLXExceptionFilter(PEXCEPTION_POINTERS pointers, const char* function) {
  if (pointers == nullptr || pointers->ExceptionRecord == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "exception pointer is NULL in exception filter function");
    return EXCEPTION_EXECUTE_HANDLER;
  }
  if (function == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "exception function is NULL in exception filter function");
    return EXCEPTION_EXECUTE_HANDLER;
  }
  // At most 49 characters of the name, as the 300-character line holds them.
  char name[50];
  size_t length = 0;
  for (; length + 1 < sizeof name && function[length] != 0; ++length) name[length] = function[length];
  name[length] = 0;
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  TxrLogError(static_cast<NTSTATUS>(record->ExceptionCode),
              "Exception Driver Function %s Exception code: %x Exception Flag: %x Exception address: %p Exception "
              "number parameters: %x",
              name, static_cast<unsigned>(record->ExceptionCode), static_cast<unsigned>(record->ExceptionFlags),
              record->ExceptionAddress, static_cast<unsigned>(record->NumberParameters));
  return EXCEPTION_EXECUTE_HANDLER;
}

VOID QLXEvtDriverContextCleanup(WDFOBJECT driver) {
  QLXGuardedVoid("QLXEvtDriverContextCleanup", [&] { QLXEvtDriverContextCleanupImpl(driver); });
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return QLXGuarded("DriverEntry", [&]() -> NTSTATUS {
    if (driverObject == nullptr || registryPath == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "The pointer contain NULL value\n");
      return STATUS_UNSUCCESSFUL;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
    attributes.EvtCleanupCallback = QLXEvtDriverContextCleanup;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, QLXEvtDeviceAdd);
    NTSTATUS status = WdfDriverCreate(driverObject, registryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) return status;
    TxrTraceRegister();
    TxrTraceEnter("DriverEntry");
    TxrDebugCaptureInitialize();
    // Create requests are answered by the driver itself: it checks that the hardware is
    // ready before anyone opens the device.
    driverObject->MajorFunction[IRP_MJ_CREATE] = QLXDriverDispatch;
    TxrTraceExit("DriverEntry", status);
    return status;
  });
}

NTSTATUS QLXEvtDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit) {
  return QLXGuarded("QLXEvtDeviceAdd", [&]() -> NTSTATUS {
    TxrFunctionTrace trace("QLXEvtDeviceAdd");
    if (driver == nullptr || deviceInit == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "device and DeviceInit pointer contain NULL value\n");
      return trace.status = STATUS_UNSUCCESSFUL;
    }
    UCHAR minorFunctions[] = {IRP_MN_SET_POWER};
    if (NT_SUCCESS(WdfDeviceInitAssignWdmIrpPreprocessCallback(deviceInit, DispatchPower, IRP_MJ_POWER,
                                                                minorFunctions, ARRAYSIZE(minorFunctions)))) {
      TxrLogInfo("WdfDeviceInitAssignWdmIrpPreprocessCallback Successful");
    } else {
      TxrLogInfo("WdfDeviceInitAssignWdmIrpPreprocessCallback Failed");
    }
    WDFDEVICE device = nullptr;
    const NTSTATUS status = QLXCreateDevice(deviceInit, &device);
    if (!NT_SUCCESS(status)) return trace.status = status;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idleSettings;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idleSettings, IdleCannotWakeFromS0);
    idleSettings.DxState = PowerDeviceD3;
    idleSettings.IdleTimeout = IdleTimeoutDefaultValue;
    idleSettings.UserControlOfIdleSettings = IdleAllowUserControl;
    idleSettings.Enabled = WdfTrue;
    idleSettings.IdleTimeoutType = SystemManagedIdleTimeout;
    TxrLogInfo("callingPoWerStatus");
    const NTSTATUS idleStatus = WdfDeviceAssignS0IdleSettings(device, &idleSettings);
    TxrLogInfo("PoWerStatus %x", static_cast<unsigned>(idleStatus));
    return trace.status = status;
  });
}

NTSTATUS QLXDriverDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (irp == nullptr) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status = QLXGuarded("QLXDriverDispatch", [&]() -> NTSTATUS {
    WDFDEVICE device = deviceObject != nullptr ? WdfWdmDeviceGetWdfDeviceHandle(deviceObject) : nullptr;
    PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
    if (fdoData == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "fdoData is empty");
      return STATUS_UNSUCCESSFUL;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_CREATE) return STATUS_INVALID_DEVICE_REQUEST;
    TxrLogInfo("-->QLXDriverDispatch::IRP_MJ_CREATE");
    // Without mapped registers (mapping failed) the block is not ready: nothing is read.
    if (!QLXRegistersMapped(fdoData)) {
      TxrLogError(STATUS_DEVICE_NOT_READY, "-->QLXDriverDispatch::IRP_MJ_CREATE Device Not ready");
      return STATUS_DEVICE_NOT_READY;
    }
    const ULONG capability = READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(fdoData->CsrBlocks[TxrCsrBlockSwCap]));
    if (capability == 0xFFFFFFFF || (capability & 0xFFFF) > 256 || capability > 0x3FFFFFF ||
        fdoData->FirstMaster > 256) {
      TxrLogError(STATUS_DEVICE_NOT_READY, "-->QLXDriverDispatch::IRP_MJ_CREATE Device Not ready");
      return STATUS_DEVICE_NOT_READY;
    }
    return STATUS_SUCCESS;
  });
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DispatchPower(WDFDEVICE device, PIRP irp) {
  QLXGuardedVoid("DispatchPower", [&] {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Power.Type != SystemPowerState) return;
    const ULONG context = stack->Parameters.Power.SystemPowerStateContext.ContextAsUlong;
    const ULONG effectiveInitial = (context >> kEffectiveInitialStateShift) & kSystemStateMask;
    const ULONG current = (context >> kCurrentStateShift) & kSystemStateMask;
    const bool hibernate = stack->Parameters.Power.ShutdownType == PowerActionHibernate;
    // The context describes the previous system IRP, which on the way down to hibernation is
    // S0's: the IRP's own target says that this one goes to S4.
    const bool toHibernate = stack->Parameters.Power.State.SystemState == PowerSystemHibernate;
    if (hibernate && (effectiveInitial == kHibernateState || toHibernate)) {
      TxrLogInfo("Entering To System Hybernate");
      RestoreDbgTraceOnPowerCycle(FALSE);
    } else if (current == kHibernateState && !hibernate) {
      TxrLogInfo("Wake from System Hybernate");
      RestoreDbgTraceOnPowerCycle(TRUE);
    }
  });
  IoSkipCurrentIrpStackLocation(irp);
  return WdfDeviceWdmDispatchPreprocessedIrp(device, irp);
}
