// The event decoder of one ETW consumer: turns an event record into the body of a trace
// record (handle type, 16-bit payload length, payload); the consumer puts the magic and the
// record length in front.
//
// Events of two providers travel raw: the DUX provider {4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}
// as type 2 and the VEX provider {50535F19-6E34-4032-8BE4-768BA2EBA247} as type 3, their
// payload the event's user data without its first two bytes. Their extended-data items are
// never part of the record. Every other event is decoded to UTF-8 text on this machine and
// travels as type 0: size, marker 0xED01, the 80-byte event header, the buffer context, an
// 8-byte frequency left zero for the encoder, the text length, the text and a zero byte.
//
// An empty result means nothing is sent for the event. A text too long for the 16-bit payload
// length is cut so that the payload fits, rather than letting the length wrap.
//
// Thread safety: one TdhParserImpl serves one consumer thread at a time.
#pragma once

#include <string>
#include <vector>

#include "windows.h"
#include "evntrace.h"
#include "property_formatter.h"

class ITdhParsingInterface {
 public:
  virtual std::string GetETWData(PEVENT_RECORD event) = 0;
  virtual std::string EtwGetCustomMessageString(PEVENT_RECORD event, const std::string& message) = 0;
  virtual ~ITdhParsingInterface() = default;
};

class TdhParserImpl : public ITdhParsingInterface {
 public:
  TdhParserImpl();
  ~TdhParserImpl() override;
  TdhParserImpl(const TdhParserImpl&) = delete;
  TdhParserImpl& operator=(const TdhParserImpl&) = delete;

  std::string GetETWData(PEVENT_RECORD event) override;
  std::string EtwGetCustomMessageString(PEVENT_RECORD event, const std::string& message) override;

  std::string EtwEventGetProcessedString(PEVENT_RECORD event);
  std::string GetDUXData(PEVENT_RECORD event);
  std::string GetVEXData(PEVENT_RECORD event);
  void InitEtwLogContext();
  // The clock of the session being consumed, from the logfile header OpenTraceW filled in,
  // for a consumer that asks for raw time stamps: ReservedFlags names the session's clock
  // (1 performance counter, 2 system time, 3 CPU cycles) and PerfFreq its rate. The header
  // holds no performance-counter value of the session's start, so the reference pair is
  // read here, at one instant: call it once the trace is open, before events are decoded.
  void SetSessionClock(const TRACE_LOGFILE_HEADER& header);
  void SetSessionClock(const ETW_SESSION_CLOCK& clock) { m_context.clock = clock; }
  ULONG DecodeETWEvent(ETW_DECODING_STATE* state, PEVENT_RECORD event, std::string& output);
  ULONG GetTraceEventInfo(PEVENT_RECORD event, ETW_DECODING_STATE* state, PTRACE_EVENT_INFO* info);

  // For tests: what the last event left behind.
  const ETW_DECODING_STATE& DecodingState() const { return m_state; }
  bool ContextReady() const { return m_context.ready; }

 private:
  std::string RawRecord(PEVENT_RECORD event, BYTE type, const char* noDataMessage);

  TDH_PROCESSING_CONTEXT m_context;
  ETW_DECODING_STATE m_state;
  std::vector<BYTE> m_eventInfo;
  ULONG m_eventInfoSize = 0;
  std::string m_text;  // the event's text while its record is built
};

// Builds the type-0 record body around `text` (cut to what the 16-bit payload length holds).
std::string BuildEtwTextRecord(const EVENT_RECORD& event, const char* text, std::size_t length);
