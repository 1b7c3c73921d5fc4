#include "trace_parsers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "log_writer.h"
#include "logged_call.h"
#include "objbase.h"

namespace {

constexpr USHORT kHeaderFlag32Bit = 0x20;  // EVENT_HEADER_FLAG_32_BIT_HEADER
constexpr USHORT kHeaderFlag64Bit = 0x40;  // EVENT_HEADER_FLAG_64_BIT_HEADER
constexpr ULONG kMaxInsertions = 99;

// The name at `offset` into `out` (emptied first; its storage is reused).
void NameAt(const TRACE_EVENT_INFO* info, ULONG infoSize, ULONG offset, std::string& out) {
  out.clear();
  if (offset == 0 || offset >= infoSize) return;
  const auto* text = reinterpret_cast<const WCHAR*>(reinterpret_cast<const BYTE*>(info) + offset);
  std::size_t count = 0;
  const std::size_t limit = (infoSize - offset) / sizeof(WCHAR);
  while (count < limit && text[count] != 0) ++count;
  AppendUtf8(text, count, out);
}

const EVENT_PROPERTY_INFO& PropertyAt(const TRACE_EVENT_INFO* info, ULONG index) {
  return (&info->EventPropertyInfoArray[0])[index];
}

ULONG PointerSizeOf(const ETW_DECODING_STATE* state, PEVENT_RECORD event) {
  if ((event->EventHeader.Flags & kHeaderFlag64Bit) != 0) return 8;
  if ((event->EventHeader.Flags & kHeaderFlag32Bit) != 0) return 4;
  return state->context != nullptr ? state->context->defaultPointerSize : ULONG{sizeof(void*)};
}

ULONG SavedValue(const ETW_DECODING_STATE* state, USHORT index) {
  return index < state->savedValues.size() ? state->savedValues[index] : 0;
}

// The in-types whose length is a count of bytes or characters that the data may fall short of.
bool IsLengthSized(USHORT inType, USHORT outType) {
  switch (inType) {
    case tdh_in::UNICODESTRING:
    case tdh_in::ANSISTRING:
    case tdh_in::BINARY:
    case tdh_in::HEXDUMP:
    case tdh_in::NONNULLTERMINATEDSTRING:
    case tdh_in::NONNULLTERMINATEDANSISTRING:
      return true;
    case tdh_in::UNICODECHAR:
    case tdh_in::ANSICHAR:
      return outType == tdh_out::STRING;
    default:
      return false;
  }
}

ULONG CharSize(USHORT inType) {
  return inType == tdh_in::UNICODESTRING || inType == tdh_in::NONNULLTERMINATEDSTRING ||
                 inType == tdh_in::UNICODECHAR
             ? 2
             : 1;
}

}  // namespace

// --- _ETW_EVENT_MSGSTRINGS ---------------------------------------------------------------

void _ETW_EVENT_MSGSTRINGS::Reset() {
  for (std::string* text : {&providerName, &levelName, &channelName, &keywordsName, &taskName, &opcodeName,
                            &formattedEventMessage, &providerMessage, &eventName, &eventAttributes, &finalMessage}) {
    text->clear();
  }
}

void _ETW_EVENT_MSGSTRINGS::Fill(const TRACE_EVENT_INFO* info, ULONG infoSize) {
  Reset();
  NameAt(info, infoSize, info->ProviderNameOffset, providerName);
  NameAt(info, infoSize, info->LevelNameOffset, levelName);
  NameAt(info, infoSize, info->ChannelNameOffset, channelName);
  NameAt(info, infoSize, info->KeywordsNameOffset, keywordsName);
  NameAt(info, infoSize, info->TaskNameOffset, taskName);
  NameAt(info, infoSize, info->OpcodeNameOffset, opcodeName);
  NameAt(info, infoSize, info->ProviderMessageOffset, providerMessage);
  // Windows keeps the event name and attributes at the activity-name offsets for
  // self-describing events.
  NameAt(info, infoSize, info->ActivityIDNameOffset, eventName);
  NameAt(info, infoSize, info->RelatedActivityIDNameOffset, eventAttributes);
}

bool _ETW_EVENT_MSGSTRINGS::CreateFinalEtwMessageToUser() {
  return LoggedCallOr("_ETW_EVENT_MSGSTRINGS::CreateFinalEtwMessageToUser", false, [&]() -> bool {
    finalMessage.clear();
    if (!providerName.empty()) {
      finalMessage = providerName;
      finalMessage += "-->";
    }
    finalMessage += formattedEventMessage;
    return !finalMessage.empty();
  });
}

// --- ETWTraceParser ----------------------------------------------------------------------

ETWTraceParser& ETWTraceParser::Instance() {
  static ETWTraceParser& instance = *new ETWTraceParser;
  return instance;
}

ULONG ETWTraceParser::DecodeTrace(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, ULONG infoSize,
                                  PEVENT_RECORD event, std::string& output) {
  return LoggedCallOr("ETWTraceParser::DecodeTrace", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (state == nullptr || info == nullptr || event == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_INVALID_PARAMETER;
    }
    _ETW_EVENT_MSGSTRINGS& texts = state->texts;
    texts.Fill(info, infoSize);
    if (PopulateETWEventData(state, info, event) != ERROR_SUCCESS) {
      state->errorText = "Error in decoding event payload. Probably invalid manifest";
      return ERROR_INTERNAL_ERROR;
    }
    if (info->EventMessageOffset != 0 && info->EventMessageOffset < infoSize) {
      // Every insertion a template may name has an argument: the missing ones are empty. The
      // array lives in the state, all empty between events, so that only the event's own
      // arguments are written and taken back.
      static const WCHAR kEmpty[] = TEXT("");
      std::vector<DWORD_PTR>& arguments = state->insertions;
      if (arguments.size() != kMaxInsertions) arguments.assign(kMaxInsertions, reinterpret_cast<DWORD_PTR>(kEmpty));
      const std::size_t given = std::min<std::size_t>(state->propertyTexts.size(), kMaxInsertions);
      for (std::size_t i = 0; i < given; ++i) arguments[i] = reinterpret_cast<DWORD_PTR>(state->propertyTexts[i].c_str());
      LPWSTR formatted = nullptr;
      const auto* messageTemplate = reinterpret_cast<LPCWSTR>(reinterpret_cast<const BYTE*>(info) + info->EventMessageOffset);
      const DWORD length = FormatMessageW(
          FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, messageTemplate, 0,
          0, reinterpret_cast<LPWSTR>(&formatted), 0, reinterpret_cast<va_list*>(arguments.data()));
      std::fill_n(arguments.begin(), given, reinterpret_cast<DWORD_PTR>(kEmpty));
      if (formatted != nullptr) {
        AppendUtf8(formatted, length, texts.formattedEventMessage);
        LocalFree(formatted);
      }
    }
    if (!texts.CreateFinalEtwMessageToUser()) {
      WriteLog(LOG_ERROR, "CreateFinalEtwMessageToUser Failed");
      return ERROR_SUCCESS;
    }
    output += texts.finalMessage;
    return ERROR_SUCCESS;
  });
}

ULONG ETWTraceParser::PopulateETWEventData(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info,
                                           PEVENT_RECORD event) {
  return LoggedCallOr("ETWTraceParser::PopulateETWEventData", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (state == nullptr || info == nullptr || event == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_INVALID_PARAMETER;
    }
    // Sized for this event; texts kept from earlier events are empty (Reset) but keep their storage.
    state->propertyTexts.resize(info->TopLevelPropertyCount);
    if (info->TopLevelPropertyCount == 0) return ERROR_SUCCESS;
    state->savedValues.assign(info->PropertyCount, 0);
    for (ULONG i = 0; i < info->TopLevelPropertyCount && i < info->PropertyCount; ++i) {
      const ULONG status = (PropertyAt(info, i).Flags & PropertyStruct) != 0
                               ? DumpComplexType(state, info, event, i, state->propertyTexts[i])
                               : DumpSimpleType(state, info, event, i, state->propertyTexts[i]);
      if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
  });
}

ULONG ETWTraceParser::DumpComplexType(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                      ULONG propertyIndex, WString& text) {
  return LoggedCallOr("ETWTraceParser::DumpComplexType", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    const EVENT_PROPERTY_INFO& property = PropertyAt(info, propertyIndex);
    const ULONG count =
        (property.Flags & PropertyParamCount) != 0 ? SavedValue(state, property.countPropertyIndex) : property.count;
    const ULONG first = property.structType.StructStartIndex;
    const ULONG last = first + property.structType.NumOfStructMembers;
    for (ULONG element = 0; element < count; ++element) {
      if (state->userDataConsumed >= event->UserDataLength) break;  // nothing left to render
      const ULONG before = state->userDataConsumed;
      for (ULONG member = first; member < last && member < info->PropertyCount; ++member) {
        const ULONG status = DumpSimpleType(state, info, event, member, text);
        if (status != ERROR_SUCCESS) return status;
      }
      // An element that took no bytes would be rendered again, identically, for every count
      // the event claims (up to 0xFFFFFFFF): once is enough.
      if (state->userDataConsumed == before) break;
    }
    return ERROR_SUCCESS;
  });
}

ULONG ETWTraceParser::DumpSimpleType(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                     ULONG propertyIndex, WString& text) {
  return LoggedCallOr("ETWTraceParser::DumpSimpleType", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    const EVENT_PROPERTY_INFO& property = PropertyAt(info, propertyIndex);
    if ((property.Flags & PropertyStruct) != 0) return ERROR_SUCCESS;  // nested structures are not in templates
    const USHORT inType = property.nonStructType.InType;
    const USHORT outType = property.nonStructType.OutType;
    ULONG count =
        (property.Flags & PropertyParamCount) != 0 ? SavedValue(state, property.countPropertyIndex) : property.count;
    ULONG length = 0;
    if ((inType == tdh_in::UNICODECHAR || inType == tdh_in::ANSICHAR) && outType == tdh_out::STRING) {
      length = count;
      count = 1;
    } else if ((property.Flags & PropertyParamLength) != 0) {
      length = SavedValue(state, property.lengthPropertyIndex);
    } else {
      length = property.length;
    }
    PEVENT_MAP_INFO map = nullptr;
    if (CheckForMap(state, info, event, property, &map) != ERROR_SUCCESS) map = nullptr;
    const ULONG start = state->userDataConsumed;
    for (ULONG element = 0; element < count; ++element) {
      // The declared count may reach past the data: what is there is rendered, no more.
      if (state->userDataConsumed >= event->UserDataLength) break;
      if (element > 0) text.append(TEXT(", "));
      const ULONG before = state->userDataConsumed;
      const ULONG status = FormatProperty(state, info, event, property, static_cast<USHORT>(length > 0xFFFF ? 0xFFFF : length), map, text);
      if (status != ERROR_SUCCESS) return status;
      // An element that took no bytes (a length of 0, say) would be rendered again,
      // identically, for every count the event claims (up to 0xFFFFFFFF): once is enough.
      if (state->userDataConsumed == before) break;
    }
    if (count == 1 && (inType == tdh_in::UINT8 || inType == tdh_in::UINT16 || inType == tdh_in::UINT32 ||
                       inType == tdh_in::HEXINT32)) {
      const ULONG used = state->userDataConsumed - start;
      ULONG value = 0;
      const ULONG width = inType == tdh_in::UINT8 ? 1 : inType == tdh_in::UINT16 ? 2 : 4;
      if (used >= width) std::memcpy(&value, static_cast<const BYTE*>(event->UserData) + start, width);
      if (propertyIndex < state->savedValues.size()) state->savedValues[propertyIndex] = value;
    }
    return ERROR_SUCCESS;
  });
}

namespace {

// The property's value map, if it has one, fetched through TDH into the state's map buffer
// (grown once when TDH asks for more); both parsers that format maps use it.
ULONG FetchEventMap(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                    const EVENT_PROPERTY_INFO& property, PEVENT_MAP_INFO* map) {
    *map = nullptr;
    const ULONG nameOffset = property.nonStructType.MapNameOffset;
    if (nameOffset == 0) return ERROR_SUCCESS;
    auto* name = reinterpret_cast<PWSTR>(const_cast<BYTE*>(reinterpret_cast<const BYTE*>(info) + nameOffset));
    ULONG size = static_cast<ULONG>(state->mapBuffer.size());
    ULONG status = TdhLib::GetInstance()->pfnTdhGetEventMapInformation(
        event, name, size == 0 ? nullptr : reinterpret_cast<PEVENT_MAP_INFO>(state->mapBuffer.data()), &size);
    if (status == ERROR_INSUFFICIENT_BUFFER) {
      state->mapBuffer.resize(size);
      status = TdhLib::GetInstance()->pfnTdhGetEventMapInformation(
          event, name, reinterpret_cast<PEVENT_MAP_INFO>(state->mapBuffer.data()), &size);
    }
    if (status == ERROR_SUCCESS) *map = reinterpret_cast<PEVENT_MAP_INFO>(state->mapBuffer.data());
    return status;
}

}  // namespace

ULONG ETWTraceParser::CheckForMap(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                  const EVENT_PROPERTY_INFO& property, PEVENT_MAP_INFO* map) {
  return LoggedCallOr("ETWTraceParser::CheckForMap", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    return FetchEventMap(state, info, event, property, map);
  });
}

ULONG ETWTraceParser::FormatProperty(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                     const EVENT_PROPERTY_INFO& property, USHORT length, PEVENT_MAP_INFO map,
                                     WString& text) {
  return LoggedCallOr("ETWTraceParser::FormatProperty", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    const auto* userData = static_cast<const BYTE*>(event->UserData);
    if (userData == nullptr || state->userDataConsumed >= event->UserDataLength) return ERROR_SUCCESS;
    const ULONG remaining = event->UserDataLength - state->userDataConsumed;
    BYTE* data = const_cast<BYTE*>(userData) + state->userDataConsumed;
    const USHORT inType = property.nonStructType.InType;
    const USHORT outType = property.nonStructType.OutType;
    if (IsLengthSized(inType, outType) && ULONG{length} * CharSize(inType) > remaining) {
      length = static_cast<USHORT>(remaining / CharSize(inType));  // render what is there
    }
    state->pointerSize = PointerSizeOf(state, event);
    if (state->formatBuffer.empty()) state->formatBuffer.resize(kInitialFormatBufferBytes / sizeof(WCHAR));
    auto formatter = state->context != nullptr ? state->context->pfnFormatProperty : nullptr;
    for (;;) {
      // A formatter may answer 15005 having written part of a text, or none, and that
      // answer is kept: whatever the previous element left in the buffer must be gone.
      // Only the units a formatter may have written are cleared, so that a buffer grown
      // once for a long text does not cost a full clear on every later element.
      std::fill_n(state->formatBuffer.begin(), std::min(state->formatBufferDirty, state->formatBuffer.size()), WCHAR{0});
      state->formatBufferDirty = state->formatBuffer.size();
      ULONG bufferSize = static_cast<ULONG>(state->formatBuffer.size() * sizeof(WCHAR));
      ULONG consumed = 0;
      ULONG status;
      bool mapped = false;
      if (formatter != nullptr) {
        USHORT used = 0;
        status = formatter(const_cast<PTRACE_EVENT_INFO>(info), map, state->pointerSize, inType, outType, length,
                           static_cast<USHORT>(remaining > 0xFFFF ? 0xFFFF : remaining), data, &bufferSize,
                           state->formatBuffer.data(), &used);
        consumed = used;
      } else {
        WString mappedText;
        ULONG width = inType == tdh_in::UINT8 ? 1 : inType == tdh_in::UINT16 ? 2
                      : inType == tdh_in::UINT32 || inType == tdh_in::HEXINT32 ? 4 : 0;
        ULONG value = 0;
        if (map != nullptr && width != 0 && width <= remaining) {
          std::memcpy(&value, data, width);
          mapped = FormatMappedValue(map, value, mappedText);
        }
        if (mapped) {
          text += mappedText;
          state->userDataConsumed += width;
          return ERROR_SUCCESS;
        }
        status = GetFormattedBuffer(inType, outType, length, state->pointerSize, data, remaining,
                                    state->formatBuffer.data(), &bufferSize, &consumed);
      }
      if (status == ERROR_INSUFFICIENT_BUFFER) {
        const std::size_t current = state->formatBuffer.size() * sizeof(WCHAR);
        if (current >= kMaxFormatBufferBytes) return status;
        std::size_t grown = bufferSize > current ? bufferSize : current * 2;
        if (grown > kMaxFormatBufferBytes) grown = kMaxFormatBufferBytes;
        state->formatBuffer.resize((grown + 1) / sizeof(WCHAR));
        continue;
      }
      if (status == ERROR_EVT_INVALID_EVENT_DATA) {
        if (inType == tdh_in::UNICODESTRING && formatter != nullptr) {
          consumed = remaining;  // what was formatted stays
        } else if (inType == tdh_in::UNICODESTRING) {
          // No terminator before the end of the data: the characters that are there.
          status = GetFormattedBuffer(tdh_in::NONNULLTERMINATEDSTRING, outType,
                                      static_cast<USHORT>(remaining / sizeof(WCHAR)), state->pointerSize, data,
                                      remaining, state->formatBuffer.data(), &bufferSize, &consumed);
          if (status == ERROR_INSUFFICIENT_BUFFER) continue;
          if (status != ERROR_SUCCESS) return status;
          consumed = remaining;
        } else if (inType == tdh_in::ANSISTRING) {
          const int chars = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCSTR>(data), static_cast<int>(remaining),
                                                nullptr, 0);
          WString converted(chars > 0 ? static_cast<std::size_t>(chars) : 0, 0);
          if (chars > 0) {
            MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCSTR>(data), static_cast<int>(remaining),
                                converted.data(), chars);
          }
          text += converted.c_str();
          state->userDataConsumed += remaining;
          return ERROR_SUCCESS;
        } else if (map != nullptr) {
          map = nullptr;
          continue;
        } else {
          return status;
        }
      } else if (status != ERROR_SUCCESS) {
        return status;
      }
      // The text ends at its terminator, or at the buffer's end when an answer has none; a
      // complete answer wrote nothing after its terminator.
      const auto end = std::find(state->formatBuffer.begin(), state->formatBuffer.end(), WCHAR{0});
      if (status == ERROR_SUCCESS && end != state->formatBuffer.end()) {
        state->formatBufferDirty = static_cast<std::size_t>(end - state->formatBuffer.begin()) + 1;
      }
      text.append(state->formatBuffer.data(), static_cast<std::size_t>(end - state->formatBuffer.begin()));
      if (consumed > remaining) consumed = remaining;
      state->userDataConsumed += consumed;
      return ERROR_SUCCESS;
    }
  });
}

// --- WPPTraceParser ----------------------------------------------------------------------

WPPTraceParser& WPPTraceParser::Instance() {
  static WPPTraceParser& instance = *new WPPTraceParser;
  return instance;
}

ULONG WPPTraceParser::DecodeTrace(ETW_DECODING_STATE*, const TRACE_EVENT_INFO*, ULONG, PEVENT_RECORD event,
                                  std::string& output) {
  return LoggedCallOr("WPPTraceParser::DecodeTrace", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (event == nullptr) {
      WriteLog(LOG_ERROR, "ERROR# WPPTraceParser::DecodeTrace pEvent invalid parameter");
      return ERROR_INVALID_PARAMETER;
    }
    if (event->UserData == nullptr || event->UserDataLength == 0) return ERROR_SUCCESS;
    output.append(static_cast<const char*>(event->UserData), event->UserDataLength);
    return ERROR_SUCCESS;
  });
}

// --- EtwMOFDataParser --------------------------------------------------------------------

EtwMOFDataParser& EtwMOFDataParser::Instance() {
  static EtwMOFDataParser& instance = *new EtwMOFDataParser;
  return instance;
}

namespace {

void Append(std::string& output, const char* format, auto... values) {
  char text[160];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(text, sizeof text, format, values...);
#pragma GCC diagnostic pop
  output += text;
}

template <typename T>
T LoadValue(const BYTE* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

// The length of the SID at `data` from the SID itself (8 bytes, then 4 per sub-authority), or
// 0 when the data does not hold a whole valid SID.
ULONG SidLength(const BYTE* data, ULONG available) {
  if (available < 8 || 8 + 4 * ULONG{data[1]} > available) return 0;
  auto* sid = const_cast<BYTE*>(data);
  return IsValidSid(sid) ? GetLengthSid(sid) : 0;
}

// The account of a SID as "domain\name", through the local system's account lookup.
bool AccountOfSid(const BYTE* data, std::string& account) {
  auto* sid = const_cast<BYTE*>(data);
  DWORD nameLength = 0;
  DWORD domainLength = 0;
  SID_NAME_USE use;
  std::vector<WCHAR> name;
  std::vector<WCHAR> domain;
  // The first call asks for the sizes, the second fills the buffers.
  while (!LookupAccountSidW(nullptr, sid, name.empty() ? nullptr : name.data(), &nameLength,
                            domain.empty() ? nullptr : domain.data(), &domainLength, &use)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || !name.empty()) {
      WriteLog(LOG_ERROR, "LookupAccountSid failed with %lu\n", static_cast<unsigned long>(error));
      return false;
    }
    name.assign(nameLength + 1u, 0);
    domain.assign(domainLength + 1u, 0);
  }
  account = ToUtf8(WString(domain.data())) + "\\" + ToUtf8(WString(name.data()));
  return true;
}

// Bytes one element of a MOF property takes, or 0 when it cannot be sized.
ULONG MofElementSize(USHORT inType, ULONG length, ULONG pointerSize, const BYTE* data, ULONG available) {
  switch (inType) {
    case tdh_in::INT8: case tdh_in::UINT8: case tdh_in::ANSICHAR: return 1;
    case tdh_in::INT16: case tdh_in::UINT16: case tdh_in::UNICODECHAR: return 2;
    case tdh_in::INT32: case tdh_in::UINT32: case tdh_in::HEXINT32: case tdh_in::FLOAT:
    case tdh_in::BOOLEAN: return 4;
    case tdh_in::INT64: case tdh_in::UINT64: case tdh_in::HEXINT64: case tdh_in::DOUBLE:
    case tdh_in::FILETIME: return 8;
    case tdh_in::GUID_TYPE: case tdh_in::SYSTEMTIME: return 16;
    case tdh_in::POINTER: case tdh_in::SIZET: return pointerSize;
    // A SID's length is its own (the declared length is 0); one that does not fit takes
    // what remains, which FormatAndPrintData reports as too short.
    case tdh_in::SID: {
      const ULONG sid = SidLength(data, available);
      return sid != 0 ? sid : available;
    }
    case tdh_in::WBEMSID: {
      const ULONG skip = 2 * pointerSize;
      const ULONG sid = available > skip ? SidLength(data + skip, available - skip) : 0;
      return sid != 0 ? skip + sid : available;
    }
    case tdh_in::UNICODESTRING: {
      if (length != 0) return length * 2;
      ULONG i = 0;
      while (i + 1 < available && (data[i] != 0 || data[i + 1] != 0)) i += 2;
      return i + 2;
    }
    case tdh_in::ANSISTRING: {
      if (length != 0) return length;
      ULONG i = 0;
      while (i < available && data[i] != 0) ++i;
      return i + 1;
    }
    case tdh_in::NONNULLTERMINATEDSTRING: return length * 2;  // the length counts characters
    default: return length;
  }
}

}  // namespace

ULONG EtwMOFDataParser::DecodeTrace(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, ULONG,
                                    PEVENT_RECORD event, std::string& output) {
  return LoggedCallOr("EtwMOFDataParser::DecodeTrace", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (state == nullptr || info == nullptr || event == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_INVALID_PARAMETER;
    }
    LPOLESTR guidText = nullptr;
    const HRESULT hr = StringFromCLSID(info->EventGuid, &guidText);
    if (FAILED(hr)) {
      WriteLog(LOG_ERROR, "StringFromCLSID failed with 0x%x\n", static_cast<unsigned>(hr));
    } else {
      Append(output, "Event GUID: %s, ", ToUtf8(guidText).c_str());
      CoTaskMemFree(guidText);
    }
    Append(output, "Event version: %d, ", int{event->EventHeader.EventDescriptor.Version});
    Append(output, "Event type: %d, ", int{event->EventHeader.EventDescriptor.Opcode});
    // The stamp as the session's clock gives it (raw performance-counter ticks for a
    // redirected session) becomes a UTC date by the session's clock reference.
    static const ETW_SESSION_CLOCK kFileTimeStamps{};
    const ETW_SESSION_CLOCK& clock = state->context != nullptr ? state->context->clock : kFileTimeStamps;
    const LONGLONG stamp = event->EventHeader.TimeStamp.QuadPart;
    ULONGLONG fileTime = 0;
    SYSTEMTIME time;
    bool dated = EventStampToFileTime(clock, stamp, &fileTime);
    if (dated) {
      const FILETIME value{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
      dated = FileTimeToSystemTime(&value, &time) != FALSE;
    }
    if (dated) {
      Append(output, "%02d/%02d/%02d %02d:%02d:%02d.%llu, ", int{time.wMonth}, int{time.wDay}, int{time.wYear},
             int{time.wHour}, int{time.wMinute}, int{time.wSecond},
             static_cast<unsigned long long>(fileTime % 10000000ull));
    } else {
      // A stamp that is no date is passed on as it came.
      Append(output, "%lld, ", static_cast<long long>(stamp));
    }
    return PrintProperties(state, info, event, output);
  });
}

ULONG EtwMOFDataParser::PrintProperties(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                        std::string& output) {
  return LoggedCallOr("EtwMOFDataParser::PrintProperties", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    state->savedValues.assign(info->PropertyCount, 0);
    for (ULONG i = 0; i < info->TopLevelPropertyCount && i < info->PropertyCount; ++i) {
      const EVENT_PROPERTY_INFO& property = PropertyAt(info, i);
      ULONG status = ERROR_SUCCESS;
      if ((property.Flags & PropertyStruct) == 0) {
        status = PrintProperty(state, info, event, i, output);
      } else {
        // A structure's members are read element by element, so that every later property
        // starts where the structure ends.
        const ULONG count = (property.Flags & PropertyParamCount) != 0
                                ? SavedValue(state, property.countPropertyIndex)
                                : property.count;
        const ULONG first = property.structType.StructStartIndex;
        const ULONG last = first + property.structType.NumOfStructMembers;
        for (ULONG element = 0; element < count && status == ERROR_SUCCESS; ++element) {
          const ULONG before = state->userDataConsumed;
          for (ULONG member = first; member < last && member < info->PropertyCount; ++member) {
            status = PrintProperty(state, info, event, member, output);
            if (status != ERROR_SUCCESS) break;
          }
          if (state->userDataConsumed == before) break;  // an element without bytes once only
        }
      }
      if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
  });
}

ULONG EtwMOFDataParser::PrintProperty(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                      ULONG index, std::string& output) {
  const EVENT_PROPERTY_INFO& property = PropertyAt(info, index);
  const auto* data = static_cast<const BYTE*>(event->UserData);
  const ULONG total = data == nullptr ? 0 : event->UserDataLength;
  if ((property.Flags & PropertyStruct) != 0) {
    // Structures inside structures are not part of MOF classes; their size is unknown, so
    // nothing after one can be read from its right offset: the rendering ends here.
    WriteLog(LOG_ERROR, "ERROR # EtwMOFDataParser::PrintProperties # nested structure, rest of the event not shown");
    state->userDataConsumed = total;
    return ERROR_SUCCESS;
  }
  const ULONG pointerSize = PointerSizeOf(state, event);
  const ULONG count =
      (property.Flags & PropertyParamCount) != 0 ? SavedValue(state, property.countPropertyIndex) : property.count;
  const ULONG length =
      (property.Flags & PropertyParamLength) != 0 ? SavedValue(state, property.lengthPropertyIndex) : property.length;
  PEVENT_MAP_INFO map = nullptr;
  if (GetMapInfo(state, info, event, property, &map) != ERROR_SUCCESS) map = nullptr;
  for (ULONG element = 0; element < count && state->userDataConsumed < total; ++element) {
    const ULONG available = total - state->userDataConsumed;
    const BYTE* at = data + state->userDataConsumed;
    ULONG size = MofElementSize(property.nonStructType.InType, length, pointerSize, at, available);
    if (size > available) size = available;
    const ULONG status = FormatAndPrintData(property, pointerSize, at, size, map, output);
    if (status != ERROR_SUCCESS) return status;
    if (count == 1 && size >= 1 && size <= 4 && index < state->savedValues.size()) {
      ULONG value = 0;
      std::memcpy(&value, at, size);
      state->savedValues[index] = value;
    }
    state->userDataConsumed += size;
    if (size == 0) break;  // an element without bytes once only, whatever the count claims
  }
  return ERROR_SUCCESS;
}

ULONG EtwMOFDataParser::GetMapInfo(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                                   const EVENT_PROPERTY_INFO& property, PEVENT_MAP_INFO* map) {
  return LoggedCallOr("EtwMOFDataParser::GetMapInfo", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    return FetchEventMap(state, info, event, property, map);
  });
}

namespace {

// One MOF value to write: its element's bytes (`size` of them) and how it is declared.
struct MofValue {
  USHORT inType;
  USHORT outType;
  ULONG pointerSize;
  const BYTE* data;
  ULONG size;
  const EVENT_MAP_INFO* map;
};

using MofRenderer = void (*)(const MofValue& value, std::string& output);

// False, logged, when the value is shorter than its type.
bool VerifyPropertySize(ULONG size, ULONG expected) {
  if (size >= expected) return true;
  WriteLog(LOG_ERROR, " [VERIFIY_PROPERTY_SIZE] Invalid size, propsize : %lu , expectedsize : %lu",
           static_cast<unsigned long>(size), static_cast<unsigned long>(expected));
  return false;
}

void MofInt8(const MofValue& v, std::string& output) {
  Append(output, "%hd, ", static_cast<short>(static_cast<signed char>(v.data[0])));
}

void MofUInt8(const MofValue& v, std::string& output) {
  Append(output, v.outType == tdh_out::HEXINT8 ? "0x%x, " : "%hu, ", unsigned{v.data[0]});
}

void MofInt16(const MofValue& v, std::string& output) { Append(output, "%hd, ", LoadValue<short>(v.data)); }

void MofUInt16(const MofValue& v, std::string& output) {
  const USHORT value = LoadValue<USHORT>(v.data);
  if (v.outType == tdh_out::HEXINT16) {
    Append(output, "0x%x, ", unsigned{value});
  } else if (v.outType == tdh_out::PORT) {
    Append(output, "%hu, ", static_cast<USHORT>((value >> 8) | (value << 8)));
  } else {
    Append(output, "%hu, ", value);
  }
}

void MofInt32(const MofValue& v, std::string& output) {
  Append(output, v.outType == tdh_out::HRESULT ? "0x%x, " : "%d, ", LoadValue<INT>(v.data));
}

void MofUInt32(const MofValue& v, std::string& output) {
  const UINT value = LoadValue<UINT>(v.data);
  if (v.map != nullptr) {
    EtwMOFDataParser::PrintMapString(v.map, value, output);
  } else if (v.outType == tdh_out::HEXINT32 || (v.outType >= tdh_out::WIN32ERROR && v.outType <= tdh_out::HRESULT)) {
    Append(output, "0x%x, ", value);
  } else if (v.outType == tdh_out::IPV4) {
    Append(output, "%d.%d.%d.%d, ", value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF, value >> 24);
  } else {
    Append(output, "%lu, ", static_cast<unsigned long>(value));
  }
}

void MofInt64(const MofValue& v, std::string& output) { Append(output, "%lld, ", LoadValue<long long>(v.data)); }

void MofUInt64(const MofValue& v, std::string& output) {
  Append(output, v.outType == tdh_out::HEXINT64 ? "0x%llx, " : "%llu, ", LoadValue<unsigned long long>(v.data));
}

void MofHex32(const MofValue& v, std::string& output) { Append(output, "0x%x, ", LoadValue<UINT>(v.data)); }

void MofHex64(const MofValue& v, std::string& output) {
  Append(output, "0x%llx, ", LoadValue<unsigned long long>(v.data));
}

void MofPointer(const MofValue& v, std::string& output) {
  if (v.pointerSize == 4) {
    MofHex32(v, output);
  } else {
    MofHex64(v, output);
  }
}

void MofFloat(const MofValue& v, std::string& output) {
  Append(output, "%f, ", static_cast<double>(LoadValue<float>(v.data)));
}

void MofDouble(const MofValue& v, std::string& output) { Append(output, "%f, ", LoadValue<double>(v.data)); }

void MofBoolean(const MofValue& v, std::string& output) {
  Append(output, "%s, ", LoadValue<UINT>(v.data) != 0 ? "true" : "false");
}

void MofBytes(const MofValue& v, std::string& output) {
  WString address;
  if (v.inType == tdh_in::BINARY && v.outType == tdh_out::IPV6 && v.size == 16 && AppendIpv6Address(v.data, address)) {
    output += ToUtf8(address);
  } else {
    for (ULONG i = 0; i < v.size; ++i) Append(output, "%.2x", unsigned{v.data[i]});
  }
  output += ", ";
}

void MofGuid(const MofValue& v, std::string& output) {
  LPOLESTR text = nullptr;
  if (SUCCEEDED(StringFromCLSID(LoadValue<GUID>(v.data), &text))) {
    Append(output, "%s, ", ToUtf8(text).c_str());
    CoTaskMemFree(text);
  }
}

void MofSid(const MofValue& v, std::string& output) {
  // A WBEM SID follows two pointer-size fields (the TOKEN_USER it was copied from).
  const ULONG skip = v.inType == tdh_in::WBEMSID ? 2 * v.pointerSize : 0;
  const ULONG sidSize = v.size > skip ? SidLength(v.data + skip, v.size - skip) : 0;
  if (sidSize == 0) {
    const ULONG expected = v.size >= skip + 8 ? skip + 8 + 4 * ULONG{v.data[skip + 1]} : skip + 8;
    if (VerifyPropertySize(v.size, expected)) {
      WriteLog(LOG_ERROR, "LookupAccountSid failed with %lu\n", static_cast<unsigned long>(ERROR_INVALID_SID));
    }
    return;
  }
  std::string account;
  if (AccountOfSid(v.data + skip, account)) {
    Append(output, "%s, ", account.c_str());
  } else {
    // No account: the SID itself, so that the value is not lost.
    WString text;
    AppendSidText(v.data + skip, text);
    Append(output, "%s, ", ToUtf8(text).c_str());
  }
}

void MofWideString(const MofValue& v, std::string& output) {
  ULONG count = v.size / 2;
  while (count > 0 && LoadValue<WCHAR>(v.data + (count - 1) * 2) == 0) --count;
  WString wide(count, 0);
  if (count > 0) std::memcpy(wide.data(), v.data, count * 2);
  AppendUtf8(wide.data(), wide.size(), output);
  output += ", ";
}

void MofAnsiString(const MofValue& v, std::string& output) {
  ULONG count = v.size;
  while (count > 0 && v.data[count - 1] == 0) --count;
  Append(output, "%.*s, ", static_cast<int>(count), reinterpret_cast<const char*>(v.data));
}

void MofWideChar(const MofValue& v, std::string& output) {
  const WCHAR c = LoadValue<WCHAR>(v.data);
  AppendUtf8(&c, 1, output);
  output += ", ";
}

void MofAnsiChar(const MofValue& v, std::string& output) { Append(output, "%c, ", static_cast<char>(v.data[0])); }

// File and system times are not written.
void MofNothing(const MofValue&, std::string&) {}

// How each in-type is written. `expected` is the size the value must have, checked (and a
// shortfall logged) before the renderer runs: 0 when any size will do or the renderer checks,
// kPointerSized for a pointer of the event's size.
constexpr ULONG kPointerSized = ~ULONG{0};

struct MofFormat {
  USHORT inType;
  ULONG expected;
  MofRenderer render;
};

constexpr MofFormat kMofFormats[] = {
    {tdh_in::INT8, 1, MofInt8},
    {tdh_in::UINT8, 1, MofUInt8},
    {tdh_in::INT16, 2, MofInt16},
    {tdh_in::UINT16, 2, MofUInt16},
    {tdh_in::INT32, 4, MofInt32},
    {tdh_in::UINT32, 4, MofUInt32},
    {tdh_in::INT64, 8, MofInt64},
    {tdh_in::UINT64, 8, MofUInt64},
    {tdh_in::HEXINT32, 4, MofHex32},
    {tdh_in::HEXINT64, 8, MofHex64},
    {tdh_in::POINTER, kPointerSized, MofPointer},
    {tdh_in::SIZET, kPointerSized, MofPointer},
    {tdh_in::FLOAT, 4, MofFloat},
    {tdh_in::DOUBLE, 8, MofDouble},
    {tdh_in::BOOLEAN, 4, MofBoolean},
    {tdh_in::BINARY, 0, MofBytes},
    {tdh_in::HEXDUMP, 0, MofBytes},
    {tdh_in::GUID_TYPE, 16, MofGuid},
    {tdh_in::SID, 0, MofSid},
    {tdh_in::WBEMSID, 0, MofSid},
    {tdh_in::UNICODESTRING, 0, MofWideString},
    {tdh_in::NONNULLTERMINATEDSTRING, 0, MofWideString},
    {tdh_in::ANSISTRING, 0, MofAnsiString},
    {tdh_in::NONNULLTERMINATEDANSISTRING, 0, MofAnsiString},
    {tdh_in::UNICODECHAR, 2, MofWideChar},
    {tdh_in::ANSICHAR, 1, MofAnsiChar},
    {tdh_in::FILETIME, 0, MofNothing},
    {tdh_in::SYSTEMTIME, 0, MofNothing},
};

}  // namespace

void EtwMOFDataParser::PrintMapString(const EVENT_MAP_INFO* map, ULONG value, std::string& output) {
  WString text;
  if (FormatMappedValue(map, value, text)) {
    output += ToUtf8(text);
  } else {
    Append(output, "%lu", static_cast<unsigned long>(value));
  }
  output += ", ";
}

ULONG EtwMOFDataParser::FormatAndPrintData(const EVENT_PROPERTY_INFO& property, ULONG pointerSize, const BYTE* data,
                                           ULONG size, const EVENT_MAP_INFO* map, std::string& output) {
  const MofValue value{property.nonStructType.InType, property.nonStructType.OutType, pointerSize, data, size, map};
  for (const MofFormat& format : kMofFormats) {
    if (format.inType != value.inType) continue;
    const ULONG expected = format.expected == kPointerSized ? (pointerSize == 4 ? 4 : 8) : format.expected;
    if (VerifyPropertySize(size, expected)) format.render(value, output);
    return ERROR_SUCCESS;
  }
  return ERROR_NOT_FOUND;
}
