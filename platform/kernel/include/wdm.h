// The kernel services a WDM or KMDF driver calls, as the WDK's wdm.h declares them: IRQL and
// processors, the performance counter, bug checks, pool, callback objects, memory-mapped I/O,
// debug print, kernel ETW, run-time string and memory helpers, and the I/O manager's objects
// (driver and device objects, IRPs and their stack locations, power and resource
// descriptors, bus interfaces).
//
// Every function has the WDK's signature and documented behaviour, as far as the driver and
// the tests rely on it. Functions that return an NTSTATUS can be made to fail by name
// (sim::fail_next_status), those that return a pointer can be made to return NULL
// (sim::fail_next), and any of them can be made to raise a structured exception instead of
// running (sim::raise_next). Rule breaks that Windows answers with a bug check (an IRQL
// rule, a pool tag that does not match, a double free) end the process through KeBugCheckEx,
// which prints the stop code.
//
// IRQL is kept per thread; every thread starts at PASSIVE_LEVEL.
#pragma once

#include <atomic>

#include "ntdef.h"

//
// IRQL, processors, time, bug checks.
//
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPROCESSOR_MODE = CCHAR;

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

#define ALL_PROCESSOR_GROUPS 0xffff

struct _PROCESSOR_NUMBER {
  USHORT Group;
  UCHAR Number;
  UCHAR Reserved;
};
using PROCESSOR_NUMBER = _PROCESSOR_NUMBER;
using PPROCESSOR_NUMBER = PROCESSOR_NUMBER*;
static_assert(sizeof(PROCESSOR_NUMBER) == 4);

KIRQL KeGetCurrentIrql();
// Raising to a lower IRQL than the current one bug-checks (IRQL_NOT_GREATER_OR_EQUAL).
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
KIRQL KeRaiseIrqlToDpcLevel();
// Lowering to a higher IRQL than the current one bug-checks (IRQL_NOT_LESS_OR_EQUAL).
VOID KeLowerIrql(KIRQL NewIrql);

// The calling thread's processor: one of the active processors, the same for the thread's
// whole life unless sim moves it. Group 0 only.
ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber);
ULONG KeQueryActiveProcessorCountEx(USHORT GroupNumber);

// The machine's performance counter, the very clock QueryPerformanceCounter reads in user
// mode, and (when Frequency is not NULL) its rate.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// A full memory fence. A locked read-modify-write is one on x64; it stands on a per-thread
// word so that threads do not contend for it (and, unlike a fence instruction,
// ThreadSanitizer builds accept it).
inline VOID KeMemoryBarrier() {
  thread_local std::atomic<LONG> barrier{0};
  barrier.fetch_add(0, std::memory_order_seq_cst);
}

// Interlocked exchange and acquire reads of 32- and 64-bit values shared between threads
// (full barriers, as on x64).
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(volatile LONG64* Target, LONG64 Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG ReadAcquire(const volatile LONG* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
inline LONG64 ReadAcquire64(const volatile LONG64* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }

// Prints the stop code and its parameters and ends the process.
[[noreturn]] VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                               ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4);

#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001E
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define IRQL_GT_ZERO_AT_SYSTEM_SERVICE 0x0000004A
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define WDF_VIOLATION 0x0000010D

// Raises `Status` as a structured exception.
[[noreturn]] VOID ExRaiseStatus(NTSTATUS Status);

//
// Pool.
//
using POOL_FLAGS = ULONG64;

#define POOL_FLAG_USE_QUOTA 0x0000000000000001ull
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ull
#define POOL_FLAG_SESSION 0x0000000000000004ull
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ull
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ull
#define POOL_FLAG_NON_PAGED 0x0000000000000040ull
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ull
#define POOL_FLAG_PAGED 0x0000000000000100ull

// Zeroed unless POOL_FLAG_UNINITIALIZED; NULL for a zero tag or size, for flags that name
// no pool type or several, and when it cannot allocate (with POOL_FLAG_RAISE_ON_FAILURE it
// raises STATUS_INSUFFICIENT_RESOURCES instead). Paged pool above APC_LEVEL or any pool
// above DISPATCH_LEVEL bug-checks. Every block is counted by tag until it is freed.
DECLSPEC_RESTRICT PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
// A tag other than the allocation's (BAD_POOL_CALLER) or a block that is not allocated
// (DRIVER_VERIFIER_DETECTED_VIOLATION) bug-checks.
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

//
// Callback objects.
//
struct _CALLBACK_OBJECT;
using PCALLBACK_OBJECT = _CALLBACK_OBJECT*;
using CALLBACK_FUNCTION = VOID(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
using PCALLBACK_FUNCTION = CALLBACK_FUNCTION*;

// Opens the named callback object (names compare without regard to case), or creates it
// when it does not exist and Create is TRUE; absent and not Create: STATUS_OBJECT_NAME_NOT_FOUND;
// no name: STATUS_UNSUCCESSFUL. Each success takes a reference that ObDereferenceObject
// gives back; an object that is not OBJ_PERMANENT is gone with its last reference.
NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks);
// NULL when the object allows one callback and already has one. The registration holds a
// reference on the object until ExUnregisterCallback.
PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext);
// Returns once no other thread runs the callback any more.
VOID ExUnregisterCallback(PVOID CallbackRegistration);
// Calls every registered callback in registration order, on the calling thread and at its
// IRQL (at most DISPATCH_LEVEL).
VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);
LONG_PTR ObDereferenceObject(PVOID Object);
// Makes a permanent object go with its last reference.
VOID ObMakeTemporaryObject(PVOID Object);

//
// Memory-mapped I/O.
//
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_NOCACHE 0x200
#define PAGE_WRITECOMBINE 0x400
#define PAGE_SIZE 0x1000

// Maps `NumberOfBytes` of physical address space at `PhysicalAddress`. The address range
// returned is reserved but not accessible: the driver reaches the device only through
// READ_REGISTER_* and WRITE_REGISTER_*, and a plain dereference crashes. NULL when the
// size is zero or Protect names neither PAGE_READWRITE nor PAGE_READONLY.
PVOID MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect);
// The size must be the one mapped (DRIVER_VERIFIER_DETECTED_VIOLATION otherwise).
VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// One access of the register's width, passed to the Tessera hardware model. An address
// outside every live mapping, or an access the hardware refuses, raises
// STATUS_ACCESS_VIOLATION (parameters: 0 read / 1 write, the address).
UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register);
USHORT READ_REGISTER_USHORT(volatile USHORT* Register);
ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
ULONG64 READ_REGISTER_ULONG64(volatile ULONG64* Register);
VOID WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
VOID WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
VOID WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);
VOID WRITE_REGISTER_ULONG64(volatile ULONG64* Register, ULONG64 Value);

//
// Debug print.
//
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

enum DPFLTR_TYPE {
  DPFLTR_SYSTEM_ID = 0,
  DPFLTR_ACPI_ID = 24,
  DPFLTR_IHVDRIVER_ID = 77,
  DPFLTR_IHVVIDEO_ID = 78,
  DPFLTR_IHVAUDIO_ID = 79,
  DPFLTR_IHVNETWORK_ID = 80,
  DPFLTR_IHVSTREAMING_ID = 81,
  DPFLTR_IHVBUS_ID = 82,
};

// Sends the message to the kernel debugger when it passes the component's filter: a Level
// of 0 to 31 is a bit index (1 << Level), a larger one a mask; the message passes when that
// mask meets the component's filter mask or DPFLTR_ERROR_LEVEL's bit (always on). The
// format is Windows' printf: %ld and %lx are 32 bits, %I64x and %llx 64, %p a pointer,
// %s narrow text, %S, %ls and %ws wide text, %Z a PSTRING and %wZ a PUNICODE_STRING.
// At most 512 bytes of each message are sent.
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
// Sets (State TRUE) or clears the Level's bits in the component's filter mask.
NTSTATUS DbgSetDebugFilterState(ULONG ComponentId, ULONG Level, BOOLEAN State);

using DEBUG_PRINT_CALLBACK = VOID(PSTRING Output, ULONG ComponentId, ULONG Level);
using PDEBUG_PRINT_CALLBACK = DEBUG_PRINT_CALLBACK*;
// Every message that passes the filter is also given to each registered callback, on the
// printing thread. Enable FALSE removes the callback.
NTSTATUS DbgSetDebugPrintCallback(PDEBUG_PRINT_CALLBACK DebugPrintCallback, BOOLEAN Enable);

//
// Kernel ETW: a provider of the same runtime that user-mode sessions consume.
//
using REGHANDLE = ULONGLONG;
using PREGHANDLE = REGHANDLE*;

struct EVENT_DESCRIPTOR {
  USHORT Id;
  UCHAR Version;
  UCHAR Channel;
  UCHAR Level;
  UCHAR Opcode;
  USHORT Task;
  ULONGLONG Keyword;
};
using PEVENT_DESCRIPTOR = EVENT_DESCRIPTOR*;
using PCEVENT_DESCRIPTOR = const EVENT_DESCRIPTOR*;
static_assert(sizeof(EVENT_DESCRIPTOR) == 16);
static_assert(offsetof(EVENT_DESCRIPTOR, Level) == 4);
static_assert(offsetof(EVENT_DESCRIPTOR, Task) == 6);
static_assert(offsetof(EVENT_DESCRIPTOR, Keyword) == 8);

struct EVENT_DATA_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Reserved;
};
using PEVENT_DATA_DESCRIPTOR = EVENT_DATA_DESCRIPTOR*;
static_assert(sizeof(EVENT_DATA_DESCRIPTOR) == 16);

struct EVENT_FILTER_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Type;
};
using PEVENT_FILTER_DESCRIPTOR = EVENT_FILTER_DESCRIPTOR*;
static_assert(sizeof(EVENT_FILTER_DESCRIPTOR) == 16);

inline void EventDataDescCreate(PEVENT_DATA_DESCRIPTOR descriptor, const void* data, ULONG size) {
  descriptor->Ptr = reinterpret_cast<ULONGLONG>(data);
  descriptor->Size = size;
  descriptor->Reserved = 0;
}

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

using ETWENABLECALLBACK = VOID(LPCGUID SourceId, ULONG ControlCode, UCHAR Level, ULONGLONG MatchAnyKeyword,
                               ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData, PVOID CallbackContext);
using PETWENABLECALLBACK = ETWENABLECALLBACK*;

// The enable callback runs at PASSIVE_LEVEL, at once for sessions that already enabled the
// provider, later on the thread that enables or disables it.
NTSTATUS EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                     PREGHANDLE RegHandle);
NTSTATUS EtwUnregister(REGHANDLE RegHandle);
BOOLEAN EtwEventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor);
BOOLEAN EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
// The event reaches every session that enabled the provider at a matching level and
// keywords. The activity id is not carried.
NTSTATUS EtwWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, LPCGUID ActivityId, ULONG UserDataCount,
                  PEVENT_DATA_DESCRIPTOR UserData);

//
// Run-time library.
//
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!std::memcmp((Destination), (Source), (Length)))

// The number of leading bytes that match.
inline SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const UCHAR*>(Source1);
  const auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}

//
// I/O control codes.
//
using DEVICE_TYPE = ULONG;

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_ACPI 0x00000032
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002

#define CTL_CODE(DeviceType, Function, Method, Access) \
  ((static_cast<ULONG>(DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_FROM_CTL_CODE(ctrlCode) (static_cast<ULONG>((ctrlCode) & 3))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) ((static_cast<ULONG>(ctrlCode) & 0xffff0000) >> 16)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

using ACCESS_MASK = ULONG;

//
// Power.
//
enum SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
};
using PSYSTEM_POWER_STATE = SYSTEM_POWER_STATE*;

enum DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
};
using PDEVICE_POWER_STATE = DEVICE_POWER_STATE*;

enum POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject,
  PowerActionDisplayOff
};
using PPOWER_ACTION = POWER_ACTION*;

enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState };

union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
using PPOWER_STATE = POWER_STATE*;

// What a system set-power IRP says about the previous system power IRP: its target state
// and the effective state the user saw. EffectiveInitialSystemState names the same four
// bits as EffectiveSystemState (an older name for it).
struct _SYSTEM_POWER_STATE_CONTEXT {
  __extension__ union {
    __extension__ struct {
      ULONG Reserved1 : 8;
      ULONG TargetSystemState : 4;
      ULONG EffectiveSystemState : 4;
      ULONG CurrentSystemState : 4;
      ULONG IgnoreHibernationPath : 1;
      ULONG PseudoTransition : 1;
      ULONG KernelSoftReboot : 1;
      ULONG DirectedDripsTransition : 1;
      ULONG Reserved2 : 8;
    };
    __extension__ struct {
      ULONG : 12;
      ULONG EffectiveInitialSystemState : 4;
      ULONG : 16;
    };
    ULONG ContextAsUlong;
  };
};
using SYSTEM_POWER_STATE_CONTEXT = _SYSTEM_POWER_STATE_CONTEXT;
using PSYSTEM_POWER_STATE_CONTEXT = SYSTEM_POWER_STATE_CONTEXT*;
static_assert(sizeof(SYSTEM_POWER_STATE_CONTEXT) == 4);

//
// I/O manager objects.
//
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IO_NO_INCREMENT 0

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _IO_STACK_LOCATION;
struct _FILE_OBJECT;

using PDEVICE_OBJECT = _DEVICE_OBJECT*;
using PDRIVER_OBJECT = _DRIVER_OBJECT*;
using PIRP = _IRP*;
using PIO_STACK_LOCATION = _IO_STACK_LOCATION*;
using PFILE_OBJECT = _FILE_OBJECT*;

using DRIVER_INITIALIZE = NTSTATUS(_DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
using PDRIVER_INITIALIZE = DRIVER_INITIALIZE*;
using DRIVER_UNLOAD = VOID(_DRIVER_OBJECT* DriverObject);
using PDRIVER_UNLOAD = DRIVER_UNLOAD*;
using DRIVER_DISPATCH = NTSTATUS(_DEVICE_OBJECT* DeviceObject, _IRP* Irp);
using PDRIVER_DISPATCH = DRIVER_DISPATCH*;
using DRIVER_ADD_DEVICE = NTSTATUS(_DRIVER_OBJECT* DriverObject, _DEVICE_OBJECT* PhysicalDeviceObject);
using PDRIVER_ADD_DEVICE = DRIVER_ADD_DEVICE*;

struct _DRIVER_EXTENSION {
  _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
};
using DRIVER_EXTENSION = _DRIVER_EXTENSION;
using PDRIVER_EXTENSION = DRIVER_EXTENSION*;

struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
using DRIVER_OBJECT = _DRIVER_OBJECT;

struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  _DRIVER_OBJECT* DriverObject;
  _DEVICE_OBJECT* NextDevice;
  _DEVICE_OBJECT* AttachedDevice;
  _IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
};
using DEVICE_OBJECT = _DEVICE_OBJECT;

// The file object of one open of the device (what CreateFileW opened): the same object
// reaches the driver in the create, cleanup and close IRPs of that open.
struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  UNICODE_STRING FileName;
};
using FILE_OBJECT = _FILE_OBJECT;

struct _IO_STATUS_BLOCK {
  __extension__ union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using IO_STATUS_BLOCK = _IO_STATUS_BLOCK;
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      ULONG Flags;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      __extension__ union {
        ULONG SystemContext;
        SYSTEM_POWER_STATE_CONTEXT SystemPowerStateContext;
      };
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      POWER_ACTION ShutdownType;
    } Power;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID CompletionRoutine;
  PVOID Context;
};
using IO_STACK_LOCATION = _IO_STACK_LOCATION;

struct _IRP {
  CSHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  union {
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  PVOID UserBuffer;
  struct {
    struct {
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
};
using IRP = _IRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
// Leaves the current stack location to the next driver (the framework, for a preprocessed
// IRP handed back with WdfDeviceWdmDispatchPreprocessedIrp).
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
  ++Irp->CurrentLocation;
  ++Irp->Tail.Overlay.CurrentStackLocation;
}
// Completing an IRP twice bug-checks (MULTIPLE_IRP_COMPLETE_REQUESTS).
VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost);

//
// Hardware resources.
//
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4

enum CM_SHARE_DISPOSITION {
  CmResourceShareUndetermined = 0,
  CmResourceShareDeviceExclusive,
  CmResourceShareDriverExclusive,
  CmResourceShareShared
};

#define CM_RESOURCE_MEMORY_READ_WRITE 0x0000
#define CM_RESOURCE_MEMORY_READ_ONLY 0x0001
#define CM_RESOURCE_MEMORY_WRITE_ONLY 0x0002
#define CM_RESOURCE_MEMORY_PREFETCHABLE 0x0004
#define CM_RESOURCE_MEMORY_COMBINEDWRITE 0x0008
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001

#define IO_RESOURCE_PREFERRED 0x01
#define IO_RESOURCE_DEFAULT 0x02
#define IO_RESOURCE_ALTERNATIVE 0x08

#pragma pack(push, 4)
// One assigned resource (20 bytes on x64: the union is packed to 4).
struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Port;
    struct {
      ULONG Level;
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Memory;
    struct {
      ULONG Data[3];
    } DevicePrivate;
  } u;
};
#pragma pack(pop)
using CM_PARTIAL_RESOURCE_DESCRIPTOR = _CM_PARTIAL_RESOURCE_DESCRIPTOR;
using PCM_PARTIAL_RESOURCE_DESCRIPTOR = CM_PARTIAL_RESOURCE_DESCRIPTOR*;
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20);
static_assert(offsetof(CM_PARTIAL_RESOURCE_DESCRIPTOR, u) == 4);

// One resource requirement (32 bytes on x64).
struct _IO_RESOURCE_DESCRIPTOR {
  UCHAR Option;
  UCHAR Type;
  UCHAR ShareDisposition;
  UCHAR Spare1;
  USHORT Flags;
  USHORT Spare2;
  union {
    struct {
      ULONG Length;
      ULONG Alignment;
      PHYSICAL_ADDRESS MinimumAddress;
      PHYSICAL_ADDRESS MaximumAddress;
    } Port;
    struct {
      ULONG Length;
      ULONG Alignment;
      PHYSICAL_ADDRESS MinimumAddress;
      PHYSICAL_ADDRESS MaximumAddress;
    } Memory;
    struct {
      ULONG MinimumVector;
      ULONG MaximumVector;
      USHORT AffinityPolicy;
      USHORT PriorityPolicy;
      KAFFINITY TargetedProcessors;
    } Interrupt;
    struct {
      ULONG Length;
      ULONG Alignment;
      PHYSICAL_ADDRESS MinimumAddress;
      PHYSICAL_ADDRESS MaximumAddress;
    } Generic;
    struct {
      ULONG Data[3];
    } DevicePrivate;
  } u;
};
using IO_RESOURCE_DESCRIPTOR = _IO_RESOURCE_DESCRIPTOR;
using PIO_RESOURCE_DESCRIPTOR = IO_RESOURCE_DESCRIPTOR*;
static_assert(sizeof(IO_RESOURCE_DESCRIPTOR) == 32);
static_assert(offsetof(IO_RESOURCE_DESCRIPTOR, u) == 8);

//
// Bus interfaces (IRP_MN_QUERY_INTERFACE, WdfFdoQueryForInterface).
//
using INTERFACE_REFERENCE = VOID(PVOID Context);
using PINTERFACE_REFERENCE = INTERFACE_REFERENCE*;
using INTERFACE_DEREFERENCE = VOID(PVOID Context);
using PINTERFACE_DEREFERENCE = INTERFACE_DEREFERENCE*;

struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
};
using INTERFACE = _INTERFACE;
using PINTERFACE = INTERFACE*;

struct _DMA_ADAPTER;
struct _DEVICE_DESCRIPTION;

using TRANSLATE_BUS_ADDRESS = BOOLEAN(PVOID Context, PHYSICAL_ADDRESS BusAddress, ULONG Length, PULONG AddressSpace,
                                      PPHYSICAL_ADDRESS TranslatedAddress);
using PTRANSLATE_BUS_ADDRESS = TRANSLATE_BUS_ADDRESS*;
using GET_DMA_ADAPTER = _DMA_ADAPTER*(PVOID Context, _DEVICE_DESCRIPTION* DeviceDescriptor,
                                      PULONG NumberOfMapRegisters);
using PGET_DMA_ADAPTER = GET_DMA_ADAPTER*;
using GET_SET_DEVICE_DATA = ULONG(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length);
using PGET_SET_DEVICE_DATA = GET_SET_DEVICE_DATA*;

#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM 0x52696350
#define PCI_BUS_INTERFACE_STANDARD_VERSION 1

// GetBusData and SetBusData move bytes of the device's 256-byte PCI configuration space and
// return how many they moved (0 for another space or an offset past its end).
struct _BUS_INTERFACE_STANDARD {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PTRANSLATE_BUS_ADDRESS TranslateBusAddress;
  PGET_DMA_ADAPTER GetDmaAdapter;
  PGET_SET_DEVICE_DATA SetBusData;
  PGET_SET_DEVICE_DATA GetBusData;
};
using BUS_INTERFACE_STANDARD = _BUS_INTERFACE_STANDARD;
using PBUS_INTERFACE_STANDARD = BUS_INTERFACE_STANDARD*;
static_assert(sizeof(BUS_INTERFACE_STANDARD) == 64);
