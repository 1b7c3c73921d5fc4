// Event consumer declarations of the Windows API stand-in: the event record that a consumer
// receives and TDH describes, with the SDK's x64 layout. The consuming functions come with
// the ETW surface.
#pragma once

#include <cstddef>

#include "windef.h"
#include "guiddef.h"
#include "evntprov.h"

// The SDK's members are reached as it names them (BufferContext.ProcessorNumber,
// EventHeader.KernelTime), through unnamed structures, which standard C++ lacks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"

#ifndef ETW_BUFFER_CONTEXT_DEF
#define ETW_BUFFER_CONTEXT_DEF
typedef struct _ETW_BUFFER_CONTEXT {
  union {
    struct {
      UCHAR ProcessorNumber;
      UCHAR Alignment;
    };
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
  };
  USHORT DataSize;
  ULONGLONG DataPtr;
} EVENT_HEADER_EXTENDED_DATA_ITEM, *PEVENT_HEADER_EXTENDED_DATA_ITEM;
static_assert(sizeof(EVENT_HEADER_EXTENDED_DATA_ITEM) == 16);
#endif

#ifndef EVENT_HEADER_DEF
#define EVENT_HEADER_DEF
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
    struct {
      ULONG KernelTime;
      ULONG UserTime;
    };
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

#pragma GCC diagnostic pop
