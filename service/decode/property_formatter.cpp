#include "property_formatter.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "in6addr.h"
#include "log_writer.h"
#include "logged_call.h"

void ETW_DECODING_STATE::Reset() {
  userDataConsumed = 0;
  // Emptied, not destroyed: the manifest parser sizes the list for each event.
  for (WString& text : propertyTexts) text.clear();
  texts.Reset();
  savedValues.clear();
  message.clear();
  errorText.clear();
}

namespace {

template <typename T>
T Load(const BYTE* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// Collects one element's text before it is copied to the caller's buffer.
class ElementText {
 public:
  void Ascii(const char* text) {
    const std::size_t start = m_text.size();
    const std::size_t count = std::strlen(text);
    m_text.resize(start + count);
    for (std::size_t i = 0; i < count; ++i) m_text[start + i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  }
  // Integers as "%d"/"%u" and "0x%X" print them, without the formatted-output machinery.
  template <typename T>
  void Decimal(T value) {
    char digits[24];
    Run(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  }
  void Hex(unsigned long long value) {
    char digits[24] = "0x";
    char* end = std::to_chars(digits + 2, digits + sizeof digits, value, 16).ptr;
    for (char* digit = digits + 2; digit < end; ++digit) {
      if (*digit >= 'a') *digit = static_cast<char>(*digit - 'a' + 'A');
    }
    Run(digits, end);
  }
  void Wide(const WCHAR* text, std::size_t count) { m_text.append(text, count); }
  void Char(WCHAR c) { m_text.push_back(c); }
  const WString& Text() const { return m_text; }

 private:
  void Run(const char* begin, const char* end) {
    for (const char* c = begin; c < end; ++c) m_text.push_back(static_cast<WCHAR>(*c));
  }

  WString m_text;
};

void AppendHexBytes(const BYTE* data, ULONG size, ElementText& out) {
  char text[4];
  for (ULONG i = 0; i < size; ++i) {
    std::snprintf(text, sizeof text, "%02X", unsigned{data[i]});
    out.Ascii(text);
  }
}

// "yyyy-MM-ddTHH:mm:ss" by the system's date and time formatters, in the invariant locale so
// that the text never depends on the machine's settings; false, logged, when either fails.
bool AppendDateAndTime(const SYSTEMTIME& time, ElementText& out) {
  WCHAR date[32];
  WCHAR clock[32];
  const int dateLength = GetDateFormatEx(LOCALE_NAME_INVARIANT, 0, &time, TEXT("yyyy'-'MM'-'dd"), date, 32, nullptr);
  const int clockLength =
      dateLength == 0 ? 0 : GetTimeFormatEx(LOCALE_NAME_INVARIANT, 0, &time, TEXT("HH':'mm':'ss"), clock, 32);
  if (clockLength == 0) {
    WriteLog(LOG_WARNING, "WARNING # GetFormattedBuffer # %s failed with %lu",
             dateLength == 0 ? "GetDateFormatEx" : "GetTimeFormatEx", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  out.Wide(date, static_cast<std::size_t>(dateLength - 1));  // the lengths count the terminators
  out.Char('T');
  out.Wide(clock, static_cast<std::size_t>(clockLength - 1));
  return true;
}

ULONG StringElement(const BYTE* data, ULONG available, USHORT length, bool wide, bool terminated, ElementText& out,
                    ULONG* consumed) {
  const ULONG unit = wide ? 2 : 1;
  ULONG count = 0;
  if (terminated && length == 0) {
    while ((count + 1) * unit <= available && (wide ? Load<WCHAR>(data + count * 2) != 0 : data[count] != 0)) ++count;
    if ((count + 1) * unit > available) return ERROR_EVT_INVALID_EVENT_DATA;  // no terminator
    *consumed = (count + 1) * unit;
  } else {
    count = length;
    if (count * unit > available) count = available / unit;
    *consumed = count * unit;
  }
  for (ULONG i = 0; i < count; ++i) {
    const WCHAR c = wide ? Load<WCHAR>(data + i * 2) : static_cast<WCHAR>(data[i]);
    if (c == 0) break;  // a counted string padded with zeros ends at its first zero
    out.Char(c);
  }
  return ERROR_SUCCESS;
}

// One element to render: the caller's arguments, and the bytes the element takes, which the
// renderer sets when they are not the in-type's fixed size.
struct Element {
  USHORT inType;
  USHORT outType;
  USHORT length;
  ULONG pointerSize;
  const BYTE* data;
  ULONG available;
  ULONG size;
};

// Renders an element into `out`: 0, or 15005 when the data does not hold it.
using Renderer = ULONG (*)(Element& element, ElementText& out);

template <bool Wide, bool Terminated>
ULONG RenderString(Element& e, ElementText& out) {
  return StringElement(e.data, e.available, e.length, Wide, Terminated, out, &e.size);
}

template <typename T>
ULONG RenderDecimal(Element& e, ElementText& out) {
  out.Decimal(Load<T>(e.data));
  return ERROR_SUCCESS;
}

ULONG RenderInt8(Element& e, ElementText& out) {
  out.Decimal(static_cast<int>(static_cast<signed char>(e.data[0])));
  return ERROR_SUCCESS;
}

// An unsigned integer in hexadecimal when its output type says so, else in decimal.
template <typename T, USHORT HexOut, USHORT OtherHexOut = HexOut>
ULONG RenderUnsigned(Element& e, ElementText& out) {
  const T value = Load<T>(e.data);
  if (e.outType == HexOut || e.outType == OtherHexOut) {
    out.Hex(value);
  } else {
    out.Decimal(value);
  }
  return ERROR_SUCCESS;
}

ULONG RenderUInt8(Element& e, ElementText& out) {
  if (e.outType == tdh_out::NOPRINT) {
    out.Char(static_cast<WCHAR>(e.data[0]));
    return ERROR_SUCCESS;
  }
  return RenderUnsigned<BYTE, tdh_out::HEXINT8>(e, out);
}

template <typename T>
ULONG RenderHex(Element& e, ElementText& out) {
  out.Hex(Load<T>(e.data));
  return ERROR_SUCCESS;
}

template <typename T>
ULONG RenderReal(Element& e, ElementText& out) {
  char text[96];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(Load<T>(e.data)));
  out.Ascii(text);
  return ERROR_SUCCESS;
}

ULONG RenderBoolean(Element& e, ElementText& out) {
  out.Ascii(Load<UINT>(e.data) != 0 ? "true" : "false");
  return ERROR_SUCCESS;
}

// Binary data and hex dumps: the declared length, as far as the data goes.
ULONG RenderBytes(Element& e, ElementText& out) {
  e.size = e.length <= e.available ? e.length : e.available;
  if (e.inType == tdh_in::BINARY && e.outType == tdh_out::IPV6 && e.size == 16) {
    WString address;
    if (AppendIpv6Address(e.data, address)) {
      out.Wide(address.data(), address.size());
      return ERROR_SUCCESS;
    }
  }
  AppendHexBytes(e.data, e.size, out);
  return ERROR_SUCCESS;
}

ULONG RenderGuid(Element& e, ElementText& out) {
  const GUID guid = Load<GUID>(e.data);
  char text[48];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), unsigned{guid.Data2}, unsigned{guid.Data3}, unsigned{guid.Data4[0]},
                unsigned{guid.Data4[1]}, unsigned{guid.Data4[2]}, unsigned{guid.Data4[3]}, unsigned{guid.Data4[4]},
                unsigned{guid.Data4[5]}, unsigned{guid.Data4[6]}, unsigned{guid.Data4[7]});
  out.Ascii(text);
  return ERROR_SUCCESS;
}

ULONG RenderFileTime(Element& e, ElementText& out) {
  const ULONGLONG ticks = Load<ULONGLONG>(e.data);
  const FILETIME fileTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME time;
  if (!FileTimeToSystemTime(&fileTime, &time)) {
    WriteLog(LOG_WARNING, "WARNING # GetFormattedBuffer # FileTimeToSystemTime failed with %lu",
             static_cast<unsigned long>(GetLastError()));
  } else if (AppendDateAndTime(time, out)) {
    char text[32];
    std::snprintf(text, sizeof text, ".%09lluZ", static_cast<unsigned long long>((ticks % 10000000ull) * 100));
    out.Ascii(text);
    return ERROR_SUCCESS;
  }
  AppendHexBytes(e.data, 8, out);
  return ERROR_SUCCESS;
}

ULONG RenderSystemTime(Element& e, ElementText& out) {
  const SYSTEMTIME time = Load<SYSTEMTIME>(e.data);  // event data has no alignment
  if (AppendDateAndTime(time, out)) {
    char text[16];
    std::snprintf(text, sizeof text, ".%03uZ", unsigned{time.wMilliseconds});
    out.Ascii(text);
  } else {
    AppendHexBytes(e.data, 16, out);
  }
  return ERROR_SUCCESS;
}

ULONG RenderSid(Element& e, ElementText& out) {
  // Revision, sub-authority count, 6-byte authority, then the sub-authorities.
  if (e.available < 8) return ERROR_EVT_INVALID_EVENT_DATA;
  e.size = 8 + 4 * ULONG{e.data[1]};
  if (e.size > e.available) return ERROR_EVT_INVALID_EVENT_DATA;
  WString sid;
  AppendSidText(e.data, sid);
  out.Wide(sid.data(), sid.size());
  return ERROR_SUCCESS;
}

// A character, or with output type string the whole array as one string.
template <bool Wide>
ULONG RenderCharacter(Element& e, ElementText& out) {
  if (e.outType == tdh_out::STRING) {
    return StringElement(e.data, e.available, e.length == 0 ? 1 : e.length, Wide, false, out, &e.size);
  }
  e.size = Wide ? 2 : 1;
  if (e.size > e.available) return ERROR_EVT_INVALID_EVENT_DATA;
  out.Char(Wide ? Load<WCHAR>(e.data) : static_cast<WCHAR>(e.data[0]));
  return ERROR_SUCCESS;
}

ULONG RenderPointer(Element& e, ElementText& out) {
  e.size = e.pointerSize == 4 ? 4 : 8;
  if (e.size > e.available) return ERROR_EVT_INVALID_EVENT_DATA;
  out.Hex(e.size == 4 ? Load<UINT>(e.data) : Load<unsigned long long>(e.data));
  return ERROR_SUCCESS;
}

// How each in-type is rendered. `size` is the bytes it takes, checked against the data before
// the renderer runs; 0 when the renderer sizes the element itself.
struct InTypeFormat {
  USHORT inType;
  ULONG size;
  Renderer render;
};

constexpr InTypeFormat kInTypeFormats[] = {
    {tdh_in::UNICODESTRING, 0, RenderString<true, true>},
    {tdh_in::ANSISTRING, 0, RenderString<false, true>},
    {tdh_in::INT8, 1, RenderInt8},
    {tdh_in::UINT8, 1, RenderUInt8},
    {tdh_in::INT16, 2, RenderDecimal<short>},
    {tdh_in::UINT16, 2, RenderUnsigned<USHORT, tdh_out::HEXINT16>},
    {tdh_in::INT32, 4, RenderDecimal<INT>},
    {tdh_in::UINT32, 4, RenderUnsigned<UINT, tdh_out::HEXINT32, tdh_out::ERRORCODE>},
    {tdh_in::INT64, 8, RenderDecimal<long long>},
    {tdh_in::UINT64, 8, RenderUnsigned<unsigned long long, tdh_out::HEXINT64>},
    {tdh_in::FLOAT, 4, RenderReal<float>},
    {tdh_in::DOUBLE, 8, RenderReal<double>},
    {tdh_in::BOOLEAN, 4, RenderBoolean},
    {tdh_in::BINARY, 0, RenderBytes},
    {tdh_in::GUID_TYPE, 16, RenderGuid},
    {tdh_in::POINTER, 0, RenderPointer},
    {tdh_in::FILETIME, 8, RenderFileTime},
    {tdh_in::SYSTEMTIME, 16, RenderSystemTime},
    {tdh_in::SID, 0, RenderSid},
    {tdh_in::HEXINT32, 4, RenderHex<UINT>},
    {tdh_in::HEXINT64, 8, RenderHex<unsigned long long>},
    {tdh_in::NONNULLTERMINATEDSTRING, 0, RenderString<true, false>},
    {tdh_in::NONNULLTERMINATEDANSISTRING, 0, RenderString<false, false>},
    {tdh_in::UNICODECHAR, 0, RenderCharacter<true>},
    {tdh_in::ANSICHAR, 0, RenderCharacter<false>},
    {tdh_in::SIZET, 0, RenderPointer},
    {tdh_in::HEXDUMP, 0, RenderBytes},
};

const InTypeFormat* FormatOf(USHORT inType) {
  for (const InTypeFormat& format : kInTypeFormats) {
    if (format.inType == inType) return &format;
  }
  return nullptr;
}

}  // namespace

ULONG GetFormattedBuffer(USHORT inType, USHORT outType, USHORT length, ULONG pointerSize, const BYTE* data,
                         ULONG available, WCHAR* buffer, ULONG* bufferSize, ULONG* consumed) {
  return LoggedCallOr("GetFormattedBuffer", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (data == nullptr || bufferSize == nullptr || consumed == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_EVT_INVALID_EVENT_DATA;
    }
    if (inType == tdh_in::NULL_TYPE) return ERROR_EVT_INVALID_EVENT_DATA;
    const InTypeFormat* format = FormatOf(inType);
    if (format == nullptr) return ERROR_NOT_SUPPORTED;
    Element element{inType, outType, length, pointerSize, data, available, format->size};
    if (format->size > available) return ERROR_EVT_INVALID_EVENT_DATA;
    ElementText out;
    const ULONG status = format->render(element, out);
    if (status != ERROR_SUCCESS) return status;
    const WString& result = out.Text();
    const auto needed = static_cast<ULONG>((result.size() + 1) * sizeof(WCHAR));
    if (buffer == nullptr || *bufferSize < needed) {
      *bufferSize = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, result.c_str(), needed);
    *consumed = element.size;
    return ERROR_SUCCESS;
  });
}

bool EventStampToFileTime(const ETW_SESSION_CLOCK& clock, LONGLONG stamp, ULONGLONG* fileTime) {
  if (!clock.rawTicks) {
    *fileTime = static_cast<ULONGLONG>(stamp);
    return true;
  }
  if (clock.ticksPerSecond <= 0) return false;
  // Whole seconds and the rest apart, so that the product stays within 64 bits; an event
  // from before the reference (buffered before the consumer opened) comes out earlier.
  const LONGLONG delta = stamp - clock.referenceTicks;
  const LONGLONG seconds = delta / clock.ticksPerSecond;
  const LONGLONG rest = delta % clock.ticksPerSecond;
  const LONGLONG result = clock.referenceTime + seconds * 10000000 + rest * 10000000 / clock.ticksPerSecond;
  if (result < 0) return false;
  *fileTime = static_cast<ULONGLONG>(result);
  return true;
}

bool AppendIpv6Address(const BYTE* address, WString& text) {
  // Windows exports the routine from ntdll.dll without an import library in the SDK, and
  // every process has ntdll.dll loaded: it is looked up, never loaded.
  using Ipv6AddressToStringFn = PWSTR(NTAPI*)(const IN6_ADDR*, PWSTR);
  const HMODULE ntdll = GetModuleHandleW(TEXT("ntdll.dll"));
  const FARPROC routine = ntdll == nullptr ? nullptr : GetProcAddress(ntdll, "RtlIpv6AddressToStringW");
  if (routine == nullptr) {
    WriteLog(LOG_ERROR, "GetProcAddress failed with %lu.\n", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  IN6_ADDR value;
  std::memcpy(&value, address, sizeof value);
  WCHAR buffer[64] = {};  // the routine writes at most 46 characters
  const PWSTR end = reinterpret_cast<Ipv6AddressToStringFn>(reinterpret_cast<void (*)()>(routine))(&value, buffer);
  text.append(buffer, static_cast<std::size_t>(end - buffer));
  return true;
}

void AppendSidText(const BYTE* sid, WString& text) {
  unsigned long long authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  char part[32];
  std::snprintf(part, sizeof part, "S-%u-%llu", unsigned{sid[0]}, authority);
  for (const char* c = part; *c != 0; ++c) text.push_back(static_cast<WCHAR>(*c));
  for (ULONG i = 0; i < sid[1]; ++i) {
    std::snprintf(part, sizeof part, "-%u", Load<UINT>(sid + 8 + 4 * i));
    for (const char* c = part; *c != 0; ++c) text.push_back(static_cast<WCHAR>(*c));
  }
}

bool FormatMappedValue(const EVENT_MAP_INFO* map, ULONGLONG value, WString& text) {
  const auto* base = reinterpret_cast<const BYTE*>(map);
  const bool bitmap = (map->Flag & (EVENTMAP_INFO_FLAG_MANIFEST_BITMAP | EVENTMAP_INFO_FLAG_WBEM_BITMAP)) != 0;
  bool found = false;
  for (ULONG i = 0; i < map->EntryCount; ++i) {
    const EVENT_MAP_ENTRY& entry = map->MapEntryArray[i];
    const bool matches = bitmap ? entry.Value != 0 && (value & entry.Value) == entry.Value : entry.Value == value;
    if (!matches) continue;
    if (found) text.append(TEXT(" | "));
    text.append(reinterpret_cast<const WCHAR*>(base + entry.OutputOffset));
    found = true;
    if (!bitmap) break;
  }
  return found;
}

void AppendUtf8(const WCHAR* text, std::size_t count, std::string& out) {
  // Most event text is ASCII: the output is sized for that and written eight units at a time
  // until the first character that is not.
  const std::size_t start = out.size();
  out.resize(start + count);
  char* at = out.data() + start;
  std::size_t ascii = 0;
  constexpr std::uint64_t kNotAscii = 0xFF80FF80FF80FF80ull;
  // Four UTF-16 units below 0x80 (little-endian) to their four bytes, in the low half.
  auto narrow = [](std::uint64_t units) {
    units = (units | (units >> 8)) & 0x0000FFFF0000FFFFull;
    return (units | (units >> 16)) & 0xFFFFFFFFull;
  };
  for (; ascii + 8 <= count; ascii += 8) {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, text + ascii, sizeof low);
    std::memcpy(&high, text + ascii + 4, sizeof high);
    if (((low | high) & kNotAscii) != 0) break;
    const std::uint64_t bytes = narrow(low) | narrow(high) << 32;
    std::memcpy(at + ascii, &bytes, sizeof bytes);
  }
  for (; ascii < count; ++ascii) {
    const auto c = static_cast<USHORT>(text[ascii]);
    if (c >= 0x80) break;
    at[ascii] = static_cast<char>(c);
  }
  out.resize(start + ascii);
  for (std::size_t i = ascii; i < count; ++i) {
    ULONG c = static_cast<USHORT>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && static_cast<USHORT>(text[i + 1]) >= 0xDC00 &&
        static_cast<USHORT>(text[i + 1]) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<USHORT>(text[++i]) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string ToUtf8(const WString& text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(text.data(), text.size(), out);
  return out;
}
