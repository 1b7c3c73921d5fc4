// Consumer side of Event Tracing for Windows: the event record a real-time consumer's
// callback receives and TDH describes, with the SDK's x64 layout.
#pragma once

#include <cstddef>

#include "windef.h"
#include "guiddef.h"
#include "evntprov.h"

#define EVENT_HEADER_FLAG_EXTENDED_INFO 0x0001
#define EVENT_HEADER_FLAG_PRIVATE_SESSION 0x0002
#define EVENT_HEADER_FLAG_STRING_ONLY 0x0004
#define EVENT_HEADER_FLAG_TRACE_MESSAGE 0x0008
#define EVENT_HEADER_FLAG_NO_CPUTIME 0x0010
#define EVENT_HEADER_FLAG_32_BIT_HEADER 0x0020
#define EVENT_HEADER_FLAG_64_BIT_HEADER 0x0040
#define EVENT_HEADER_FLAG_CLASSIC_HEADER 0x0100

#define PROCESS_TRACE_MODE_REAL_TIME 0x00000100
#define PROCESS_TRACE_MODE_RAW_TIMESTAMP 0x00001000
#define PROCESS_TRACE_MODE_EVENT_RECORD 0x10000000

// Named forms of the SDK's unnamed member structures, for the stand-in's own declarations
// that nest them (evntrace.h).
struct ETW_CPU_TIMES {
  ULONG KernelTime;
  ULONG UserTime;
};
struct ETW_PROCESSOR_NUMBER {
  UCHAR ProcessorNumber;
  UCHAR Alignment;
};

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
static_assert(offsetof(EVENT_HEADER, ThreadId) == 8);
static_assert(offsetof(EVENT_HEADER, TimeStamp) == 16);
static_assert(offsetof(EVENT_HEADER, ProviderId) == 24);
static_assert(offsetof(EVENT_HEADER, EventDescriptor) == 40);
static_assert(offsetof(EVENT_HEADER, ProcessorTime) == 56);
static_assert(offsetof(EVENT_HEADER, ActivityId) == 64);
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
static_assert(offsetof(EVENT_RECORD, BufferContext) == 80);
static_assert(offsetof(EVENT_RECORD, UserDataLength) == 86);
static_assert(offsetof(EVENT_RECORD, ExtendedData) == 88);
static_assert(offsetof(EVENT_RECORD, UserData) == 96);
static_assert(offsetof(EVENT_RECORD, UserContext) == 104);
#endif

#pragma GCC diagnostic pop
