// Consumer side of Event Tracing for Windows: the event record a real-time consumer's
// callback receives. x64 layout of the Windows SDK.
#pragma once

#include <cstddef>

#include "evntprov.h"
#include "guiddef.h"
#include "windef.h"

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

// The members of the SDK's unnamed structures inside unions, as named types (standard C++
// allows no types declared inside an anonymous union); field offsets are unchanged.
struct ETW_CPU_TIMES {
  ULONG KernelTime;
  ULONG UserTime;
};
struct ETW_PROCESSOR_NUMBER {
  UCHAR ProcessorNumber;
  UCHAR Alignment;
};

struct EVENT_HEADER {
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
    ETW_CPU_TIMES s;
    ULONG64 ProcessorTime;
  };
  GUID ActivityId;
};
using PEVENT_HEADER = EVENT_HEADER*;
static_assert(sizeof(EVENT_HEADER) == 80);
static_assert(offsetof(EVENT_HEADER, ThreadId) == 8);
static_assert(offsetof(EVENT_HEADER, TimeStamp) == 16);
static_assert(offsetof(EVENT_HEADER, ProviderId) == 24);
static_assert(offsetof(EVENT_HEADER, EventDescriptor) == 40);
static_assert(offsetof(EVENT_HEADER, ProcessorTime) == 56);
static_assert(offsetof(EVENT_HEADER, ActivityId) == 64);

struct ETW_BUFFER_CONTEXT {
  union {
    ETW_PROCESSOR_NUMBER s;
    USHORT ProcessorIndex;
  };
  USHORT LoggerId;
};
using PETW_BUFFER_CONTEXT = ETW_BUFFER_CONTEXT*;
static_assert(sizeof(ETW_BUFFER_CONTEXT) == 4);
static_assert(offsetof(ETW_BUFFER_CONTEXT, LoggerId) == 2);

struct EVENT_HEADER_EXTENDED_DATA_ITEM {
  USHORT Reserved1;
  USHORT ExtType;
  USHORT Linkage;
  USHORT DataSize;
  ULONGLONG DataPtr;
};
using PEVENT_HEADER_EXTENDED_DATA_ITEM = EVENT_HEADER_EXTENDED_DATA_ITEM*;
static_assert(sizeof(EVENT_HEADER_EXTENDED_DATA_ITEM) == 16);

struct EVENT_RECORD {
  EVENT_HEADER EventHeader;
  ETW_BUFFER_CONTEXT BufferContext;
  USHORT ExtendedDataCount;
  USHORT UserDataLength;
  PEVENT_HEADER_EXTENDED_DATA_ITEM ExtendedData;
  PVOID UserData;
  PVOID UserContext;
};
using PEVENT_RECORD = EVENT_RECORD*;
using PCEVENT_RECORD = const EVENT_RECORD*;
static_assert(sizeof(EVENT_RECORD) == 112);
static_assert(offsetof(EVENT_RECORD, BufferContext) == 80);
static_assert(offsetof(EVENT_RECORD, UserDataLength) == 86);
static_assert(offsetof(EVENT_RECORD, ExtendedData) == 88);
static_assert(offsetof(EVENT_RECORD, UserData) == 96);
static_assert(offsetof(EVENT_RECORD, UserContext) == 104);
