#include "conduit_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace conduit::host {
namespace {

std::string system_error_text(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string error_text(const Bytes& result) {
  WireReader reader(result);
  std::string last;
  try {
    while (reader.remaining() > 0) last = reader.text();
  } catch (const std::exception&) {
    return last.empty() ? to_hex(result) : last;
  }
  return last;
}

ConduitClient::ConduitClient(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                             const std::string& source)
    : m_timeout(timeout), m_peer(host + ":" + std::to_string(port)) {
  sockaddr_in local{};
  if (!source.empty()) {
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1) {
      throw ConnectionError("not an IPv4 address: " + source);
    }
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw ConnectionError("cannot resolve " + host + ": " + ::gai_strerror(rc));
  }
  std::string failure = "no address for " + host;
  for (addrinfo* at = found; at; at = at->ai_next) {
    int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) {
      failure = system_error_text("socket");
      continue;
    }
    if (!source.empty() && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      failure = system_error_text("cannot connect from " + source);
      ::close(fd);
      continue;
    }
    if (::connect(fd, at->ai_addr, at->ai_addrlen) == 0) {
      m_socket = fd;
      break;
    }
    failure = system_error_text("cannot connect to " + host + ":" + service);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  if (m_socket < 0) throw ConnectionError(failure);
  int one = 1;
  ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

ConduitClient::~ConduitClient() {
  if (m_socket >= 0) ::close(m_socket);
}

void ConduitClient::send_all(const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(m_socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A reset before anything was answered: the service refuses a peer it does not admit
      // by resetting the connection as it accepts it.
      if (errno == ECONNRESET || errno == EPIPE) {
        throw ConnectionError(closed_without_answer("no answer (" + std::string(std::strerror(errno)) + ")"));
      }
      throw ConnectionError(system_error_text("send"));
    }
    sent += static_cast<std::size_t>(n);
  }
}

Bytes ConduitClient::exchange_raw(const Bytes& request) {
  m_unanswered.clear();
  send_all(request);
  Bytes received;
  const auto deadline = std::chrono::steady_clock::now() + m_timeout;
  std::uint8_t chunk[65536];
  bool closed = false;
  std::string reset;  // why a receive failed, when it did
  while (!try_decode(received)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd waiting{m_socket, POLLIN, 0};
    int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = ::recv(m_socket, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) reset = std::string(" (") + std::strerror(errno) + ")";
      closed = true;
      break;
    }
    received.insert(received.end(), chunk, chunk + n);
  }
  if (!try_decode(received)) {
    const std::string got =
        received.empty() ? "no answer" : "an incomplete answer of " + std::to_string(received.size()) + " bytes";
    m_unanswered = closed ? closed_without_answer(got + reset)
                          : m_peer + " sent " + got + " within " + std::to_string(m_timeout.count()) +
                                " ms: the target is busy or unreachable, or what listens there is not Conduit";
  }
  return received;
}

std::string ConduitClient::closed_without_answer(const std::string& what) const {
  // Both causes look alike from here: the service closes a peer it does not admit before
  // reading anything, and a listener that is not Conduit may close on a request it does not
  // understand (as Conduit does on one it cannot decode).
  return m_peer + " closed the connection with " + what +
         ": either this host is not admitted (Conduit answers only peers at 127.0.0.1 and 169.x.x.x, closing any "
         "other connection at once; choose the local address with --source), or what listens there is not "
         "Conduit (or did not understand the request)";
}

bool ConduitClient::peer_closed() {
  pollfd waiting{m_socket, POLLIN, 0};
  if (::poll(&waiting, 1, 0) <= 0) return false;
  if ((waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return true;
  std::uint8_t byte;
  const ssize_t n = ::recv(m_socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

Envelope ConduitClient::call(const Envelope& request) {
  Bytes received = exchange_raw(encode(request));
  auto decoded = try_decode(received);
  if (!decoded) throw ConnectionError(m_unanswered);
  return std::move(decoded->first);
}

Envelope ConduitClient::request(FunctionCode code, std::uint32_t paramCount, Bytes params) {
  Envelope envelope;
  envelope.function = protocol::ToWire(code);
  envelope.paramCount = paramCount;
  envelope.params = std::move(params);
  return call(envelope);
}

Envelope ConduitClient::ping() { return request(FunctionCode::Ping, 0, {}); }

Envelope ConduitClient::max_processor_frequency() { return request(FunctionCode::GetMaxProcessorFrequency, 0, {}); }

Envelope ConduitClient::set_sync_type(std::uint32_t sinkType) {
  return request(FunctionCode::SetSyncType, 1, WireWriter().u32(sinkType).take());
}

Envelope ConduitClient::all_providers() { return request(FunctionCode::GetAllProviders, 0, {}); }

Envelope ConduitClient::provider_manifests(const std::vector<std::string>& names) {
  WireWriter params;
  params.u32(static_cast<std::uint32_t>(names.size()));
  for (const auto& name : names) params.text(name);
  return request(FunctionCode::GetProviderManifests, 1, params.take());
}

Envelope ConduitClient::start_session(const std::string& session) {
  return request(FunctionCode::StartTraceSession, 1, WireWriter().text(session).take());
}

Envelope ConduitClient::stop_session(const std::string& session) {
  return request(FunctionCode::StopTraceSession, 1, WireWriter().text(session).take());
}

Envelope ConduitClient::redirect(const std::string& session) {
  return request(FunctionCode::RedirectTrace, 1, WireWriter().text(session).take());
}

Envelope ConduitClient::enable_providers(const std::string& session, const std::vector<ProviderSetting>& providers) {
  WireWriter params;
  params.text(session).u32(static_cast<std::uint32_t>(providers.size()));
  for (const auto& p : providers) params.text(p.name).u8(p.level).u64(p.matchAnyKeyword).u64(p.matchAllKeyword);
  return request(FunctionCode::EnableProviders, 2, params.take());
}

Envelope ConduitClient::enable_providers_by_guid(const std::string& session,
                                                 const std::vector<ProviderSetting>& providers) {
  WireWriter params;
  params.text(session).u32(static_cast<std::uint32_t>(providers.size()));
  // The by-GUID record puts the GUID text first and carries an (empty) name last.
  for (const auto& p : providers) params.text(p.name).u8(p.level).u64(p.matchAnyKeyword).u64(p.matchAllKeyword).text("");
  return request(FunctionCode::EnableProvidersByGuid, 2, params.take());
}

Envelope ConduitClient::disable_providers(const std::string& session, const std::vector<std::string>& names) {
  WireWriter params;
  params.text(session).u32(static_cast<std::uint32_t>(names.size()));
  for (const auto& name : names) params.text(name);
  return request(FunctionCode::DisableProviders, 2, params.take());
}

Envelope ConduitClient::disable_providers_by_guid(const std::string& session, const std::vector<std::string>& guids) {
  WireWriter params;
  params.text(session).u32(static_cast<std::uint32_t>(guids.size()));
  for (const auto& guid : guids) params.text(guid);
  return request(FunctionCode::DisableProvidersByGuid, 2, params.take());
}

std::vector<std::string> decode_text_list(const Bytes& result) {
  WireReader reader(result);
  std::uint32_t count = reader.u32();
  std::vector<std::string> out;
  // Each text takes at least its 4-byte length, which bounds a believable count.
  if (count > reader.remaining() / 4) throw TruncatedInput("list of " + std::to_string(count) + " texts");
  out.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) out.push_back(reader.text());
  return out;
}

std::vector<ProviderManifest> decode_manifests(const Bytes& result) {
  WireReader reader(result);
  std::uint32_t count = reader.u32();
  if (count > reader.remaining() / 28) throw TruncatedInput("list of " + std::to_string(count) + " manifests");
  std::vector<ProviderManifest> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    ProviderManifest manifest;
    manifest.name = reader.text();
    manifest.guid = syst::guid_text(reader.guid());
    manifest.manifest = reader.text();
    out.push_back(std::move(manifest));
  }
  return out;
}

std::uint64_t decode_u64(const Bytes& result) {
  WireReader reader(result);
  return reader.u64();
}

std::string decode_text(const Bytes& result) {
  WireReader reader(result);
  return reader.text();
}

}  // namespace conduit::host
