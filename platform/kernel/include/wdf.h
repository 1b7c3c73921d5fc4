// The Kernel-Mode Driver Framework, as far as the driver uses it: framework objects with
// typed contexts and cleanup callbacks, the driver and device objects, the PnP and power
// callbacks, sequential I/O queues and their requests, spin locks, the device's registry
// key, resource lists, the device's own I/O target (ACPI method evaluation) and the bus
// interface of the PCI configuration space.
//
// Objects and handles. Every handle names a framework object with a parent; deleting an
// object (WdfObjectDelete, or the framework deleting the device or the driver) deletes its
// children first: their EvtCleanupCallbacks run before the parent's, then the
// EvtDestroyCallbacks in the same order. A context declared with
// WDF_DECLARE_CONTEXT_TYPE_WITH_NAME and given in the object's attributes is allocated with
// the object and zeroed. A handle that is NULL, of another kind or of a deleted object
// bug-checks (WDF_VIOLATION), as the framework's verifier does.
//
// The framework calls the driver as Windows does, on the thread that causes the event (the
// PnP sequence on the thread that boots the machine, I/O callbacks on the thread of the
// user-mode call that became the request), at PASSIVE_LEVEL. sim::load_driver runs the
// sequence: DriverEntry, EvtDriverDeviceAdd, EvtDeviceFilterRemoveResourceRequirements,
// EvtDeviceFilterAddResourceRequirements, EvtDeviceRemoveAddedResources,
// EvtDevicePrepareHardware, EvtDeviceD0Entry (from WdfPowerDeviceD3Final); removal runs
// EvtDeviceD0Exit (to WdfPowerDeviceD3Final), EvtDeviceReleaseHardware, the device's
// cleanup, then EvtDriverUnload and the driver object's cleanup.
//
// Functions that return an NTSTATUS can be made to fail by name (sim::fail_next_status);
// WdfWdmDeviceGetWdfDeviceHandle can be made to return NULL (sim::fail_next); any can be
// made to raise a structured exception (sim::raise_next).
#pragma once

#include "ntddk.h"

#define WDF_DECLARE_HANDLE(name) \
  struct name##__ {              \
    int unused;                  \
  };                             \
  using name = name##__*

using WDFOBJECT = HANDLE;
using PWDFOBJECT = WDFOBJECT*;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFIORESREQLIST);
WDF_DECLARE_HANDLE(WDFIORESLIST);

struct WDFDEVICE_INIT;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_HANDLE nullptr
#define WDF_NO_CONTEXT nullptr
#define WDF_NO_SEND_OPTIONS nullptr

enum WDF_TRI_STATE { WdfFalse = FALSE, WdfTrue = TRUE, WdfUseDefault = 2 };

//
// Objects.
//
enum WDF_EXECUTION_LEVEL {
  WdfExecutionLevelInvalid = 0,
  WdfExecutionLevelInheritFromParent,
  WdfExecutionLevelPassive,
  WdfExecutionLevelDispatch
};

enum WDF_SYNCHRONIZATION_SCOPE {
  WdfSynchronizationScopeInvalid = 0,
  WdfSynchronizationScopeInheritFromParent,
  WdfSynchronizationScopeDevice,
  WdfSynchronizationScopeQueue,
  WdfSynchronizationScopeNone
};

using EVT_WDF_OBJECT_CONTEXT_CLEANUP = VOID(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_CLEANUP = EVT_WDF_OBJECT_CONTEXT_CLEANUP*;
using EVT_WDF_OBJECT_CONTEXT_DESTROY = VOID(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = EVT_WDF_OBJECT_CONTEXT_DESTROY*;

struct _WDF_OBJECT_CONTEXT_TYPE_INFO;
using PCWDF_OBJECT_CONTEXT_TYPE_INFO = const _WDF_OBJECT_CONTEXT_TYPE_INFO*;
using PFN_GET_UNIQUE_CONTEXT_TYPE = PCWDF_OBJECT_CONTEXT_TYPE_INFO (*)();

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
  ULONG Size;
  PCSTR ContextName;
  size_t ContextSize;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
  PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};
using WDF_OBJECT_CONTEXT_TYPE_INFO = _WDF_OBJECT_CONTEXT_TYPE_INFO;
using PWDF_OBJECT_CONTEXT_TYPE_INFO = WDF_OBJECT_CONTEXT_TYPE_INFO*;

struct _WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
  WDF_EXECUTION_LEVEL ExecutionLevel;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
  WDFOBJECT ParentObject;
  size_t ContextSizeOverride;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
};
using WDF_OBJECT_ATTRIBUTES = _WDF_OBJECT_ATTRIBUTES;
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;
static_assert(sizeof(WDF_OBJECT_ATTRIBUTES) == 56);

inline VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
  std::memset(Attributes, 0, sizeof(WDF_OBJECT_ATTRIBUTES));
  Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
  Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
  Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// The context type's description: one object for the whole program, whose UniqueType names
// the type.
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&_WDF_##_contexttype##_TYPE_INFO)

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                      \
  inline constexpr WDF_OBJECT_CONTEXT_TYPE_INFO _WDF_##_contexttype##_TYPE_INFO = {                            \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                               \
      &_WDF_##_contexttype##_TYPE_INFO, nullptr};                                                               \
  inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                                    \
    return static_cast<_contexttype*>(                                                                          \
        WdfObjectGetTypedContextWorker(Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType));          \
  }                                                                                                              \
  static_assert(true)

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
  WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
  (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
  WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                \
  WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

// NULL when the object has no context of that type.
PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WdfObjectGetTypedContext(handle, type) \
  (static_cast<type*>(WdfObjectGetTypedContextWorker((handle), WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType)))

// Deletes the object and its children. The framework's own objects (the driver, the
// device, a request the framework delivered, resource lists) may not be deleted: that
// bug-checks.
VOID WdfObjectDelete(WDFOBJECT Object);

//
// Driver.
//
using EVT_WDF_DRIVER_DEVICE_ADD = NTSTATUS(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
using PFN_WDF_DRIVER_DEVICE_ADD = EVT_WDF_DRIVER_DEVICE_ADD*;
using EVT_WDF_DRIVER_UNLOAD = VOID(WDFDRIVER Driver);
using PFN_WDF_DRIVER_UNLOAD = EVT_WDF_DRIVER_UNLOAD*;

#define WdfDriverInitNonPnpDriver 0x00000001
#define WdfDriverInitNoDispatchOverride 0x00000002

struct _WDF_DRIVER_CONFIG {
  ULONG Size;
  PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
  ULONG DriverInitFlags;
  ULONG DriverPoolTag;
};
using WDF_DRIVER_CONFIG = _WDF_DRIVER_CONFIG;
using PWDF_DRIVER_CONFIG = WDF_DRIVER_CONFIG*;

inline VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
  std::memset(Config, 0, sizeof(WDF_DRIVER_CONFIG));
  Config->Size = sizeof(WDF_DRIVER_CONFIG);
  Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

// Fills every DriverObject->MajorFunction entry with the framework's dispatch routine (the
// driver may replace entries afterwards, IRP_MJ_CREATE for instance) and DriverUnload with
// the framework's unload routine. A second call fails with STATUS_DRIVER_INTERNAL_ERROR.
NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);
WDFDRIVER WdfGetDriver();
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);

//
// Device initialisation and the device.
//
enum WDF_DEVICE_IO_TYPE {
  WdfDeviceIoUndefined = 0,
  WdfDeviceIoNeither,
  WdfDeviceIoBuffered,
  WdfDeviceIoDirect,
  WdfDeviceIoBufferedOrDirect = 4,
  WdfDeviceIoMaximum
};

enum WDF_POWER_DEVICE_STATE {
  WdfPowerDeviceInvalid = 0,
  WdfPowerDeviceD0,
  WdfPowerDeviceD1,
  WdfPowerDeviceD2,
  WdfPowerDeviceD3,
  WdfPowerDeviceD3Final,
  WdfPowerDevicePrepareForHibernation,
  WdfPowerDeviceMaximum
};

using EVT_WDF_DEVICE_D0_ENTRY = NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
using PFN_WDF_DEVICE_D0_ENTRY = EVT_WDF_DEVICE_D0_ENTRY*;
using EVT_WDF_DEVICE_D0_EXIT = NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
using PFN_WDF_DEVICE_D0_EXIT = EVT_WDF_DEVICE_D0_EXIT*;
using EVT_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
using PFN_WDF_DEVICE_PREPARE_HARDWARE = EVT_WDF_DEVICE_PREPARE_HARDWARE*;
using EVT_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
using PFN_WDF_DEVICE_RELEASE_HARDWARE = EVT_WDF_DEVICE_RELEASE_HARDWARE*;

// The callbacks the stand-in calls are typed; the others it never calls, so they are plain
// pointers that must stay NULL.
struct _WDF_PNPPOWER_EVENT_CALLBACKS {
  ULONG Size;
  PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
  PVOID EvtDeviceD0EntryPostInterruptsEnabled;
  PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
  PVOID EvtDeviceD0ExitPreInterruptsDisabled;
  PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
  PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
  PVOID EvtDeviceSelfManagedIoCleanup;
  PVOID EvtDeviceSelfManagedIoFlush;
  PVOID EvtDeviceSelfManagedIoInit;
  PVOID EvtDeviceSelfManagedIoSuspend;
  PVOID EvtDeviceSelfManagedIoRestart;
  PVOID EvtDeviceSurpriseRemoval;
  PVOID EvtDeviceQueryRemove;
  PVOID EvtDeviceQueryStop;
  PVOID EvtDeviceUsageNotification;
  PVOID EvtDeviceRelationsQuery;
  PVOID EvtDeviceUsageNotificationEx;
};
using WDF_PNPPOWER_EVENT_CALLBACKS = _WDF_PNPPOWER_EVENT_CALLBACKS;
using PWDF_PNPPOWER_EVENT_CALLBACKS = WDF_PNPPOWER_EVENT_CALLBACKS*;

inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
  std::memset(Callbacks, 0, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
  Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

using EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS = NTSTATUS(WDFDEVICE Device,
                                                             WDFIORESREQLIST IoResourceRequirementsList);
using PFN_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS = EVT_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS*;
using EVT_WDF_DEVICE_REMOVE_ADDED_RESOURCES = NTSTATUS(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                       WDFCMRESLIST ResourcesTranslated);
using PFN_WDF_DEVICE_REMOVE_ADDED_RESOURCES = EVT_WDF_DEVICE_REMOVE_ADDED_RESOURCES*;

struct _WDF_FDO_EVENT_CALLBACKS {
  ULONG Size;
  PFN_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS EvtDeviceFilterAddResourceRequirements;
  PFN_WDF_DEVICE_FILTER_RESOURCE_REQUIREMENTS EvtDeviceFilterRemoveResourceRequirements;
  PFN_WDF_DEVICE_REMOVE_ADDED_RESOURCES EvtDeviceRemoveAddedResources;
};
using WDF_FDO_EVENT_CALLBACKS = _WDF_FDO_EVENT_CALLBACKS;
using PWDF_FDO_EVENT_CALLBACKS = WDF_FDO_EVENT_CALLBACKS*;

inline VOID WDF_FDO_EVENT_CALLBACKS_INIT(PWDF_FDO_EVENT_CALLBACKS Callbacks) {
  std::memset(Callbacks, 0, sizeof(WDF_FDO_EVENT_CALLBACKS));
  Callbacks->Size = sizeof(WDF_FDO_EVENT_CALLBACKS);
}

using EVT_WDFDEVICE_WDM_IRP_PREPROCESS = NTSTATUS(WDFDEVICE Device, PIRP Irp);
using PFN_WDFDEVICE_WDM_IRP_PREPROCESS = EVT_WDFDEVICE_WDM_IRP_PREPROCESS*;

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
VOID WdfFdoInitSetEventCallbacks(PWDFDEVICE_INIT DeviceInit, PWDF_FDO_EVENT_CALLBACKS FdoEventCallbacks);
// IRPs of that major function (and, when NumMinorFunctions is not 0, of those minor
// functions) reach EvtDeviceWdmIrpPreprocess before the framework handles them; the
// callback completes the IRP itself or skips its stack location and hands it back with
// WdfDeviceWdmDispatchPreprocessedIrp. The stand-in sends IRP_MJ_CREATE, IRP_MJ_CLEANUP,
// IRP_MJ_CLOSE and the system set-power IRPs of sim::sleep_and_resume as IRPs.
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                     PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                     UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                     ULONG NumMinorFunctions);

// On success *DeviceInit is NULL: the framework owns what it described.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);

// The interface is enabled when the device starts and disabled when it is removed: then
// CM_Get_Device_Interface_ListW lists its path ("\\?\<bus path>#{class}" with "\<reference>"
// when a reference string is given) and CreateFileW on that path reaches the driver.
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
// The framework device of a device object the framework made; NULL for any other.
WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject);
// The IRP's stack location must have been skipped (IoSkipCurrentIrpStackLocation).
NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp);

enum WDF_POWER_POLICY_S0_IDLE_CAPABILITIES {
  IdleCapsInvalid = 0,
  IdleCannotWakeFromS0,
  IdleCanWakeFromS0,
  IdleUsbSelectiveSuspend
};
enum WDF_POWER_POLICY_S0_IDLE_USER_CONTROL {
  IdleUserControlInvalid = 0,
  IdleDoNotAllowUserControl,
  IdleAllowUserControl
};
enum WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE {
  DriverManagedIdleTimeout = 0,
  SystemManagedIdleTimeout,
  SystemManagedIdleTimeoutWithHint
};

#define IdleTimeoutDefaultValue 0

struct _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
  ULONG Size;
  WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
  DEVICE_POWER_STATE DxState;
  ULONG IdleTimeout;
  WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
  WDF_TRI_STATE Enabled;
  WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
  WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE IdleTimeoutType;
  WDF_TRI_STATE ExcludeD3Cold;
};
using WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS = _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS;
using PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS = WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS*;

inline VOID WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings,
                                                       WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps) {
  std::memset(Settings, 0, sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS));
  Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
  Settings->IdleTimeout = IdleTimeoutDefaultValue;
  Settings->UserControlOfIdleSettings = IdleAllowUserControl;
  Settings->Enabled = WdfUseDefault;
  Settings->PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
  Settings->IdleTimeoutType = DriverManagedIdleTimeout;
  Settings->ExcludeD3Cold = WdfUseDefault;
  Settings->IdleCaps = IdleCaps;
  Settings->DxState = IdleCaps == IdleCannotWakeFromS0 ? PowerDeviceD3 : PowerDeviceMaximum;
}

// Kept, but the device never idles out of D0 here: it leaves D0 only for system sleep and
// removal.
NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings);

//
// Registry.
//
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// PLUGPLAY_REGKEY_DEVICE opens the device's hardware key (the values sim's device
// description holds); PLUGPLAY_REGKEY_DRIVER opens an empty software key.
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
// STATUS_OBJECT_NAME_NOT_FOUND for a value that is not there (names compare without regard
// to case).
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
VOID WdfRegistryClose(WDFKEY Key);

//
// Spin locks.
//
NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
// Raises to DISPATCH_LEVEL; above DISPATCH_LEVEL it bug-checks, and so does acquiring a lock
// the thread already holds (it would deadlock on Windows).
VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
// Returns to the IRQL of the acquire.
VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock);

//
// Resource lists.
//
ULONG WdfCmResourceListGetCount(WDFCMRESLIST List);
// NULL past the end.
PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index);
ULONG WdfIoResourceRequirementsListGetCount(WDFIORESREQLIST RequirementsList);
WDFIORESLIST WdfIoResourceRequirementsListGetIoResList(WDFIORESREQLIST RequirementsList, ULONG Index);
ULONG WdfIoResourceListGetCount(WDFIORESLIST ResourceList);
// The descriptor may be changed in place (its Flags, for instance) while the filter runs.
PIO_RESOURCE_DESCRIPTOR WdfIoResourceListGetDescriptor(WDFIORESLIST ResourceList, ULONG Index);
VOID WdfIoResourceListRemove(WDFIORESLIST ResourceList, ULONG Index);

//
// Queues and requests.
//
enum WDF_IO_QUEUE_DISPATCH_TYPE {
  WdfIoQueueDispatchInvalid = 0,
  WdfIoQueueDispatchSequential,
  WdfIoQueueDispatchParallel,
  WdfIoQueueDispatchManual,
  WdfIoQueueDispatchMax
};

enum WDF_REQUEST_TYPE {
  WdfRequestTypeCreate = 0x0,
  WdfRequestTypeCreateNamedPipe = 0x1,
  WdfRequestTypeClose = 0x2,
  WdfRequestTypeRead = 0x3,
  WdfRequestTypeWrite = 0x4,
  WdfRequestTypeQueryInformation = 0x5,
  WdfRequestTypeSetInformation = 0x6,
  WdfRequestTypeQueryEA = 0x7,
  WdfRequestTypeSetEA = 0x8,
  WdfRequestTypeFlushBuffers = 0x9,
  WdfRequestTypeQueryVolumeInformation = 0xa,
  WdfRequestTypeSetVolumeInformation = 0xb,
  WdfRequestTypeDirectoryControl = 0xc,
  WdfRequestTypeFileSystemControl = 0xd,
  WdfRequestTypeDeviceControl = 0xe,
  WdfRequestTypeDeviceControlInternal = 0xf,
  WdfRequestTypeShutdown = 0x10,
  WdfRequestTypeLockControl = 0x11,
  WdfRequestTypeCleanup = 0x12,
  WdfRequestTypeCreateMailSlot = 0x13,
  WdfRequestTypeQuerySecurity = 0x14,
  WdfRequestTypeSetSecurity = 0x15,
  WdfRequestTypePower = 0x16,
  WdfRequestTypeSystemControl = 0x17,
  WdfRequestTypeDeviceChange = 0x18,
  WdfRequestTypeQueryQuota = 0x19,
  WdfRequestTypeSetQuota = 0x1A,
  WdfRequestTypePnp = 0x1B,
  WdfRequestTypeOther = 0x1C,
  WdfRequestTypeUsb = 0x40,
  WdfRequestTypeNoFormat = 0xFF,
  WdfRequestTypeMax
};

using EVT_WDF_IO_QUEUE_IO_DEFAULT = VOID(WDFQUEUE Queue, WDFREQUEST Request);
using PFN_WDF_IO_QUEUE_IO_DEFAULT = EVT_WDF_IO_QUEUE_IO_DEFAULT*;
using EVT_WDF_IO_QUEUE_IO_READ = VOID(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
using PFN_WDF_IO_QUEUE_IO_READ = EVT_WDF_IO_QUEUE_IO_READ*;
using EVT_WDF_IO_QUEUE_IO_WRITE = VOID(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
using PFN_WDF_IO_QUEUE_IO_WRITE = EVT_WDF_IO_QUEUE_IO_WRITE*;
using EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL = VOID(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                                size_t InputBufferLength, ULONG IoControlCode);
using PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL = EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL*;

// The callbacks the stand-in calls are typed; the others must stay NULL.
struct _WDF_IO_QUEUE_CONFIG {
  ULONG Size;
  WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
  WDF_TRI_STATE PowerManaged;
  BOOLEAN AllowZeroLengthRequests;
  BOOLEAN DefaultQueue;
  PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
  PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
  PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
  PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
  PVOID EvtIoInternalDeviceControl;
  PVOID EvtIoStop;
  PVOID EvtIoResume;
  PVOID EvtIoCanceledOnQueue;
  union {
    struct {
      ULONG NumberOfPresentedRequests;
    } Parallel;
  } Settings;
  WDFDRIVER Driver;
};
using WDF_IO_QUEUE_CONFIG = _WDF_IO_QUEUE_CONFIG;
using PWDF_IO_QUEUE_CONFIG = WDF_IO_QUEUE_CONFIG*;

inline VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
  std::memset(Config, 0, sizeof(WDF_IO_QUEUE_CONFIG));
  Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
  Config->PowerManaged = WdfUseDefault;
  Config->DispatchType = DispatchType;
  if (DispatchType == WdfIoQueueDispatchParallel) Config->Settings.Parallel.NumberOfPresentedRequests = MAXULONG;
}

inline VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
  WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
  Config->DefaultQueue = TRUE;
}

// Only sequential queues: the queue presents one request at a time and the next only once
// the driver completed it. A zero-length read or write is completed by the framework with
// STATUS_SUCCESS unless AllowZeroLengthRequests. The queue's parent is the device. Requests
// wait while the device is out of D0 (every queue acts as power-managed), and D0 exit and
// removal wait for the requests in progress to complete: there is no EvtIoStop, so a driver
// must not keep a request pending across them.
NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue);
// Requests of a type no queue takes (and no default queue) complete with
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);

// The input buffer of a write or device-control request: STATUS_BUFFER_TOO_SMALL when it is
// empty or shorter than MinimumRequiredLength, STATUS_INVALID_DEVICE_REQUEST for another
// request type or METHOD_NEITHER. For METHOD_BUFFERED the input and the output are one
// system buffer, as on Windows: read the input before writing the output.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length);
// The output buffer of a read or device-control request, with the same results.
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length);

struct _WDF_REQUEST_PARAMETERS {
  USHORT Size;
  UCHAR MinorFunction;
  WDF_REQUEST_TYPE Type;
  union {
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Read;
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Write;
    struct {
      size_t OutputBufferLength;
      size_t InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Arg1;
      PVOID Arg2;
      ULONG IoControlCode;
      PVOID Arg4;
    } Others;
  } Parameters;
};
using WDF_REQUEST_PARAMETERS = _WDF_REQUEST_PARAMETERS;
using PWDF_REQUEST_PARAMETERS = WDF_REQUEST_PARAMETERS*;
static_assert(sizeof(WDF_REQUEST_PARAMETERS) == 40);

inline VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
  std::memset(Parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
  Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
// The user-mode caller gets the status (as the Win32 error Windows maps it to) and the
// information as its byte count. Completing a request twice bug-checks.
VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);

//
// I/O targets.
//
enum WDF_MEMORY_DESCRIPTOR_TYPE {
  WdfMemoryDescriptorTypeInvalid = 0,
  WdfMemoryDescriptorTypeBuffer,
  WdfMemoryDescriptorTypeMdl,
  WdfMemoryDescriptorTypeHandle
};

struct _MDL;

struct _WDF_MEMORY_DESCRIPTOR {
  WDF_MEMORY_DESCRIPTOR_TYPE Type;
  union {
    struct {
      PVOID Buffer;
      ULONG Length;
    } BufferType;
    struct {
      _MDL* Mdl;
      ULONG BufferLength;
    } MdlType;
    struct {
      WDFMEMORY Memory;
      PVOID Offsets;
    } HandleType;
  } u;
};
using WDF_MEMORY_DESCRIPTOR = _WDF_MEMORY_DESCRIPTOR;
using PWDF_MEMORY_DESCRIPTOR = WDF_MEMORY_DESCRIPTOR*;

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer, ULONG BufferLength) {
  std::memset(Descriptor, 0, sizeof(WDF_MEMORY_DESCRIPTOR));
  Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
  Descriptor->u.BufferType.Buffer = Buffer;
  Descriptor->u.BufferType.Length = BufferLength;
}

struct _WDF_REQUEST_SEND_OPTIONS;
using PWDF_REQUEST_SEND_OPTIONS = _WDF_REQUEST_SEND_OPTIONS*;

// The device's local I/O target: the bus driver's device below it.
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device);
// Sends the control request to the target and waits for it (at PASSIVE_LEVEL). Only buffer
// descriptors; Request and RequestOptions must be NULL. The lower device answers
// IOCTL_ACPI_EVAL_METHOD (acpiioct.h); other codes fail with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer, PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned);

// GUID_BUS_INTERFACE_STANDARD (wdmguid.h), version 1, from a PCI device's bus driver:
// fills a BUS_INTERFACE_STANDARD and takes a reference that InterfaceDereference gives
// back. A device on the ACPI bus, or another interface: STATUS_NOT_SUPPORTED; a Size below
// the interface's: STATUS_INVALID_PARAMETER.
NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData);
