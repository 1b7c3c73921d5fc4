// TXR's own ETW provider, "Orvix-Tessera" {C9CB79C1-31AD-4193-BD19-4D2A9018904C}: every log
// line of the driver is an event of it, so a trace session on the target can follow the
// driver. Its instrumentation manifest (Orvix-Tessera.man beside this file) declares the
// events; the ones written here are:
//   100 INFO (level 4, keyword 0x1)          Message
//   102 ERROR (level 2, keyword 0x1)         Message, Status
//   103 function entry (level 5, 0x301)      FunctionName         "-->" lines
//   104 function exit (level 5, 0x301)       FunctionName, Status "<--" lines
//   105 CreateDevice (level 4, 0x4011)       Device, DeviceInit
//   107/108 D0Entry start/end (4, 0x2409)    Device, PreviousState / Status
//   109/110 D0Exit start/end (4, 0x2009)     WDFDEVICE, TargetState / Status
//   115 PrepareHardware resource (4, 0x14411) WDFDEVICE, Resource, Size, Resource_Name
//   117 ReleaseHardware (4, 0x4011)          WDFDEVICE, Resource, Size, Resource_Name
// Nothing is formatted or written unless a session enabled the event's group: the enable
// callback keeps one bit per group of events that share a level and keyword mask.
//
// Lifecycle: TxrTraceRegister in DriverEntry (a second call keeps the first registration);
// TxrTraceUnregister at driver unload and at device-context cleanup (a second call does
// nothing). Every other function may run at any IRQL on any thread.
#pragma once

#include <ntddk.h>

// {C9CB79C1-31AD-4193-BD19-4D2A9018904C}
inline constexpr GUID TXR_TRACE_PROVIDER_GUID = {
    0xc9cb79c1, 0x31ad, 0x4193, {0xbd, 0x19, 0x4d, 0x2a, 0x90, 0x18, 0x90, 0x4c}};

// Keywords of the provider (the manifest's names).
inline constexpr ULONGLONG TXR_KEYWORD_DEFAULT = 0x1;
inline constexpr ULONGLONG TXR_KEYWORD_IRP = 0x4;
inline constexpr ULONGLONG TXR_KEYWORD_POWER = 0x8;
inline constexpr ULONGLONG TXR_KEYWORD_PLUGNPLAY = 0x10;
inline constexpr ULONGLONG TXR_KEYWORD_FUNCTION = 0x100;
inline constexpr ULONGLONG TXR_KEYWORD_APITRACE = 0x200;
inline constexpr ULONGLONG TXR_KEYWORD_DRIVERINIT = 0x400;
inline constexpr ULONGLONG TXR_KEYWORD_PM_TRANSITION = 0x2000;
inline constexpr ULONGLONG TXR_KEYWORD_HW_STATE_TRANSITION = 0x4000;
inline constexpr ULONGLONG TXR_KEYWORD_RESOURCE_TRANSITION = 0x10000;

NTSTATUS TxrTraceRegister();
void TxrTraceUnregister();

// Informational and error lines (events 100 and 102), printf-style; the text is cut at 511
// characters.
void TxrLogInfo(const char* format, ...);
void TxrLogError(NTSTATUS status, const char* format, ...);

// "-->Name" and "<--Name" (events 103 and 104).
void TxrTraceEnter(const char* function);
void TxrTraceExit(const char* function, NTSTATUS status);

// Entry and exit of a routine, written by scope: the exit event carries `status` as the
// routine last set it.
class TxrFunctionTrace {
 public:
  explicit TxrFunctionTrace(const char* function) : m_function(function) { TxrTraceEnter(function); }
  ~TxrFunctionTrace() { TxrTraceExit(m_function, status); }
  TxrFunctionTrace(const TxrFunctionTrace&) = delete;
  TxrFunctionTrace& operator=(const TxrFunctionTrace&) = delete;
  NTSTATUS status = STATUS_SUCCESS;

 private:
  const char* m_function;
};

void TxrTraceCreateDevice(const void* device, const void* deviceInit);
void TxrTraceD0EntryStart(const void* device, ULONG previousState);
void TxrTraceD0EntryEnd(NTSTATUS status);
void TxrTraceD0ExitStart(const void* device, ULONG targetState);
void TxrTraceD0ExitEnd(NTSTATUS status);
// One resource seen while mapping ("CSR Address", "Io Base Address", ...).
void TxrTraceResource(const void* device, ULONGLONG resource, ULONG size, const char* name);
void TxrTraceReleaseHardware(const void* device, ULONGLONG resource, ULONG size, const char* name);
