// Session control and real-time consumption of Event Tracing for Windows, as the
// deliverables call it. Structures have the x64 layout of the Windows SDK.
//
// Trace handles of the virtual target carry their kind in the top byte (session,
// processing), so a handle of one kind handed to a function of the other is refused and
// never reaches another object; the low bits are the ETW runtime's own never-reused number.
#pragma once

#include <cstddef>

#include "evntcons.h"
#include "evntprov.h"
#include "guiddef.h"
#include "winbase.h"
#include "windef.h"

using TRACEHANDLE = ULONG64;
using PTRACEHANDLE = TRACEHANDLE*;
using LPFILETIME = FILETIME*;

#define INVALID_PROCESSTRACE_HANDLE (static_cast<TRACEHANDLE>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE)))

#define WNODE_FLAG_TRACED_GUID 0x00020000

#define EVENT_TRACE_REAL_TIME_MODE 0x00000100
#define EVENT_TRACE_PERSIST_ON_HYBRID_SHUTDOWN 0x00800000

#define EVENT_TRACE_CONTROL_QUERY 0
#define EVENT_TRACE_CONTROL_STOP 1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH 3

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

#define ENABLE_TRACE_PARAMETERS_VERSION 1
#define ENABLE_TRACE_PARAMETERS_VERSION_2 2

// The SDK's unnamed structures inside unions, as named types (see evntcons.h).
struct WNODE_VERSION_LINKAGE {
  ULONG Version;
  ULONG Linkage;
};
struct EVENT_TRACE_HEADER_TYPE {
  UCHAR HeaderType;
  UCHAR MarkerFlags;
};
struct EVENT_TRACE_CLASS {
  UCHAR Type;
  UCHAR Level;
  USHORT Version;
};
struct EVENT_TRACE_CONTEXT_FLAGS {
  ULONG ClientContext;
  ULONG Flags;
};
struct TRACE_LOGFILE_VERSION {
  UCHAR MajorVersion;
  UCHAR MinorVersion;
  UCHAR SubVersion;
  UCHAR SubMinorVersion;
};
struct TRACE_LOGFILE_COUNTS {
  ULONG StartBuffers;
  ULONG PointerSize;
  ULONG EventsLost;
  ULONG CpuSpeedInMHz;
};

struct WNODE_HEADER {
  ULONG BufferSize;
  ULONG ProviderId;
  union {
    ULONG64 HistoricalContext;
    WNODE_VERSION_LINKAGE s;
  };
  union {
    ULONG CountLost;
    HANDLE KernelHandle;
    LARGE_INTEGER TimeStamp;
  };
  GUID Guid;
  ULONG ClientContext;
  ULONG Flags;
};
using PWNODE_HEADER = WNODE_HEADER*;
static_assert(sizeof(WNODE_HEADER) == 48);
static_assert(offsetof(WNODE_HEADER, HistoricalContext) == 8);
static_assert(offsetof(WNODE_HEADER, Guid) == 24);
static_assert(offsetof(WNODE_HEADER, ClientContext) == 40);
static_assert(offsetof(WNODE_HEADER, Flags) == 44);

struct EVENT_TRACE_PROPERTIES {
  WNODE_HEADER Wnode;
  ULONG BufferSize;
  ULONG MinimumBuffers;
  ULONG MaximumBuffers;
  ULONG MaximumFileSize;
  ULONG LogFileMode;
  ULONG FlushTimer;
  ULONG EnableFlags;
  LONG AgeLimit;
  ULONG NumberOfBuffers;
  ULONG FreeBuffers;
  ULONG EventsLost;
  ULONG BuffersWritten;
  ULONG LogBuffersLost;
  ULONG RealTimeBuffersLost;
  HANDLE LoggerThreadId;
  ULONG LogFileNameOffset;
  ULONG LoggerNameOffset;
};
using PEVENT_TRACE_PROPERTIES = EVENT_TRACE_PROPERTIES*;
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, BufferSize) == 48);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileMode) == 64);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, EventsLost) == 88);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, RealTimeBuffersLost) == 100);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LoggerThreadId) == 104);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileNameOffset) == 112);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LoggerNameOffset) == 116);

struct ENABLE_TRACE_PARAMETERS {
  ULONG Version;
  ULONG EnableProperty;
  ULONG ControlFlags;
  GUID SourceId;
  PEVENT_FILTER_DESCRIPTOR EnableFilterDesc;
  ULONG FilterDescCount;
};
using PENABLE_TRACE_PARAMETERS = ENABLE_TRACE_PARAMETERS*;
static_assert(sizeof(ENABLE_TRACE_PARAMETERS) == 48);
static_assert(offsetof(ENABLE_TRACE_PARAMETERS, SourceId) == 12);
static_assert(offsetof(ENABLE_TRACE_PARAMETERS, EnableFilterDesc) == 32);
static_assert(offsetof(ENABLE_TRACE_PARAMETERS, FilterDescCount) == 40);

struct EVENT_TRACE_HEADER {
  USHORT Size;
  union {
    USHORT FieldTypeFlags;
    EVENT_TRACE_HEADER_TYPE s;
  };
  union {
    ULONG Version;
    EVENT_TRACE_CLASS Class;
  };
  ULONG ThreadId;
  ULONG ProcessId;
  LARGE_INTEGER TimeStamp;
  union {
    GUID Guid;
    ULONGLONG GuidPtr;
  };
  union {
    ETW_CPU_TIMES t;
    ULONG64 ProcessorTime;
    EVENT_TRACE_CONTEXT_FLAGS c;
  };
};
static_assert(sizeof(EVENT_TRACE_HEADER) == 48);
static_assert(offsetof(EVENT_TRACE_HEADER, TimeStamp) == 16);

struct EVENT_TRACE {
  EVENT_TRACE_HEADER Header;
  ULONG InstanceId;
  ULONG ParentInstanceId;
  GUID ParentGuid;
  PVOID MofData;
  ULONG MofLength;
  union {
    ULONG ClientContext;
    ETW_BUFFER_CONTEXT BufferContext;
  };
};
using PEVENT_TRACE = EVENT_TRACE*;
static_assert(sizeof(EVENT_TRACE) == 88);

struct TRACE_LOGFILE_HEADER {
  ULONG BufferSize;
  union {
    ULONG Version;
    TRACE_LOGFILE_VERSION VersionDetail;
  };
  ULONG ProviderVersion;
  ULONG NumberOfProcessors;
  LARGE_INTEGER EndTime;
  ULONG TimerResolution;
  ULONG MaximumFileSize;
  ULONG LogFileMode;
  ULONG BuffersWritten;
  union {
    GUID LogInstanceGuid;
    TRACE_LOGFILE_COUNTS s;
  };
  LPWSTR LoggerName;
  LPWSTR LogFileName;
  TIME_ZONE_INFORMATION TimeZone;
  LARGE_INTEGER BootTime;
  LARGE_INTEGER PerfFreq;
  LARGE_INTEGER StartTime;
  ULONG ReservedFlags;
  ULONG BuffersLost;
};
using PTRACE_LOGFILE_HEADER = TRACE_LOGFILE_HEADER*;
static_assert(sizeof(TRACE_LOGFILE_HEADER) == 280);
static_assert(offsetof(TRACE_LOGFILE_HEADER, LoggerName) == 56);
static_assert(offsetof(TRACE_LOGFILE_HEADER, TimeZone) == 72);
static_assert(offsetof(TRACE_LOGFILE_HEADER, BootTime) == 248);
static_assert(offsetof(TRACE_LOGFILE_HEADER, PerfFreq) == 256);

struct EVENT_TRACE_LOGFILEW;
using PEVENT_TRACE_LOGFILEW = EVENT_TRACE_LOGFILEW*;
using PEVENT_TRACE_BUFFER_CALLBACKW = ULONG (*)(PEVENT_TRACE_LOGFILEW Logfile);
using PEVENT_CALLBACK = VOID (*)(PEVENT_TRACE pEvent);
using PEVENT_RECORD_CALLBACK = VOID (*)(PEVENT_RECORD EventRecord);

struct EVENT_TRACE_LOGFILEW {
  LPWSTR LogFileName;
  LPWSTR LoggerName;
  LONGLONG CurrentTime;
  ULONG BuffersRead;
  union {
    ULONG LogFileMode;
    ULONG ProcessTraceMode;
  };
  EVENT_TRACE CurrentEvent;
  TRACE_LOGFILE_HEADER LogfileHeader;
  PEVENT_TRACE_BUFFER_CALLBACKW BufferCallback;
  ULONG BufferSize;
  ULONG Filled;
  ULONG EventsLost;
  union {
    PEVENT_CALLBACK EventCallback;
    PEVENT_RECORD_CALLBACK EventRecordCallback;
  };
  ULONG IsKernelTrace;
  PVOID Context;
};
static_assert(sizeof(EVENT_TRACE_LOGFILEW) == 448);
static_assert(offsetof(EVENT_TRACE_LOGFILEW, ProcessTraceMode) == 28);
static_assert(offsetof(EVENT_TRACE_LOGFILEW, CurrentEvent) == 32);
static_assert(offsetof(EVENT_TRACE_LOGFILEW, LogfileHeader) == 120);
static_assert(offsetof(EVENT_TRACE_LOGFILEW, BufferCallback) == 400);
static_assert(offsetof(EVENT_TRACE_LOGFILEW, EventRecordCallback) == 424);
static_assert(offsetof(EVENT_TRACE_LOGFILEW, Context) == 440);

ULONG StartTraceW(PTRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
ULONG StopTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
ULONG ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties,
                    ULONG ControlCode);
ULONG EnableTraceEx2(TRACEHANDLE TraceHandle, LPCGUID ProviderId, ULONG ControlCode, UCHAR Level,
                     ULONGLONG MatchAnyKeyword, ULONGLONG MatchAllKeyword, ULONG Timeout,
                     PENABLE_TRACE_PARAMETERS EnableParameters);
// Real-time sessions only. On success the logfile header holds the performance-counter rate
// (PerfFreq), the pointer size, the logger name and the session's clock type in
// ReservedFlags (Wnode.ClientContext when it started; 1, the performance counter, for 0).
TRACEHANDLE OpenTraceW(PEVENT_TRACE_LOGFILEW Logfile);
ULONG ProcessTrace(PTRACEHANDLE HandleArray, ULONG HandleCount, LPFILETIME StartTime, LPFILETIME EndTime);
ULONG CloseTrace(TRACEHANDLE TraceHandle);
