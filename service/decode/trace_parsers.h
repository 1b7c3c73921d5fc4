// The three parsers that turn one ETW event into its text, chosen by the event's decoding
// source: ETWTraceParser (instrumentation manifest), WPPTraceParser (WPP), EtwMOFDataParser
// (MOF class). One shared instance of each lives for the whole process; they keep no
// per-event state, everything per event is in the ETW_DECODING_STATE handed in.
//
// ETWTraceParser formats every top-level property (structures member by member), inserts the
// property texts into the event's message template (%1 is the first top-level property) and
// puts "<provider name>-->" before it. A template that names more insertions than the event
// has properties gets empty texts for the missing ones.
//
// EtwMOFDataParser writes "Event GUID: {..}, Event version: v, Event type: t, <time>, " and
// then every top-level property as "<value>, ": the header fragments are separated by one
// blank, like the properties. The time stamp is the event's UTC time as
// "MM/dd/yyyy HH:mm:ss.<100 ns units>", converted from the session's raw stamps by the clock
// reference the consumer handed in (TdhParserImpl::SetSessionClock); a stamp that cannot be
// dated is written as the number it is. Hexadecimal 32- and 64-bit values and pointers are
// written "0x%x, " / "0x%llx, " in lower case like the MOF parser's other hexadecimal forms.
// Structures are rendered member by member, element by element, so that every later property
// is read where it starts. A SID takes the length its own sub-authority count gives; it is
// written as the account "domain\name", or as its string form "S-1-..." when the account
// lookup fails (logged).
#pragma once

#include <string>

#include "property_formatter.h"

class ITraceParserInterface {
 public:
  virtual ~ITraceParserInterface() = default;
  // Appends the event's text to `output`; 0 or a Win32 error code.
  virtual ULONG DecodeTrace(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, ULONG infoSize,
                            PEVENT_RECORD event, std::string& output) = 0;
};

class ETWTraceParser : public ITraceParserInterface {
 public:
  ULONG DecodeTrace(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, ULONG infoSize, PEVENT_RECORD event,
                    std::string& output) override;
  static ETWTraceParser& Instance();

 private:
  ULONG PopulateETWEventData(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event);
  ULONG DumpComplexType(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                        ULONG propertyIndex, WString& text);
  ULONG DumpSimpleType(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                       ULONG propertyIndex, WString& text);
  ULONG CheckForMap(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                    const EVENT_PROPERTY_INFO& property, PEVENT_MAP_INFO* map);
  ULONG FormatProperty(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                       const EVENT_PROPERTY_INFO& property, USHORT length, PEVENT_MAP_INFO map, WString& text);
};

class WPPTraceParser : public ITraceParserInterface {
 public:
  ULONG DecodeTrace(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, ULONG infoSize, PEVENT_RECORD event,
                    std::string& output) override;
  static WPPTraceParser& Instance();
};

class EtwMOFDataParser : public ITraceParserInterface {
 public:
  ULONG DecodeTrace(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, ULONG infoSize, PEVENT_RECORD event,
                    std::string& output) override;
  static EtwMOFDataParser& Instance();
  // The text of an integer through its value map followed by ", "; the number when no entry
  // matches.
  static void PrintMapString(const EVENT_MAP_INFO* map, ULONG value, std::string& output);

 private:
  ULONG PrintProperties(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                        std::string& output);
  // Every element of one property that is not a structure (a top-level one or a member).
  ULONG PrintProperty(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event, ULONG index,
                      std::string& output);
  ULONG GetMapInfo(ETW_DECODING_STATE* state, const TRACE_EVENT_INFO* info, PEVENT_RECORD event,
                   const EVENT_PROPERTY_INFO& property, PEVENT_MAP_INFO* map);
  ULONG FormatAndPrintData(const EVENT_PROPERTY_INFO& property, ULONG pointerSize, const BYTE* data, ULONG size,
                           const EVENT_MAP_INFO* map, std::string& output);
};
