// Provider side of Event Tracing for Windows: registration and event writing, as the
// deliverables call it. Structures have the x64 layout of the Windows SDK.
#pragma once

#include <cstddef>

#include "guiddef.h"
#include "windef.h"

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

using PENABLECALLBACK = VOID (*)(LPCGUID SourceId, ULONG IsEnabled, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                 ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                 PVOID CallbackContext);

ULONG EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                    PREGHANDLE RegHandle);
ULONG EventUnregister(REGHANDLE RegHandle);
BOOLEAN EventEnabled(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor);
BOOLEAN EventProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
ULONG EventWrite(REGHANDLE RegHandle, PCEVENT_DESCRIPTOR EventDescriptor, ULONG UserDataCount,
                 PEVENT_DATA_DESCRIPTOR UserData);
ULONG EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String);
