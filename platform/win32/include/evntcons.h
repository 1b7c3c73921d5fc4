// Event consumer declarations of the Windows API stand-in: the event record that a consumer
// receives and TDH describes, with the SDK's x64 layout. The consuming functions come with
// the ETW surface.
#pragma once

#include <cstddef>

#include "windef.h"
#include "guiddef.h"
#include "evntprov.h"

#ifndef ETW_BUFFER_CONTEXT_DEF
#define ETW_BUFFER_CONTEXT_DEF
// The SDK nests its unnamed structures in unnamed unions; here they are named types and named
// members ("s"), so that the headers stay standard C++.
struct _ETW_BUFFER_CONTEXT_PROCESSOR {
  UCHAR ProcessorNumber;
  UCHAR Alignment;
};

typedef struct _ETW_BUFFER_CONTEXT {
  union {
    _ETW_BUFFER_CONTEXT_PROCESSOR s;
    USHORT ProcessorIndex;
  };
  USHORT LoggerId;
} ETW_BUFFER_CONTEXT, *PETW_BUFFER_CONTEXT;
static_assert(sizeof(ETW_BUFFER_CONTEXT) == 4);
#endif

#ifndef EVENT_HEADER_EXTENDED_DATA_ITEM_DEF
#define EVENT_HEADER_EXTENDED_DATA_ITEM_DEF
typedef struct _EVENT_HEADER_EXTENDED_DATA_ITEM {
  USHORT Reserved1;
  USHORT ExtType;
  struct {
    USHORT Linkage : 1;
    USHORT Reserved2 : 15;
  } s;
  USHORT DataSize;
  ULONGLONG DataPtr;
} EVENT_HEADER_EXTENDED_DATA_ITEM, *PEVENT_HEADER_EXTENDED_DATA_ITEM;
static_assert(sizeof(EVENT_HEADER_EXTENDED_DATA_ITEM) == 16);
#endif

#ifndef EVENT_HEADER_DEF
#define EVENT_HEADER_DEF
struct _EVENT_HEADER_TIMES {
  ULONG KernelTime;
  ULONG UserTime;
};

typedef struct _EVENT_HEADER {
  USHORT Size;
  USHORT HeaderType;
  USHORT Flags;
  USHORT EventProperty;
  ULONG ThreadId;
  ULONG ProcessId;
  LARGE_INTEGER TimeStamp;
  GUID ProviderId;
  EVENT_DESCRIPTOR EventDescriptor;
  union {
    _EVENT_HEADER_TIMES s;
    ULONG64 ProcessorTime;
  };
  GUID ActivityId;
} EVENT_HEADER, *PEVENT_HEADER;
static_assert(sizeof(EVENT_HEADER) == 80);
static_assert(offsetof(EVENT_HEADER, ProviderId) == 24);
static_assert(offsetof(EVENT_HEADER, EventDescriptor) == 40);
#endif

#ifndef EVENT_RECORD_DEF
#define EVENT_RECORD_DEF
typedef struct _EVENT_RECORD {
  EVENT_HEADER EventHeader;
  ETW_BUFFER_CONTEXT BufferContext;
  USHORT ExtendedDataCount;
  USHORT UserDataLength;
  PEVENT_HEADER_EXTENDED_DATA_ITEM ExtendedData;
  PVOID UserData;
  PVOID UserContext;
} EVENT_RECORD, *PEVENT_RECORD;
typedef const EVENT_RECORD* PCEVENT_RECORD;
static_assert(sizeof(EVENT_RECORD) == 112);
static_assert(offsetof(EVENT_RECORD, UserData) == 96);
#endif
