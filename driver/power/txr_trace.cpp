// The driver's ETW provider: registration, the enable callback's group bits, and one writer
// per event of the manifest that the driver writes.
#include "txr_trace.h"

#include <ntstrsafe.h>

namespace {

// Events that share a level and keyword mask share one enabled bit.
enum TxrEventGroup : ULONG {
  GroupInfo,         // 100
  GroupError,        // 102
  GroupFunction,     // 103, 104
  GroupDevice,       // 105, 117
  GroupD0Entry,      // 107, 108
  GroupD0Exit,       // 109, 110
  GroupResource,     // 115
  GroupCount
};

struct TxrGroupMatch {
  UCHAR level;
  ULONGLONG keyword;
};

constexpr TxrGroupMatch kGroups[GroupCount] = {
    {4, 0x1}, {2, 0x1}, {5, 0x301}, {4, 0x4011}, {4, 0x2409}, {4, 0x2009}, {4, 0x14411},
};

constexpr EVENT_DESCRIPTOR Descriptor(USHORT id, UCHAR level, UCHAR opcode, ULONGLONG keyword) {
  return EVENT_DESCRIPTOR{id, 1, 0, level, opcode, 0, keyword};
}

constexpr EVENT_DESCRIPTOR kInfo = Descriptor(100, 4, 0, 0x1);
constexpr EVENT_DESCRIPTOR kError = Descriptor(102, 2, 0, 0x1);
constexpr EVENT_DESCRIPTOR kFunctionEntry = Descriptor(103, 5, 1, 0x301);
constexpr EVENT_DESCRIPTOR kFunctionExit = Descriptor(104, 5, 2, 0x301);
constexpr EVENT_DESCRIPTOR kCreateDevice = Descriptor(105, 4, 1, 0x4011);
constexpr EVENT_DESCRIPTOR kD0EntryStart = Descriptor(107, 4, 1, 0x2409);
constexpr EVENT_DESCRIPTOR kD0EntryEnd = Descriptor(108, 4, 2, 0x2409);
constexpr EVENT_DESCRIPTOR kD0ExitStart = Descriptor(109, 4, 1, 0x2009);
constexpr EVENT_DESCRIPTOR kD0ExitEnd = Descriptor(110, 4, 2, 0x2009);
constexpr EVENT_DESCRIPTOR kPrepareHardware = Descriptor(115, 4, 1, 0x14411);
constexpr EVENT_DESCRIPTOR kReleaseHardware = Descriptor(117, 4, 1, 0x4011);

// Read on every thread that logs, changed by registration and the enable callback.
volatile LONG64 g_TxrTraceHandle = 0;
// One bit per group; written by the enable callback, read before every event.
volatile LONG g_TxrEnabledGroups = 0;

bool GroupEnabled(TxrEventGroup group) { return (ReadAcquire(&g_TxrEnabledGroups) & (1L << group)) != 0; }

// A session's level 0 takes every level; a keyword mask of 0 matches every session;
// otherwise the group needs a bit of the any-mask and every bit of the all-mask.
LONG EnabledGroups(UCHAR level, ULONGLONG matchAny, ULONGLONG matchAll) {
  LONG bits = 0;
  for (ULONG group = 0; group < GroupCount; ++group) {
    const TxrGroupMatch& match = kGroups[group];
    const bool levelOk = level == 0 || level >= match.level;
    const bool keywordOk =
        match.keyword == 0 || ((match.keyword & matchAny) != 0 && (match.keyword & matchAll) == matchAll);
    if (levelOk && keywordOk) bits |= 1L << group;
  }
  return bits;
}

VOID TxrTraceEnableCallback(LPCGUID /*sourceId*/, ULONG isEnabled, UCHAR level, ULONGLONG matchAny,
                            ULONGLONG matchAll, PEVENT_FILTER_DESCRIPTOR /*filterData*/, PVOID /*context*/) {
  if (isEnabled == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
    InterlockedExchange(&g_TxrEnabledGroups, EnabledGroups(level, matchAny, matchAll));
  } else if (isEnabled == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
    InterlockedExchange(&g_TxrEnabledGroups, 0);
  }
}

constexpr size_t kMaxText = 512;

// Event text fields are UTF-16 with their terminator. The driver's texts are ASCII.
struct WideText {
  WCHAR text[kMaxText];
  ULONG bytes;
};

void Widen(const char* narrow, WideText& wide) {
  size_t length = 0;
  for (; narrow != nullptr && narrow[length] != 0 && length + 1 < kMaxText; ++length) {
    wide.text[length] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[length]));
  }
  wide.text[length] = 0;
  wide.bytes = static_cast<ULONG>((length + 1) * sizeof(WCHAR));
}

void FormatWide(WideText& wide, const char* format, va_list arguments) {
  char narrow[kMaxText];
  narrow[0] = 0;
  // A text cut at the buffer's end (STATUS_BUFFER_OVERFLOW) is still written: a truncated
  // line beats a lost one.
  RtlStringCchVPrintfA(narrow, sizeof narrow, format, arguments);
  Widen(narrow, wide);
}

void Write(const EVENT_DESCRIPTOR& descriptor, ULONG count, EVENT_DATA_DESCRIPTOR* data) {
  const REGHANDLE handle = static_cast<REGHANDLE>(ReadAcquire64(&g_TxrTraceHandle));
  if (handle != 0) EtwWrite(handle, &descriptor, nullptr, count, data);
}

void WriteText(const EVENT_DESCRIPTOR& descriptor, const char* text) {
  WideText wide;
  Widen(text, wide);
  EVENT_DATA_DESCRIPTOR data[1];
  EventDataDescCreate(&data[0], wide.text, wide.bytes);
  Write(descriptor, 1, data);
}

void WriteTextAndStatus(const EVENT_DESCRIPTOR& descriptor, const WideText& wide, NTSTATUS status) {
  EVENT_DATA_DESCRIPTOR data[2];
  EventDataDescCreate(&data[0], wide.text, wide.bytes);
  EventDataDescCreate(&data[1], &status, sizeof status);
  Write(descriptor, 2, data);
}

void WriteStatus(const EVENT_DESCRIPTOR& descriptor, NTSTATUS status) {
  EVENT_DATA_DESCRIPTOR data[1];
  EventDataDescCreate(&data[0], &status, sizeof status);
  Write(descriptor, 1, data);
}

void WritePointerAndUlong(const EVENT_DESCRIPTOR& descriptor, const void* pointer, ULONG value) {
  EVENT_DATA_DESCRIPTOR data[2];
  EventDataDescCreate(&data[0], &pointer, sizeof pointer);
  EventDataDescCreate(&data[1], &value, sizeof value);
  Write(descriptor, 2, data);
}

void WriteResource(const EVENT_DESCRIPTOR& descriptor, const void* device, ULONGLONG resource, ULONG size,
                   const char* name) {
  WideText wide;
  Widen(name, wide);
  EVENT_DATA_DESCRIPTOR data[4];
  EventDataDescCreate(&data[0], &device, sizeof device);
  EventDataDescCreate(&data[1], &resource, sizeof resource);
  EventDataDescCreate(&data[2], &size, sizeof size);
  EventDataDescCreate(&data[3], wide.text, wide.bytes);
  Write(descriptor, 4, data);
}

}  // namespace

NTSTATUS TxrTraceRegister() {
  if (ReadAcquire64(&g_TxrTraceHandle) != 0) return STATUS_SUCCESS;
  REGHANDLE handle = 0;
  // The enable callback may run inside EtwRegister, for sessions that enabled the provider
  // before the driver loaded; it sets the group bits before the handle is published.
  const NTSTATUS status = EtwRegister(&TXR_TRACE_PROVIDER_GUID, TxrTraceEnableCallback, nullptr, &handle);
  if (NT_SUCCESS(status)) InterlockedExchange64(&g_TxrTraceHandle, static_cast<LONG64>(handle));
  return status;
}

void TxrTraceUnregister() {
  const REGHANDLE handle = static_cast<REGHANDLE>(InterlockedExchange64(&g_TxrTraceHandle, 0));
  if (handle == 0) return;
  EtwUnregister(handle);
  InterlockedExchange(&g_TxrEnabledGroups, 0);
}

void TxrLogInfo(const char* format, ...) {
  if (!GroupEnabled(GroupInfo)) return;
  WideText wide;
  va_list arguments;
  va_start(arguments, format);
  FormatWide(wide, format, arguments);
  va_end(arguments);
  EVENT_DATA_DESCRIPTOR data[1];
  EventDataDescCreate(&data[0], wide.text, wide.bytes);
  Write(kInfo, 1, data);
}

void TxrLogError(NTSTATUS status, const char* format, ...) {
  if (!GroupEnabled(GroupError)) return;
  WideText wide;
  va_list arguments;
  va_start(arguments, format);
  FormatWide(wide, format, arguments);
  va_end(arguments);
  WriteTextAndStatus(kError, wide, status);
}

void TxrTraceEnter(const char* function) {
  if (GroupEnabled(GroupFunction)) WriteText(kFunctionEntry, function);
}

void TxrTraceExit(const char* function, NTSTATUS status) {
  if (!GroupEnabled(GroupFunction)) return;
  WideText wide;
  Widen(function, wide);
  WriteTextAndStatus(kFunctionExit, wide, status);
}

void TxrTraceCreateDevice(const void* device, const void* deviceInit) {
  if (!GroupEnabled(GroupDevice)) return;
  EVENT_DATA_DESCRIPTOR data[2];
  EventDataDescCreate(&data[0], &device, sizeof device);
  EventDataDescCreate(&data[1], &deviceInit, sizeof deviceInit);
  Write(kCreateDevice, 2, data);
}

void TxrTraceD0EntryStart(const void* device, ULONG previousState) {
  if (GroupEnabled(GroupD0Entry)) WritePointerAndUlong(kD0EntryStart, device, previousState);
}

void TxrTraceD0EntryEnd(NTSTATUS status) {
  if (GroupEnabled(GroupD0Entry)) WriteStatus(kD0EntryEnd, status);
}

void TxrTraceD0ExitStart(const void* device, ULONG targetState) {
  if (GroupEnabled(GroupD0Exit)) WritePointerAndUlong(kD0ExitStart, device, targetState);
}

void TxrTraceD0ExitEnd(NTSTATUS status) {
  if (GroupEnabled(GroupD0Exit)) WriteStatus(kD0ExitEnd, status);
}

void TxrTraceResource(const void* device, ULONGLONG resource, ULONG size, const char* name) {
  if (GroupEnabled(GroupResource)) WriteResource(kPrepareHardware, device, resource, size, name);
}

void TxrTraceReleaseHardware(const void* device, ULONGLONG resource, ULONG size, const char* name) {
  if (GroupEnabled(GroupDevice)) WriteResource(kReleaseHardware, device, resource, size, name);
}
