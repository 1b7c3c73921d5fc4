#include "tdh_parser.h"

#include <cstring>

#include "log_writer.h"
#include "logged_call.h"
#include "trace_parsers.h"
#include "txr_public.h"

namespace {

// {4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}
const GUID kDuxProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};
// {50535F19-6E34-4032-8BE4-768BA2EBA247}
const GUID kVexProvider = {0x50535F19, 0x6E34, 0x4032, {0x8B, 0xE4, 0x76, 0x8B, 0xA2, 0xEB, 0xA2, 0x47}};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

constexpr std::size_t kRecordHead = TRACE_RECORD_BODY_HEAD;  // type + payload length
constexpr std::size_t kMaxPayload = 0xFFFF;

void PutU16(std::string& bytes, std::size_t offset, std::size_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
}

}  // namespace

std::string BuildEtwTextRecord(const EVENT_RECORD& event, const char* text, std::size_t length) {
  if (length > kMaxPayload - ETW_PAYLOAD_MIN_SIZE) length = kMaxPayload - ETW_PAYLOAD_MIN_SIZE;
  const std::size_t payload = ETW_PAYLOAD_MIN_SIZE + length;
  std::string record(kRecordHead + payload, '\0');
  record[0] = static_cast<char>(TRACE_RECORD_TYPE_ETW);
  PutU16(record, 1, payload);
  char* body = record.data() + kRecordHead;
  body[ETW_PAYLOAD_SIZE_OFFSET] = static_cast<char>(payload & 0xFF);
  body[ETW_PAYLOAD_SIZE_OFFSET + 1] = static_cast<char>(payload >> 8);
  body[ETW_PAYLOAD_MARKER_OFFSET] = static_cast<char>(ETW_PAYLOAD_MARKER & 0xFF);
  body[ETW_PAYLOAD_MARKER_OFFSET + 1] = static_cast<char>(ETW_PAYLOAD_MARKER >> 8);
  std::memcpy(body + ETW_PAYLOAD_EVENT_HEADER_OFFSET, &event.EventHeader, sizeof event.EventHeader);
  std::memcpy(body + ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET, &event.BufferContext, sizeof event.BufferContext);
  body[ETW_PAYLOAD_TEXT_LENGTH_OFFSET] = static_cast<char>(length & 0xFF);
  body[ETW_PAYLOAD_TEXT_LENGTH_OFFSET + 1] = static_cast<char>(length >> 8);
  if (length > 0) std::memcpy(body + ETW_PAYLOAD_TEXT_OFFSET, text, length);
  return record;
}

TdhParserImpl::TdhParserImpl() { InitEtwLogContext(); }

TdhParserImpl::~TdhParserImpl() {
  if (m_context.module != nullptr) FreeLibrary(m_context.module);
}

void TdhParserImpl::InitEtwLogContext() {
  LoggedAndDropped("TdhParserImpl::InitEtwLogContext", [&] {
    m_context = TDH_PROCESSING_CONTEXT();
    GetFormatPropertyHandle(&m_context.module, &m_context.pfnFormatProperty);
    m_context.defaultPointerSize = sizeof(void*);
    m_state.context = &m_context;
    m_context.ready = true;
  });
  if (!m_context.ready) {
    WriteLog(LOG_ERROR, "ERROR # TdhParserImpl::InitEtwLogContext # InitializeProcessingContext not successful");
  }
}

void TdhParserImpl::SetSessionClock(const TRACE_LOGFILE_HEADER& header) {
  constexpr ULONG kPerformanceCounterClock = 1;
  constexpr ULONG kSystemTimeClock = 2;
  ETW_SESSION_CLOCK clock;
  if (header.ReservedFlags == kSystemTimeClock) {
    m_context.clock = clock;  // the stamps are file times
    return;
  }
  clock.rawTicks = true;
  // A CPU-cycle clock has no reference this process can read: its stamps stay numbers.
  if (header.ReservedFlags == kPerformanceCounterClock) {
    LARGE_INTEGER now{};
    FILETIME wall{};
    if (QueryPerformanceCounter(&now)) {
      GetSystemTimeAsFileTime(&wall);
      clock.ticksPerSecond = header.PerfFreq.QuadPart;
      clock.referenceTicks = now.QuadPart;
      clock.referenceTime = static_cast<LONGLONG>(ULONGLONG{wall.dwHighDateTime} << 32 | wall.dwLowDateTime);
    } else {
      WriteLog(LOG_ERROR, "ERROR # TdhParserImpl::SetSessionClock # QueryPerformanceCounter failed with %lu",
               static_cast<unsigned long>(GetLastError()));
    }
  }
  m_context.clock = clock;
}

std::string TdhParserImpl::GetETWData(PEVENT_RECORD event) {
  return LoggedCallOr("TdhParserImpl::GetETWData", std::string(), [&]() -> std::string {
    if (event == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return {};
    }
    if (SameGuid(event->EventHeader.ProviderId, kDuxProvider)) return GetDUXData(event);
    if (SameGuid(event->EventHeader.ProviderId, kVexProvider)) return GetVEXData(event);
    return EtwEventGetProcessedString(event);
  });
}

std::string TdhParserImpl::EtwGetCustomMessageString(PEVENT_RECORD event, const std::string& message) {
  return LoggedCallOr("TdhParserImpl::EtwGetCustomMessageString", std::string(), [&]() -> std::string {
    if (message.empty()) {
      WriteLog(LOG_ERROR, "userMssage is empty");
      return {};
    }
    if (event == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return {};
    }
    return BuildEtwTextRecord(*event, message.data(), message.size());
  });
}

std::string TdhParserImpl::EtwEventGetProcessedString(PEVENT_RECORD event) {
  return LoggedCallOr("TdhParserImpl::EtwEventGetProcessedString", std::string(), [&]() -> std::string {
    m_state.Reset();
    m_state.context = &m_context;
    event->UserContext = &m_context;
    m_text.clear();  // storage kept from event to event
    if (DecodeETWEvent(&m_state, event, m_text) != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "DecodeETWEvent  Failed");
      return {};
    }
    return BuildEtwTextRecord(*event, m_text.data(), m_text.size());
  });
}

// The payload is the user data after its first two bytes; extended-data items are never part
// of it, and nothing is read beyond the user data.
std::string TdhParserImpl::RawRecord(PEVENT_RECORD event, BYTE type, const char* noDataMessage) {
  if (event->UserData == nullptr || event->UserDataLength <= 2) {
    WriteLog(LOG_ERROR, "%s", noDataMessage);
    return {};
  }
  const std::size_t payload = event->UserDataLength - 2u;
  std::string record(kRecordHead + payload, '\0');
  record[0] = static_cast<char>(type);
  PutU16(record, 1, payload);
  std::memcpy(record.data() + kRecordHead, static_cast<const BYTE*>(event->UserData) + 2, payload);
  return record;
}

std::string TdhParserImpl::GetDUXData(PEVENT_RECORD event) {
  return LoggedCallOr("TdhParserImpl::GetDUXData", std::string(), [&]() -> std::string {
    return RawRecord(event, TRACE_RECORD_TYPE_DUX, "[DUX] No Extended  , user data found");
  });
}

std::string TdhParserImpl::GetVEXData(PEVENT_RECORD event) {
  return LoggedCallOr("TdhParserImpl::GetVEXData", std::string(), [&]() -> std::string {
    return RawRecord(event, TRACE_RECORD_TYPE_VEX, "[VEX] No Extended  , user data found");
  });
}

ULONG TdhParserImpl::GetTraceEventInfo(PEVENT_RECORD event, ETW_DECODING_STATE* state, PTRACE_EVENT_INFO* info) {
  return LoggedCallOr("GetTraceEventInfo", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (event == nullptr || state == nullptr || info == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_INVALID_PARAMETER;
    }
    for (;;) {
      ULONG size = m_eventInfoSize;
      const ULONG status = TdhLib::GetInstance()->pfnTdhGetEventInformation(
          event, 0, nullptr, size == 0 ? nullptr : reinterpret_cast<PTRACE_EVENT_INFO>(m_eventInfo.data()), &size);
      if (status == ERROR_INSUFFICIENT_BUFFER) {
        if (size <= m_eventInfoSize) return ERROR_OUTOFMEMORY;  // a size that does not grow never fits
        try {
          m_eventInfo.resize(size);
        } catch (const std::bad_alloc&) {
          return ERROR_OUTOFMEMORY;
        }
        m_eventInfoSize = size;
        continue;
      }
      if (status != ERROR_SUCCESS) return status;
      *info = reinterpret_cast<PTRACE_EVENT_INFO>(m_eventInfo.data());
      return ERROR_SUCCESS;
    }
  });
}

ULONG TdhParserImpl::DecodeETWEvent(ETW_DECODING_STATE* state, PEVENT_RECORD event, std::string& output) {
  PTRACE_EVENT_INFO info = nullptr;
  const ULONG status = GetTraceEventInfo(event, state, &info);
  if (status != ERROR_SUCCESS) {
    if (event != nullptr && event->UserData != nullptr && event->UserDataLength > 0) {
      const std::size_t chars = (event->UserDataLength + 1u) / 2;
      state->message.assign(chars, 0);
      std::memcpy(state->message.data(), event->UserData, event->UserDataLength);
    } else if (state != nullptr) {
      state->errorText = "Extended Event information , userData not found";
    }
    return status;
  }
  switch (static_cast<ULONG>(info->DecodingSource)) {
    case 0:  // DecodingSourceXMLFile
      return ETWTraceParser::Instance().DecodeTrace(state, info, m_eventInfoSize, event, output);
    case 1:  // DecodingSourceWbem
      return EtwMOFDataParser::Instance().DecodeTrace(state, info, m_eventInfoSize, event, output);
    case 2:  // DecodingSourceWPP
      return WPPTraceParser::Instance().DecodeTrace(state, info, m_eventInfoSize, event, output);
    case 3:  // DecodingSourceTlg, which older SDKs do not name
      output = ">>>>>>ERROR [DecodingSourceTlg] is not supported with TXR Driver";
      return ERROR_SUCCESS;
    default:
      output = ">>>>>>ERROR [Invalid Decoding Source] not supported with TXR Driver [ " +
               std::to_string(static_cast<unsigned long>(info->DecodingSource)) + " ]";
      return ERROR_SUCCESS;
  }
}
