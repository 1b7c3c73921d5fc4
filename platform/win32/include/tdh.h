// The trace data helper (TDH) of the Windows API stand-in: structures with the SDK's x64
// layout and the functions of tdh.dll. The functions answer from the machine's provider
// catalog (platform/etw): the registered providers, and the manifests TdhLoadManifest added
// for decoding. The service binds six of them at run time through LoadLibraryA/
// GetProcAddress (tdh.dll's exports) and three at link time.
//
// Every record that carries texts keeps them in the same buffer, at byte offsets from the
// record's start, as UTF-16 with a terminating zero. A buffer that is too small gets
// ERROR_INSUFFICIENT_BUFFER (122) and the size needed in *pBufferSize.
#pragma once

#include <cstddef>

#include "windef.h"
#include "guiddef.h"
#include "evntprov.h"
#include "evntcons.h"

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

typedef enum _EVENT_FIELD_TYPE {
  EventKeywordInformation = 0,
  EventLevelInformation = 1,
  EventChannelInformation = 2,
  EventTaskInformation = 3,
  EventOpcodeInformation = 4,
  EventInformationMax = 5
} EVENT_FIELD_TYPE;

typedef struct _EVENT_MAP_ENTRY {
  ULONG OutputOffset;
  union {
    ULONG Value;
    ULONG InputOffset;
  };
} EVENT_MAP_ENTRY, *PEVENT_MAP_ENTRY;

typedef enum _MAP_VALUETYPE { EVENTMAP_ENTRY_VALUETYPE_ULONG = 0, EVENTMAP_ENTRY_VALUETYPE_STRING = 1 } MAP_VALUETYPE;

typedef enum _MAP_FLAGS {
  EVENTMAP_INFO_FLAG_MANIFEST_VALUEMAP = 1,
  EVENTMAP_INFO_FLAG_MANIFEST_BITMAP = 2,
  EVENTMAP_INFO_FLAG_MANIFEST_PATTERNMAP = 4,
  EVENTMAP_INFO_FLAG_WBEM_VALUEMAP = 8,
  EVENTMAP_INFO_FLAG_WBEM_BITMAP = 16,
  EVENTMAP_INFO_FLAG_WBEM_FLAG = 32,
  EVENTMAP_INFO_FLAG_WBEM_NO_MAP = 64
} MAP_FLAGS;

typedef struct _EVENT_MAP_INFO {
  ULONG NameOffset;
  MAP_FLAGS Flag;
  ULONG EntryCount;
  union {
    MAP_VALUETYPE MapEntryValueType;
    ULONG FormatStringOffset;
  };
  EVENT_MAP_ENTRY MapEntryArray[ANYSIZE_ARRAY];
} EVENT_MAP_INFO, *PEVENT_MAP_INFO;

typedef enum _PROPERTY_FLAGS {
  PropertyStruct = 0x1,
  PropertyParamLength = 0x2,
  PropertyParamCount = 0x4,
  PropertyWBEMXmlFragment = 0x8,
  PropertyParamFixedLength = 0x10,
  PropertyParamFixedCount = 0x20,
  PropertyHasTags = 0x40,
  PropertyHasCustomSchema = 0x80
} PROPERTY_FLAGS;

// The SDK nests these two unnamed; they are named here so that the union holding them stays
// standard C++.
struct _EVENT_PROPERTY_INFO_NON_STRUCT_TYPE {
  USHORT InType;
  USHORT OutType;
  ULONG MapNameOffset;
};
struct _EVENT_PROPERTY_INFO_STRUCT_TYPE {
  USHORT StructStartIndex;
  USHORT NumOfStructMembers;
  ULONG padding;
};

typedef struct _EVENT_PROPERTY_INFO {
  PROPERTY_FLAGS Flags;
  ULONG NameOffset;
  union {
    _EVENT_PROPERTY_INFO_NON_STRUCT_TYPE nonStructType;
    _EVENT_PROPERTY_INFO_STRUCT_TYPE structType;
  };
  union {
    USHORT count;
    USHORT countPropertyIndex;
  };
  union {
    USHORT length;
    USHORT lengthPropertyIndex;
  };
  ULONG Reserved;
} EVENT_PROPERTY_INFO, *PEVENT_PROPERTY_INFO;

typedef enum _DECODING_SOURCE {
  DecodingSourceXMLFile = 0,
  DecodingSourceWbem = 1,
  DecodingSourceWPP = 2,
  DecodingSourceTlg = 3,
  DecodingSourceMax = 4
} DECODING_SOURCE;

typedef enum _TDH_CONTEXT_TYPE {
  TDH_CONTEXT_WPP_TMFFILE = 0,
  TDH_CONTEXT_WPP_TMFSEARCHPATH = 1,
  TDH_CONTEXT_WPP_GMT = 2,
  TDH_CONTEXT_POINTERSIZE = 3,
  TDH_CONTEXT_MAXIMUM = 4
} TDH_CONTEXT_TYPE;

typedef enum _TEMPLATE_FLAGS { TEMPLATE_EVENT_DATA = 1, TEMPLATE_USER_DATA = 2 } TEMPLATE_FLAGS;

typedef struct _TRACE_EVENT_INFO {
  GUID ProviderGuid;
  GUID EventGuid;
  EVENT_DESCRIPTOR EventDescriptor;
  DECODING_SOURCE DecodingSource;
  ULONG ProviderNameOffset;
  ULONG LevelNameOffset;
  ULONG ChannelNameOffset;
  ULONG KeywordsNameOffset;
  ULONG TaskNameOffset;
  ULONG OpcodeNameOffset;
  ULONG EventMessageOffset;
  ULONG ProviderMessageOffset;
  ULONG BinaryXMLOffset;
  ULONG BinaryXMLSize;
  ULONG ActivityIDNameOffset;
  ULONG RelatedActivityIDNameOffset;
  ULONG PropertyCount;
  ULONG TopLevelPropertyCount;
  TEMPLATE_FLAGS Flags;
  EVENT_PROPERTY_INFO EventPropertyInfoArray[ANYSIZE_ARRAY];
} TRACE_EVENT_INFO, *PTRACE_EVENT_INFO;

typedef struct _PROPERTY_DATA_DESCRIPTOR {
  ULONGLONG PropertyName;
  ULONG ArrayIndex;
  ULONG Reserved;
} PROPERTY_DATA_DESCRIPTOR, *PPROPERTY_DATA_DESCRIPTOR;

typedef struct _TRACE_PROVIDER_INFO {
  GUID ProviderGuid;
  ULONG SchemaSource;
  ULONG ProviderNameOffset;
} TRACE_PROVIDER_INFO;

typedef struct _PROVIDER_ENUMERATION_INFO {
  ULONG NumberOfProviders;
  ULONG Padding;
  TRACE_PROVIDER_INFO TraceProviderInfoArray[ANYSIZE_ARRAY];
} PROVIDER_ENUMERATION_INFO, *PPROVIDER_ENUMERATION_INFO;

typedef struct _PROVIDER_FIELD_INFO {
  ULONG NameOffset;
  ULONG DescriptionOffset;
  ULONGLONG Value;
} PROVIDER_FIELD_INFO;

typedef struct _PROVIDER_FIELD_INFOARRAY {
  ULONG NumberOfElements;
  EVENT_FIELD_TYPE FieldType;
  PROVIDER_FIELD_INFO FieldInfoArray[ANYSIZE_ARRAY];
} PROVIDER_FIELD_INFOARRAY, *PPROVIDER_FIELD_INFOARRAY;

typedef struct _TDH_CONTEXT {
  ULONGLONG ParameterValue;
  TDH_CONTEXT_TYPE ParameterType;
  ULONG ParameterSize;
} TDH_CONTEXT, *PTDH_CONTEXT;

// The SDK's layouts on x64 (mingw-w64's tdh.h).
static_assert(sizeof(EVENT_MAP_ENTRY) == 8);
static_assert(sizeof(EVENT_MAP_INFO) == 24 && offsetof(EVENT_MAP_INFO, MapEntryArray) == 16);
static_assert(sizeof(EVENT_PROPERTY_INFO) == 24);
static_assert(offsetof(EVENT_PROPERTY_INFO, nonStructType) == 8 && offsetof(EVENT_PROPERTY_INFO, count) == 16 &&
              offsetof(EVENT_PROPERTY_INFO, length) == 18 && offsetof(EVENT_PROPERTY_INFO, Reserved) == 20);
static_assert(offsetof(TRACE_EVENT_INFO, EventDescriptor) == 32 && offsetof(TRACE_EVENT_INFO, DecodingSource) == 48);
static_assert(offsetof(TRACE_EVENT_INFO, PropertyCount) == 100 && offsetof(TRACE_EVENT_INFO, Flags) == 108);
static_assert(offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray) == 112 && sizeof(TRACE_EVENT_INFO) == 136);
static_assert(sizeof(PROPERTY_DATA_DESCRIPTOR) == 16);
static_assert(sizeof(TRACE_PROVIDER_INFO) == 24 && offsetof(TRACE_PROVIDER_INFO, ProviderNameOffset) == 20);
static_assert(sizeof(PROVIDER_ENUMERATION_INFO) == 32 && offsetof(PROVIDER_ENUMERATION_INFO, TraceProviderInfoArray) == 8);
static_assert(sizeof(PROVIDER_FIELD_INFO) == 16 && offsetof(PROVIDER_FIELD_INFO, Value) == 8);
static_assert(sizeof(PROVIDER_FIELD_INFOARRAY) == 24 && offsetof(PROVIDER_FIELD_INFOARRAY, FieldInfoArray) == 8);
static_assert(sizeof(TDH_CONTEXT) == 16);

enum _TDH_IN_TYPE {
  TDH_INTYPE_NULL, TDH_INTYPE_UNICODESTRING, TDH_INTYPE_ANSISTRING, TDH_INTYPE_INT8, TDH_INTYPE_UINT8,
  TDH_INTYPE_INT16, TDH_INTYPE_UINT16, TDH_INTYPE_INT32, TDH_INTYPE_UINT32, TDH_INTYPE_INT64,
  TDH_INTYPE_UINT64, TDH_INTYPE_FLOAT, TDH_INTYPE_DOUBLE, TDH_INTYPE_BOOLEAN, TDH_INTYPE_BINARY,
  TDH_INTYPE_GUID, TDH_INTYPE_POINTER, TDH_INTYPE_FILETIME, TDH_INTYPE_SYSTEMTIME, TDH_INTYPE_SID,
  TDH_INTYPE_HEXINT32, TDH_INTYPE_HEXINT64, TDH_INTYPE_MANIFEST_COUNTEDSTRING,
  TDH_INTYPE_MANIFEST_COUNTEDANSISTRING, TDH_INTYPE_RESERVED24, TDH_INTYPE_MANIFEST_COUNTEDBINARY,
  TDH_INTYPE_COUNTEDSTRING = 300, TDH_INTYPE_COUNTEDANSISTRING, TDH_INTYPE_REVERSEDCOUNTEDSTRING,
  TDH_INTYPE_REVERSEDCOUNTEDANSISTRING, TDH_INTYPE_NONNULLTERMINATEDSTRING,
  TDH_INTYPE_NONNULLTERMINATEDANSISTRING, TDH_INTYPE_UNICODECHAR, TDH_INTYPE_ANSICHAR, TDH_INTYPE_SIZET,
  TDH_INTYPE_HEXDUMP, TDH_INTYPE_WBEMSID
};

enum _TDH_OUT_TYPE {
  TDH_OUTTYPE_NULL, TDH_OUTTYPE_STRING, TDH_OUTTYPE_DATETIME, TDH_OUTTYPE_BYTE, TDH_OUTTYPE_UNSIGNEDBYTE,
  TDH_OUTTYPE_SHORT, TDH_OUTTYPE_UNSIGNEDSHORT, TDH_OUTTYPE_INT, TDH_OUTTYPE_UNSIGNEDINT, TDH_OUTTYPE_LONG,
  TDH_OUTTYPE_UNSIGNEDLONG, TDH_OUTTYPE_FLOAT, TDH_OUTTYPE_DOUBLE, TDH_OUTTYPE_BOOLEAN, TDH_OUTTYPE_GUID,
  TDH_OUTTYPE_HEXBINARY, TDH_OUTTYPE_HEXINT8, TDH_OUTTYPE_HEXINT16, TDH_OUTTYPE_HEXINT32,
  TDH_OUTTYPE_HEXINT64, TDH_OUTTYPE_PID, TDH_OUTTYPE_TID, TDH_OUTTYPE_PORT, TDH_OUTTYPE_IPV4,
  TDH_OUTTYPE_IPV6, TDH_OUTTYPE_SOCKETADDRESS, TDH_OUTTYPE_CIMDATETIME, TDH_OUTTYPE_ETWTIME,
  TDH_OUTTYPE_XML, TDH_OUTTYPE_ERRORCODE, TDH_OUTTYPE_WIN32ERROR, TDH_OUTTYPE_NTSTATUS,
  TDH_OUTTYPE_HRESULT, TDH_OUTTYPE_CULTURE_INSENSITIVE_DATETIME, TDH_OUTTYPE_JSON,
  TDH_OUTTYPE_REDUCEDSTRING = 300, TDH_OUTTYPE_NOPRINT
};

// Enumeration of the registered manifest and MOF providers, in the catalog's name order.
ULONG WINAPI TdhEnumerateProviders(PPROVIDER_ENUMERATION_INFO pBuffer, ULONG* pBufferSize);
// Keywords only (other field types answer ERROR_NOT_SUPPORTED); ERROR_NOT_FOUND (1168) for a
// provider that has no keywords or is not known.
ULONG WINAPI TdhEnumerateProviderFieldInformation(LPGUID pGuid, EVENT_FIELD_TYPE EventFieldType,
                                                  PPROVIDER_FIELD_INFOARRAY pBuffer, ULONG* pBufferSize);
ULONG WINAPI TdhGetEventInformation(PEVENT_RECORD pEvent, ULONG TdhContextCount, PTDH_CONTEXT pTdhContext,
                                    PTRACE_EVENT_INFO pBuffer, ULONG* pBufferSize);
ULONG WINAPI TdhGetEventMapInformation(PEVENT_RECORD pEvent, PWSTR pMapName, PEVENT_MAP_INFO pBuffer,
                                       ULONG* pBufferSize);
// Top-level properties of the event's template, found by name (PropertyName points to it)
// and laid over the user data by declared lengths and counts; structures answer
// ERROR_NOT_SUPPORTED, a property that does not fit ERROR_EVT_INVALID_EVENT_DATA.
ULONG WINAPI TdhGetProperty(PEVENT_RECORD pEvent, ULONG TdhContextCount, PTDH_CONTEXT pTdhContext,
                            ULONG PropertyDataCount, PPROPERTY_DATA_DESCRIPTOR pPropertyData, ULONG BufferSize,
                            PBYTE pBuffer);
ULONG WINAPI TdhGetPropertySize(PEVENT_RECORD pEvent, ULONG TdhContextCount, PTDH_CONTEXT pTdhContext,
                                ULONG PropertyDataCount, PPROPERTY_DATA_DESCRIPTOR pPropertyData,
                                ULONG* pPropertySize);
// Adds a manifest for decoding (not for enumeration). ERROR_FILE_NOT_FOUND for a missing file,
// ERROR_XML_PARSE_ERROR (1465) for a file that is not an instrumentation manifest or does not
// pass validation (a provider without a valid GUID, a dangling reference); nothing is
// installed then.
ULONG WINAPI TdhLoadManifest(PWSTR Manifest);
ULONG WINAPI TdhUnloadManifest(PWSTR Manifest);
// Renders one element as text (UTF-16, *BufferSize in bytes); see tdh.cpp for the forms.
ULONG WINAPI TdhFormatProperty(PTRACE_EVENT_INFO EventInfo, PEVENT_MAP_INFO MapInfo, ULONG PointerSize,
                               USHORT PropertyInType, USHORT PropertyOutType, USHORT PropertyLength,
                               USHORT UserDataLength, PBYTE UserData, PULONG BufferSize, PWCHAR Buffer,
                               PUSHORT UserDataConsumed);
