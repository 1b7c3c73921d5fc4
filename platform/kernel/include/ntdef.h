// Base definitions of the kernel surface, as the WDK's ntdef.h gives them to a driver: the
// LLP64 integer types (LONG and ULONG are 32 bits, as on 64-bit Windows), NTSTATUS and the
// status codes the system produces, counted strings, GUIDs, object attributes and the
// source annotations (defined empty). Structures whose bytes a driver copies keep their x64
// Windows layout; the static_asserts pin them.
//
// WCHAR is char16_t (it is wchar_t, 16 bits wide, on Windows), so wide literals are written
// TEXT("...") or u"..."; the kernel surface and the user-mode surface (platform/win32) never
// include each other, so each defines these base types itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Source annotations: the WDK's static analysis reads them; here they stand for nothing.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_opt_z_
#define _In_reads_(size)
#define _In_reads_bytes_(size)
#define _In_reads_opt_(size)
#define _In_reads_bytes_opt_(size)
#define _Out_writes_(size)
#define _Out_writes_bytes_(size)
#define _Out_writes_opt_(size)
#define _Out_writes_bytes_opt_(size)
#define _Out_writes_bytes_to_(size, count)
#define _Out_writes_to_(size, count)
#define _Inout_updates_(size)
#define _Inout_updates_bytes_(size)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_result_bytebuffer_(size)
#define _Out_range_(low, high)
#define _In_range_(low, high)
#define _Ret_maybenull_
#define _Ret_range_(low, high)
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(expression)
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Dispatch_type_(type)
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, parameter)
#define _IRQL_restores_global_(kind, parameter)
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _When_(condition, annotations)
#define _At_(target, annotations)
#define _Pre_satisfies_(condition)
#define _Post_satisfies_(condition)
#define _Analysis_assume_(expression)
#define _Printf_format_string_
#define _Null_terminated_
#define _NullNull_terminated_
#define _Field_size_(size)
#define _Field_size_bytes_(size)
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Strict_type_match_
#define __drv_aliasesMem
#define __drv_allocatesMem(kind)
#define __drv_freesMem(kind)
#define __drv_strictTypeMatch(mode)
#define __drv_maxIRQL(irql)
#define __drv_requiresIRQL(irql)

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define FORCEINLINE inline
#define DECLSPEC_RESTRICT

using CHAR = char;
using CCHAR = char;
using UCHAR = std::uint8_t;
using BYTE = std::uint8_t;
using SHORT = std::int16_t;
using CSHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONG32 = std::int32_t;
using ULONG32 = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using LONG64 = std::int64_t;
using ULONG64 = std::uint64_t;
using DWORD64 = std::uint64_t;
using SIZE_T = std::size_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using KAFFINITY = ULONG_PTR;
using BOOLEAN = std::uint8_t;
using LOGICAL = ULONG;
using VOID = void;
using PVOID = void*;
using PCVOID = const void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = LONG;
using PNTSTATUS = NTSTATUS*;

using PCHAR = CHAR*;
using PUCHAR = UCHAR*;
using PBYTE = BYTE*;
using PSHORT = SHORT*;
using PUSHORT = USHORT*;
using PLONG = LONG*;
using PULONG = ULONG*;
using PLONGLONG = LONGLONG*;
using PULONGLONG = ULONGLONG*;
using PLONG64 = LONG64*;
using PULONG64 = ULONG64*;
using PSIZE_T = SIZE_T*;
using PULONG_PTR = ULONG_PTR*;
using PLONG_PTR = LONG_PTR*;
using PBOOLEAN = BOOLEAN*;

using PSTR = CHAR*;
using PCSTR = const CHAR*;
using PCH = CHAR*;
using PCCH = const CHAR*;
using PSZ = CHAR*;
using PCSZ = const CHAR*;
using WCHAR = char16_t;
using PWCHAR = WCHAR*;
using PWCH = WCHAR*;
using PCWCH = const WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

// Wide literals: WCHAR is char16_t here and wchar_t on Windows, so driver code writes
// TEXT("...") and the same source reads right against either.
#ifndef TEXT
#define TEXT(quote) u##quote
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL nullptr
#endif

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff
#define MAXULONG64 (~static_cast<ULONG64>(0))
#define MAXSIZE_T (~static_cast<SIZE_T>(0))
#define ANYSIZE_ARRAY 1

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) (static_cast<LONG>(offsetof(type, field)))
#define RTL_FIELD_SIZE(type, field) (sizeof(static_cast<type*>(nullptr)->field))
#define RTL_NUMBER_OF(array) (sizeof(array) / sizeof((array)[0]))
#define ARRAYSIZE(array) RTL_NUMBER_OF(array)
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<PCHAR>(address) - offsetof(type, field)))

// NTSTATUS: severity in the top two bits (0 success, 1 informational, 2 warning, 3 error).
#define NT_SUCCESS(Status) ((static_cast<NTSTATUS>(Status)) >= 0)
#define NT_INFORMATION(Status) ((static_cast<ULONG>(Status) >> 30) == 1)
#define NT_WARNING(Status) ((static_cast<ULONG>(Status) >> 30) == 2)
#define NT_ERROR(Status) ((static_cast<ULONG>(Status) >> 30) == 3)

#define STATUS_SUCCESS (static_cast<NTSTATUS>(0x00000000L))
#define STATUS_WAIT_0 (static_cast<NTSTATUS>(0x00000000L))
#define STATUS_PENDING (static_cast<NTSTATUS>(0x00000103L))
#define STATUS_REPARSE (static_cast<NTSTATUS>(0x00000104L))
#define STATUS_MORE_ENTRIES (static_cast<NTSTATUS>(0x00000105L))
#define STATUS_BUFFER_OVERFLOW (static_cast<NTSTATUS>(0x80000005L))
#define STATUS_NO_MORE_ENTRIES (static_cast<NTSTATUS>(0x8000001AL))
#define STATUS_DEVICE_BUSY (static_cast<NTSTATUS>(0x80000011L))
#define STATUS_UNSUCCESSFUL (static_cast<NTSTATUS>(0xC0000001L))
#define STATUS_NOT_IMPLEMENTED (static_cast<NTSTATUS>(0xC0000002L))
#define STATUS_INFO_LENGTH_MISMATCH (static_cast<NTSTATUS>(0xC0000004L))
#define STATUS_ACCESS_VIOLATION (static_cast<NTSTATUS>(0xC0000005L))
#define STATUS_INVALID_HANDLE (static_cast<NTSTATUS>(0xC0000008L))
#define STATUS_INVALID_PARAMETER (static_cast<NTSTATUS>(0xC000000DL))
#define STATUS_NO_SUCH_DEVICE (static_cast<NTSTATUS>(0xC000000EL))
#define STATUS_INVALID_DEVICE_REQUEST (static_cast<NTSTATUS>(0xC0000010L))
#define STATUS_NO_MEMORY (static_cast<NTSTATUS>(0xC0000017L))
#define STATUS_ACCESS_DENIED (static_cast<NTSTATUS>(0xC0000022L))
#define STATUS_BUFFER_TOO_SMALL (static_cast<NTSTATUS>(0xC0000023L))
#define STATUS_OBJECT_TYPE_MISMATCH (static_cast<NTSTATUS>(0xC0000024L))
#define STATUS_OBJECT_NAME_INVALID (static_cast<NTSTATUS>(0xC0000033L))
#define STATUS_OBJECT_NAME_NOT_FOUND (static_cast<NTSTATUS>(0xC0000034L))
#define STATUS_OBJECT_NAME_COLLISION (static_cast<NTSTATUS>(0xC0000035L))
#define STATUS_INTEGER_OVERFLOW (static_cast<NTSTATUS>(0xC0000095L))
#define STATUS_INSUFFICIENT_RESOURCES (static_cast<NTSTATUS>(0xC000009AL))
#define STATUS_DEVICE_NOT_READY (static_cast<NTSTATUS>(0xC00000A3L))
#define STATUS_IO_TIMEOUT (static_cast<NTSTATUS>(0xC00000B5L))
#define STATUS_NOT_SUPPORTED (static_cast<NTSTATUS>(0xC00000BBL))
#define STATUS_DEVICE_DOES_NOT_EXIST (static_cast<NTSTATUS>(0xC00000C0L))
#define STATUS_INTERNAL_ERROR (static_cast<NTSTATUS>(0xC00000E5L))
#define STATUS_CANCELLED (static_cast<NTSTATUS>(0xC0000120L))
#define STATUS_DEVICE_CONFIGURATION_ERROR (static_cast<NTSTATUS>(0xC0000182L))
#define STATUS_DRIVER_INTERNAL_ERROR (static_cast<NTSTATUS>(0xC0000183L))
#define STATUS_INVALID_DEVICE_STATE (static_cast<NTSTATUS>(0xC0000184L))
#define STATUS_INVALID_BUFFER_SIZE (static_cast<NTSTATUS>(0xC0000206L))
#define STATUS_NOT_FOUND (static_cast<NTSTATUS>(0xC0000225L))
#define STATUS_WMI_INSTANCE_NOT_FOUND (static_cast<NTSTATUS>(0xC0000295L))
#define STATUS_DEVICE_REMOVED (static_cast<NTSTATUS>(0xC00002B6L))

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
static_assert(sizeof(LARGE_INTEGER) == 8);

union ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;
static_assert(sizeof(ULARGE_INTEGER) == 8);

using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = LARGE_INTEGER*;

// Counted strings: Length and MaximumLength are in bytes, and Buffer need not be terminated.
struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWCH Buffer;
};
using UNICODE_STRING = _UNICODE_STRING;
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;
static_assert(sizeof(UNICODE_STRING) == 16);
static_assert(offsetof(UNICODE_STRING, Buffer) == 8);

struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};
using STRING = _STRING;
using PSTRING = STRING*;
using ANSI_STRING = STRING;
using PANSI_STRING = STRING*;
using PCANSI_STRING = const STRING*;
using PCSTRING = const STRING*;
static_assert(sizeof(STRING) == 16);

namespace platform::kernel::detail {
template <std::size_t N>
constexpr UNICODE_STRING constant_string(const WCHAR (&text)[N]) {
  return UNICODE_STRING{static_cast<USHORT>((N - 1) * sizeof(WCHAR)), static_cast<USHORT>(N * sizeof(WCHAR)),
                        const_cast<PWCH>(text)};
}
template <std::size_t N>
constexpr STRING constant_string(const CHAR (&text)[N]) {
  return STRING{static_cast<USHORT>(N - 1), static_cast<USHORT>(N), const_cast<PCHAR>(text)};
}
}  // namespace platform::kernel::detail

// A counted string over a literal (wide or narrow), without its terminator in Length.
#define RTL_CONSTANT_STRING(s) (::platform::kernel::detail::constant_string(s))
#define DECLARE_CONST_UNICODE_STRING(_var, _string)            \
  const WCHAR _var##_buffer[] = _string;                       \
  const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), \
                               sizeof(_string), const_cast<PWCH>(_var##_buffer)}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
  WCHAR _var##_buffer[_size];                    \
  UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}

// GUID with its Windows layout (16 bytes, Data1 at 0, Data2 at 4, Data3 at 6, Data4 at 8).
struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
};
using GUID = _GUID;
using LPGUID = GUID*;
using LPCGUID = const GUID*;
using REFGUID = const GUID&;
static_assert(sizeof(GUID) == 16);
static_assert(offsetof(GUID, Data2) == 4);
static_assert(offsetof(GUID, Data3) == 6);
static_assert(offsetof(GUID, Data4) == 8);

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool InlineIsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

// Defines the GUID wherever it is used, as one object for the whole program (what
// initguid.h and __declspec(selectany) give a Windows build).
#ifndef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#endif

// Object attributes, as InitializeObjectAttributes fills them (48 bytes on x64).
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using OBJECT_ATTRIBUTES = _OBJECT_ATTRIBUTES;
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16);
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24);

#define InitializeObjectAttributes(p, n, a, r, s)                 \
  do {                                                            \
    (p)->Length = static_cast<ULONG>(sizeof(OBJECT_ATTRIBUTES)); \
    (p)->RootDirectory = (r);                                     \
    (p)->Attributes = static_cast<ULONG>(a);                      \
    (p)->ObjectName = (n);                                        \
    (p)->SecurityDescriptor = (s);                                \
    (p)->SecurityQualityOfService = nullptr;                      \
  } while (0)

// The record a structured exception carries (152 bytes on x64). For an access violation,
// ExceptionInformation[0] is 0 for a read and 1 for a write, [1] the address accessed.
#define EXCEPTION_MAXIMUM_PARAMETERS 15

struct _EXCEPTION_RECORD {
  NTSTATUS ExceptionCode;
  ULONG ExceptionFlags;
  _EXCEPTION_RECORD* ExceptionRecord;
  PVOID ExceptionAddress;
  ULONG NumberParameters;
  ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};
using EXCEPTION_RECORD = _EXCEPTION_RECORD;
using PEXCEPTION_RECORD = EXCEPTION_RECORD*;
static_assert(sizeof(EXCEPTION_RECORD) == 152);
static_assert(offsetof(EXCEPTION_RECORD, NumberParameters) == 24);
static_assert(offsetof(EXCEPTION_RECORD, ExceptionInformation) == 32);

struct _CONTEXT;  // the processor state; the stand-in never fills one
using PCONTEXT = _CONTEXT*;

struct _EXCEPTION_POINTERS {
  PEXCEPTION_RECORD ExceptionRecord;
  PCONTEXT ContextRecord;
};
using EXCEPTION_POINTERS = _EXCEPTION_POINTERS;
using PEXCEPTION_POINTERS = EXCEPTION_POINTERS*;

#include "excpt.h"
