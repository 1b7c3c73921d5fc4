#include "property_formatter.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "log_writer.h"

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

void FromDays(long long days, int& year, unsigned& month, unsigned& day) {
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// 100-ns ticks since 1601-01-01 as "yyyy-MM-ddTHH:mm:ss".
void FileTimeText(ULONGLONG ticks, char* out, std::size_t size) {
  const ULONGLONG seconds = ticks / 10000000ull;
  int year;
  unsigned month, day;
  FromDays(static_cast<long long>(seconds / 86400) - 134774, year, month, day);
  const auto ofDay = static_cast<unsigned>(seconds % 86400);
  std::snprintf(out, size, "%04d-%02u-%02uT%02u:%02u:%02u", year, month, day, ofDay / 3600, ofDay / 60 % 60,
                ofDay % 60);
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

}  // namespace

ULONG GetFormattedBuffer(USHORT inType, USHORT outType, USHORT length, ULONG pointerSize, const BYTE* data,
                         ULONG available, WCHAR* buffer, ULONG* bufferSize, ULONG* consumed) {
  try {
    if (data == nullptr || bufferSize == nullptr || consumed == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_EVT_INVALID_EVENT_DATA;
    }
    ElementText out;
    char text[96];
    ULONG size = 0;
    auto need = [&](ULONG bytes) { size = bytes; return bytes <= available; };
    switch (inType) {
      case tdh_in::UNICODESTRING:
      case tdh_in::ANSISTRING:
      case tdh_in::NONNULLTERMINATEDSTRING:
      case tdh_in::NONNULLTERMINATEDANSISTRING: {
        const bool wide = inType == tdh_in::UNICODESTRING || inType == tdh_in::NONNULLTERMINATEDSTRING;
        const bool terminated = inType == tdh_in::UNICODESTRING || inType == tdh_in::ANSISTRING;
        const ULONG status = StringElement(data, available, length, wide, terminated, out, &size);
        if (status != ERROR_SUCCESS) return status;
        break;
      }
      case tdh_in::INT8:
        if (!need(1)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Decimal(static_cast<int>(static_cast<signed char>(data[0])));
        break;
      case tdh_in::UINT8:
        if (!need(1)) return ERROR_EVT_INVALID_EVENT_DATA;
        if (outType == tdh_out::HEXINT8) {
          out.Hex(data[0]);
        } else if (outType == tdh_out::NOPRINT) {
          out.Char(static_cast<WCHAR>(data[0]));
        } else {
          out.Decimal(unsigned{data[0]});
        }
        break;
      case tdh_in::INT16:
        if (!need(2)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Decimal(Load<short>(data));
        break;
      case tdh_in::UINT16:
        if (!need(2)) return ERROR_EVT_INVALID_EVENT_DATA;
        if (outType == tdh_out::HEXINT16) {
          out.Hex(Load<USHORT>(data));
        } else {
          out.Decimal(Load<USHORT>(data));
        }
        break;
      case tdh_in::INT32:
        if (!need(4)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Decimal(Load<INT>(data));
        break;
      case tdh_in::UINT32:
        if (!need(4)) return ERROR_EVT_INVALID_EVENT_DATA;
        if (outType == tdh_out::HEXINT32 || outType == tdh_out::ERRORCODE) {
          out.Hex(Load<UINT>(data));
        } else {
          out.Decimal(Load<UINT>(data));
        }
        break;
      case tdh_in::INT64:
        if (!need(8)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Decimal(Load<long long>(data));
        break;
      case tdh_in::UINT64:
        if (!need(8)) return ERROR_EVT_INVALID_EVENT_DATA;
        if (outType == tdh_out::HEXINT64) {
          out.Hex(Load<unsigned long long>(data));
        } else {
          out.Decimal(Load<unsigned long long>(data));
        }
        break;
      case tdh_in::FLOAT:
        if (!need(4)) return ERROR_EVT_INVALID_EVENT_DATA;
        std::snprintf(text, sizeof text, "%f", static_cast<double>(Load<float>(data)));
        out.Ascii(text);
        break;
      case tdh_in::DOUBLE:
        if (!need(8)) return ERROR_EVT_INVALID_EVENT_DATA;
        std::snprintf(text, sizeof text, "%f", Load<double>(data));
        out.Ascii(text);
        break;
      case tdh_in::BOOLEAN:
        if (!need(4)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Ascii(Load<UINT>(data) != 0 ? "true" : "false");
        break;
      case tdh_in::BINARY:
      case tdh_in::HEXDUMP: {
        size = length <= available ? length : available;
        if (inType == tdh_in::BINARY && outType == tdh_out::IPV6 && size == 16) {
          for (ULONG i = 0; i < 16; i += 2) {
            std::snprintf(text, sizeof text, i == 0 ? "%x" : ":%x", (unsigned{data[i]} << 8) | data[i + 1]);
            out.Ascii(text);
          }
          break;
        }
        for (ULONG i = 0; i < size; ++i) {
          std::snprintf(text, sizeof text, "%02X", unsigned{data[i]});
          out.Ascii(text);
        }
        break;
      }
      case tdh_in::GUID_TYPE: {
        if (!need(16)) return ERROR_EVT_INVALID_EVENT_DATA;
        const GUID guid = Load<GUID>(data);
        std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                      static_cast<unsigned>(guid.Data1), unsigned{guid.Data2}, unsigned{guid.Data3},
                      unsigned{guid.Data4[0]}, unsigned{guid.Data4[1]}, unsigned{guid.Data4[2]},
                      unsigned{guid.Data4[3]}, unsigned{guid.Data4[4]}, unsigned{guid.Data4[5]},
                      unsigned{guid.Data4[6]}, unsigned{guid.Data4[7]});
        out.Ascii(text);
        break;
      }
      case tdh_in::FILETIME: {
        if (!need(8)) return ERROR_EVT_INVALID_EVENT_DATA;
        const ULONGLONG ticks = Load<ULONGLONG>(data);
        FileTimeText(ticks, text, sizeof text);
        out.Ascii(text);
        std::snprintf(text, sizeof text, ".%09lluZ", static_cast<unsigned long long>((ticks % 10000000ull) * 100));
        out.Ascii(text);
        break;
      }
      case tdh_in::SYSTEMTIME: {
        if (!need(16)) return ERROR_EVT_INVALID_EVENT_DATA;
        const USHORT year = Load<USHORT>(data), month = Load<USHORT>(data + 2), day = Load<USHORT>(data + 6);
        const USHORT hour = Load<USHORT>(data + 8), minute = Load<USHORT>(data + 10);
        const USHORT second = Load<USHORT>(data + 12), millis = Load<USHORT>(data + 14);
        if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 || millis > 999) {
          return ERROR_EVT_INVALID_EVENT_DATA;
        }
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", unsigned{year}, unsigned{month},
                      unsigned{day}, unsigned{hour}, unsigned{minute}, unsigned{second}, unsigned{millis});
        out.Ascii(text);
        break;
      }
      case tdh_in::SID: {
        // Revision, sub-authority count, 6-byte authority, then the sub-authorities.
        if (!need(8) || !need(8 + 4 * ULONG{data[1]})) return ERROR_EVT_INVALID_EVENT_DATA;
        unsigned long long authority = 0;
        for (int i = 2; i < 8; ++i) authority = (authority << 8) | data[i];
        std::snprintf(text, sizeof text, "S-%u-%llu", unsigned{data[0]}, authority);
        out.Ascii(text);
        for (ULONG i = 0; i < data[1]; ++i) {
          std::snprintf(text, sizeof text, "-%u", Load<UINT>(data + 8 + 4 * i));
          out.Ascii(text);
        }
        break;
      }
      case tdh_in::HEXINT32:
        if (!need(4)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Hex(Load<UINT>(data));
        break;
      case tdh_in::HEXINT64:
        if (!need(8)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Hex(Load<unsigned long long>(data));
        break;
      case tdh_in::UNICODECHAR:
        if (outType == tdh_out::STRING) {
          const ULONG status = StringElement(data, available, length == 0 ? 1 : length, true, false, out, &size);
          if (status != ERROR_SUCCESS) return status;
        } else {
          if (!need(2)) return ERROR_EVT_INVALID_EVENT_DATA;
          out.Char(Load<WCHAR>(data));
        }
        break;
      case tdh_in::ANSICHAR:
        if (outType == tdh_out::STRING) {
          const ULONG status = StringElement(data, available, length == 0 ? 1 : length, false, false, out, &size);
          if (status != ERROR_SUCCESS) return status;
        } else {
          if (!need(1)) return ERROR_EVT_INVALID_EVENT_DATA;
          out.Char(static_cast<WCHAR>(data[0]));
        }
        break;
      case tdh_in::POINTER:
      case tdh_in::SIZET:
        if (!need(pointerSize == 4 ? 4 : 8)) return ERROR_EVT_INVALID_EVENT_DATA;
        out.Hex(pointerSize == 4 ? Load<UINT>(data) : Load<unsigned long long>(data));
        break;
      case tdh_in::NULL_TYPE:
        return ERROR_EVT_INVALID_EVENT_DATA;
      default:
        return ERROR_NOT_SUPPORTED;
    }
    const WString& result = out.Text();
    const auto needed = static_cast<ULONG>((result.size() + 1) * sizeof(WCHAR));
    if (buffer == nullptr || *bufferSize < needed) {
      *bufferSize = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, result.c_str(), needed);
    *consumed = size;
    return ERROR_SUCCESS;
  } catch (const std::exception& e) {
    LogStandardException("GetFormattedBuffer", e);
  } catch (...) {
    LogGenericException("GetFormattedBuffer");
  }
  return ERROR_INTERNAL_ERROR;
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
  // Most event text is ASCII: the output is sized for that and written unit by unit until the
  // first character that is not.
  const std::size_t start = out.size();
  out.resize(start + count);
  char* at = out.data() + start;
  std::size_t ascii = 0;
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
