// The decoder's own property formatter and the per-event decoding state the parsers share.
//
// GetFormattedBuffer renders one element of an event property as UTF-16 text when the
// platform's TdhFormatProperty is not available. It never reads past the data it is given:
// an element that needs more bytes than remain answers ERROR_EVT_INVALID_EVENT_DATA (15005),
// a text that does not fit the buffer answers ERROR_INSUFFICIENT_BUFFER (122) with the size
// needed, in bytes, in *bufferSize.
//
// Choices made here:
// - Elements of one array property are joined with ", " in the property's text, so that an
//   array stays readable as one message insertion.
// - File time (17) and system time (18) render as ISO 8601 in UTC: the date by the system's
//   date formatter with "yyyy'-'MM'-'dd", a 'T', the time by its time formatter with
//   "HH':'mm':'ss", then the fraction (".%09I64uZ" nanoseconds for a file time, ".%03uZ"
//   milliseconds for a system time). Both formatters run in the invariant locale, so that a
//   time stamp never depends on the machine's locale. A time the system cannot convert or
//   format (a file time of 2^63 or more, a system time with a month 13, a formatter that
//   fails) is shown as its raw bytes in hexadecimal, as binary data is, and the failure is
//   logged: the element keeps its place and its bytes, and the event still goes out.
// - An IPv6 address (binary with output type 24) is written by ntdll's
//   RtlIpv6AddressToStringW, looked up at run time; when it cannot be found the address is
//   shown as hexadecimal bytes.
// - Integers are written with std::to_chars (decimal, or "0x" and upper-case hexadecimal
//   digits), which gives the same digits as the platform's sized forms ("%I32u", "0x%I64X").
#pragma once

#include <string>
#include <vector>

#include "windows.h"
#include "tdh.h"
#include "tdh_lib.h"
#include "util.h"

// The TDH_INTYPE_* and TDH_OUTTYPE_* numbers the decoder uses; not every SDK's tdh.h
// declares them.
namespace tdh_in {
constexpr USHORT NULL_TYPE = 0, UNICODESTRING = 1, ANSISTRING = 2, INT8 = 3, UINT8 = 4, INT16 = 5, UINT16 = 6,
                 INT32 = 7, UINT32 = 8, INT64 = 9, UINT64 = 10, FLOAT = 11, DOUBLE = 12, BOOLEAN = 13, BINARY = 14,
                 GUID_TYPE = 15, POINTER = 16, FILETIME = 17, SYSTEMTIME = 18, SID = 19, HEXINT32 = 20,
                 HEXINT64 = 21, NONNULLTERMINATEDSTRING = 304, NONNULLTERMINATEDANSISTRING = 305,
                 UNICODECHAR = 306, ANSICHAR = 307, SIZET = 308, HEXDUMP = 309, WBEMSID = 310;
}  // namespace tdh_in
namespace tdh_out {
constexpr USHORT STRING = 1, HEXINT8 = 16, HEXINT16 = 17, HEXINT32 = 18, HEXINT64 = 19, PORT = 22, IPV4 = 23,
                 IPV6 = 24, ERRORCODE = 29, WIN32ERROR = 30, NTSTATUS = 31, HRESULT = 32, NOPRINT = 301;
}  // namespace tdh_out

// How the time stamps of the session being consumed become file times. The consumer asks ETW
// for raw time stamps, which for the sessions this service starts are performance-counter
// ticks: a stamp t is the file time referenceTime + (t - referenceTicks) / ticksPerSecond,
// with the reference pair read at one instant. Without raw stamps (the default, and sessions
// on the system-time clock) the stamps are file times already.
struct ETW_SESSION_CLOCK {
  bool rawTicks = false;
  LONGLONG ticksPerSecond = 0;  // 0 with raw ticks: the stamps cannot be converted
  LONGLONG referenceTicks = 0;
  LONGLONG referenceTime = 0;   // the file time of referenceTicks
};

// The TDH processing context of one decoder: how properties are formatted on this machine.
struct TDH_PROCESSING_CONTEXT {
  HMODULE module = nullptr;                                   // tdh.dll, owned
  TdhLib::TdhFormatPropertyFn pfnFormatProperty = nullptr;    // null: the own formatter is used
  ULONG defaultPointerSize = sizeof(void*);                   // for events without a size flag
  ETW_SESSION_CLOCK clock;
  bool ready = false;
};

// The per-event set of texts, UTF-8. Reset keeps each text's storage, so that a stream of
// events does not allocate them anew every time.
struct _ETW_EVENT_MSGSTRINGS {
  std::string providerName;
  std::string levelName;
  std::string channelName;
  std::string keywordsName;
  std::string taskName;
  std::string opcodeName;
  std::string formattedEventMessage;
  std::string providerMessage;
  std::string eventName;
  std::string eventAttributes;
  std::string finalMessage;

  void Reset();
  // Takes the names from the event information (offsets 0 stay empty).
  void Fill(const TRACE_EVENT_INFO* info, ULONG infoSize);
  // providerName + "-->" (when there is a provider name) + formattedEventMessage.
  bool CreateFinalEtwMessageToUser();
};

// Everything one event's decoding needs beyond the event and its information; reset before
// each event, its buffers (and the storage of its texts) kept between events.
struct ETW_DECODING_STATE {
  TDH_PROCESSING_CONTEXT* context = nullptr;
  ULONG userDataConsumed = 0;
  std::vector<WString> propertyTexts;   // one per top-level property of the event being decoded
  _ETW_EVENT_MSGSTRINGS texts;          // the manifest parser's texts of the event
  std::vector<ULONG> savedValues;       // by property index: integer values for counts and lengths
  ULONG pointerSize = sizeof(void*);
  std::vector<WCHAR> formatBuffer;      // grown on demand up to kMaxFormatBufferBytes
  std::size_t formatBufferDirty = 0;    // leading units of formatBuffer a formatter may have written
  std::vector<BYTE> mapBuffer;          // EVENT_MAP_INFO of the property being formatted
  std::vector<DWORD_PTR> insertions;    // the message template's arguments, all empty between events
  WString message;                      // the event's user data as text when it has no schema
  std::string errorText;

  void Reset();
};

constexpr ULONG kMaxFormatBufferBytes = 0x20000;
constexpr ULONG kInitialFormatBufferBytes = 512;

// Renders one element. `length` is the declared length (characters of a string, bytes of
// binary data), already limited to what remains; `consumed` receives the bytes used.
ULONG GetFormattedBuffer(USHORT inType, USHORT outType, USHORT length, ULONG pointerSize, const BYTE* data,
                         ULONG available, WCHAR* buffer, ULONG* bufferSize, ULONG* consumed);

// The event time stamp `stamp` as a file time by `clock`; false when it cannot be converted.
bool EventStampToFileTime(const ETW_SESSION_CLOCK& clock, LONGLONG stamp, ULONGLONG* fileTime);

// Appends the text of an IPv6 address (16 bytes, network byte order) by ntdll's
// RtlIpv6AddressToStringW, looked up at run time; false, with "GetProcAddress failed with
// %lu.\n" logged, when the routine cannot be found.
bool AppendIpv6Address(const BYTE* address, WString& text);

// Appends the string form of the SID at `sid` ("S-1-5-18"); the caller has checked that the
// data holds the whole SID.
void AppendSidText(const BYTE* sid, WString& text);

// The text of an integer through a value map, or false when no entry matches. Bit maps join
// the texts of the bits that are set with " | ".
bool FormatMappedValue(const EVENT_MAP_INFO* map, ULONGLONG value, WString& text);

// UTF-16 to UTF-8 that never fails: an unpaired surrogate becomes U+FFFD. Event data is
// untrusted, and one bad character must not cost the whole event.
void AppendUtf8(const WCHAR* text, std::size_t count, std::string& out);
std::string ToUtf8(const WString& text);
