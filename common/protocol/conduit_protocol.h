// The numbers of Conduit's remote API, named once for both ends: the service's dispatcher and
// session operations, and the host tools that send requests to it.
//
// A request names its operation by a function code; a session start creates the trace sink
// of the type last chosen with SetSyncType; every response carries a status. The wire record
// that carries these numbers (each a u32 field) is drawn in the service's wire_records.h.
//
// Plain C++ with fixed-width types and no Windows types, so that code built for either side
// can include it.
#pragma once

#include <cstdint>

namespace conduit::protocol {

// The `function` field of a request, and of its response (except for Ping's answer).
enum class FunctionCode : std::uint32_t {
  GetProviderManifests = 0,
  GetAllProviders = 1,
  StartTraceSession = 2,
  StopTraceSession = 3,
  GetMaxProcessorFrequency = 4,
  EnableProviders = 5,
  DisableProviders = 6,
  RedirectTrace = 7,
  Ping = 8,
  SetSyncType = 9,
  EnableProvidersByGuid = 10,
  DisableProvidersByGuid = 11,
};

// Peers recognise the service by its answer to Ping: the text "conduit" under this function
// code rather than Ping's own.
inline constexpr FunctionCode kPingAnswerFunction = FunctionCode::StartTraceSession;

// The trace sink a session start creates (SetSyncType's one parameter).
enum class SinkType : std::uint32_t {
  PlainFile = 1,
  Hardware = 2,
  StpFile = 3,  // MIPI STP packets in a file
};

inline constexpr bool IsSinkType(std::uint32_t value) {
  return value >= static_cast<std::uint32_t>(SinkType::PlainFile) &&
         value <= static_cast<std::uint32_t>(SinkType::StpFile);
}

// The `status` field of a response.
enum class ResponseStatus : std::uint32_t {
  Success = 0,
  // The operation failed (its error text is in the result), or the function code is unknown.
  Failed = 1,
  // The parameter count is not the code's, or the sink type is out of range.
  BadParameters = 2,
};

// The value a u32 field of the wire record carries for one of the names above.
inline constexpr std::uint32_t ToWire(FunctionCode code) { return static_cast<std::uint32_t>(code); }
inline constexpr std::uint32_t ToWire(SinkType type) { return static_cast<std::uint32_t>(type); }
inline constexpr std::uint32_t ToWire(ResponseStatus status) { return static_cast<std::uint32_t>(status); }

}  // namespace conduit::protocol
