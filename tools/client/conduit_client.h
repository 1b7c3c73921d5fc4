// A client of the Conduit service's remote API, for host tools, tests and benchmarks.
//
// One request per call: the request is sent in one piece (the service reads one request per
// receive), then bytes are read until one whole response envelope has arrived. Responses
// carry no length prefix, so "whole" means that the envelope decodes; a time-out bounds the
// wait. Not thread-safe: use one client per thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "conduit_protocol.h"
#include "wire_codec.h"

namespace conduit::host {

// The operations by the numbers the service knows them by (Ping is answered with the text
// "conduit" under protocol::kPingAnswerFunction).
using protocol::FunctionCode;

// A failure to reach the service or to read its answer (not an error status).
class ConnectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ProviderSetting {
  std::string name;  // or the GUID text, for the by-GUID codes
  std::uint8_t level = 4;
  std::uint64_t matchAnyKeyword = 0;
  std::uint64_t matchAllKeyword = 0;
};

// The GUID of function 0's record for a name the target does not know.
inline constexpr char kZeroGuidText[] = "{00000000-0000-0000-0000-000000000000}";

struct ProviderManifest {
  std::string name;
  std::string guid;  // brace form
  std::string manifest;
};

// The readable text of an error response's result stream: the last text item in it (the
// service appends its error text after anything an operation had already written).
std::string error_text(const Bytes& result);

class ConduitClient {
 public:
  // `source`: the local IPv4 address to connect from (numeric), any when empty. The
  // service admits only some peer addresses, so a host with several may have to choose.
  ConduitClient(const std::string& host, std::uint16_t port,
                std::chrono::milliseconds timeout = std::chrono::seconds(10), const std::string& source = "");
  ~ConduitClient();
  ConduitClient(const ConduitClient&) = delete;
  ConduitClient& operator=(const ConduitClient&) = delete;

  // Sends `request` as it is and returns the response envelope.
  Envelope call(const Envelope& request);
  // Sends arbitrary bytes and returns what came back until a whole envelope decoded, the
  // peer closed, or the time-out ran out (then possibly nothing); `why_unanswered` then says
  // which of the last two it was.
  Bytes exchange_raw(const Bytes& request);
  // Why the last exchange ended without a whole envelope, for the engineer: the likely causes
  // of a closed connection or of the silence. Empty after a whole envelope.
  const std::string& why_unanswered() const { return m_unanswered; }
  // True when the service has closed its end of the connection (or the connection broke),
  // found without sending anything or waiting: the service sends nothing unasked, so
  // anything readable between requests is the close.
  bool peer_closed();

  // Typed requests. Each returns the response; a status other than 0 is not thrown.
  Envelope ping();
  Envelope max_processor_frequency();
  Envelope set_sync_type(std::uint32_t sinkType);
  Envelope all_providers();
  Envelope provider_manifests(const std::vector<std::string>& names);
  Envelope start_session(const std::string& session);
  Envelope stop_session(const std::string& session);
  Envelope redirect(const std::string& session);
  Envelope enable_providers(const std::string& session, const std::vector<ProviderSetting>& providers);
  Envelope enable_providers_by_guid(const std::string& session, const std::vector<ProviderSetting>& providers);
  Envelope disable_providers(const std::string& session, const std::vector<std::string>& names);
  Envelope disable_providers_by_guid(const std::string& session, const std::vector<std::string>& guids);

 private:
  void send_all(const Bytes& bytes);
  std::string closed_without_answer(const std::string& what) const;
  Envelope request(FunctionCode code, std::uint32_t paramCount, Bytes params);

  int m_socket = -1;
  std::chrono::milliseconds m_timeout;
  std::string m_peer;  // HOST:PORT, for messages
  std::string m_unanswered;
};

// Decoders of successful results.
std::vector<std::string> decode_text_list(const Bytes& result);
std::vector<ProviderManifest> decode_manifests(const Bytes& result);
std::uint64_t decode_u64(const Bytes& result);
std::string decode_text(const Bytes& result);

}  // namespace conduit::host
