// Windows Sockets over BSD sockets. See winsock2.h for the contract.
#include "winsock2.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/core/faults.h"
#include "win32_controls/socket_controls.h"
#include "platform/core/handles.h"
#include "platform/core/target.h"
#include "winsock_host.h"
#include "ws2tcpip.h"

namespace {

namespace bsd = platform::bsd;

// Linux's own ceiling on a listen backlog; SOMAXCONN as Windows defines it is far above.
constexpr int kMaximumBacklog = 4096;

struct SocketEntry : platform::HandleObject {
  explicit SocketEntry(int descriptor) : fd(descriptor) {}
  // The descriptor lives as long as any call still uses it, so a socket closed on one thread
  // never leaves another thread working on a descriptor number the kernel has handed out again.
  ~SocketEntry() override { bsd::close_descriptor(fd); }
  SocketEntry(const SocketEntry&) = delete;
  SocketEntry& operator=(const SocketEntry&) = delete;

  const int fd;
  std::atomic<bool> closed{false};
  std::atomic<bool> bound{false};
  std::atomic<bool> listening{false};
  std::atomic<bool> receive_shut{false};
  std::atomic<bool> send_shut{false};
};
using EntryPointer = std::shared_ptr<SocketEntry>;

std::mutex g_mutex;
int g_startups = 0;
// Sockets that listen, for the target's own view of its ports: a port that some other
// process of the host listens on is not this target's.
std::vector<std::weak_ptr<SocketEntry>> g_listeners;

// The one place where a Linux errno becomes the code Windows reports.
int wsa_error_from_errno(int error) {
  switch (error) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSASYSCALLFAILURE;
  }
}

int fail(long code) {
  ::SetLastError(static_cast<DWORD>(code));
  return SOCKET_ERROR;
}

SOCKET fail_socket(long code) {
  ::SetLastError(static_cast<DWORD>(code));
  return INVALID_SOCKET;
}

bool is_initialised() {
  std::lock_guard lock(g_mutex);
  return g_startups > 0;
}

// The entry behind a handle, or null with the last error set as Windows would.
EntryPointer find_socket(SOCKET s) {
  std::lock_guard lock(g_mutex);
  if (g_startups == 0) {
    ::SetLastError(WSANOTINITIALISED);
    return nullptr;
  }
  auto entry = platform::lookup_handle_as<SocketEntry>(s);
  if (!entry) ::SetLastError(WSAENOTSOCK);
  return entry;
}

SOCKET register_socket(int fd, bool is_bound = false) {
  auto entry = std::make_shared<SocketEntry>(fd);
  entry->bound = is_bound;
  return platform::insert_handle(std::move(entry));
}

// Marks the entry closed and wakes any call blocked on it on another thread; the descriptor
// itself goes when the last of those calls lets go.
void retire(EntryPointer entry) {
  entry->closed = true;
  if (entry->listening || entry.use_count() > 1) bsd::shutdown_socket(entry->fd, SD_BOTH);
}

void close_all_sockets() {
  auto sockets = platform::remove_handles(
      [](const platform::HandleObject& object) { return dynamic_cast<const SocketEntry*>(&object) != nullptr; });
  for (auto& entry : sockets) retire(std::static_pointer_cast<SocketEntry>(std::move(entry)));
}


SOCKET accept_socket(SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC condition, DWORD_PTR callback_data) {
  EntryPointer entry = find_socket(s);
  if (!entry) return INVALID_SOCKET;
  if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(sockaddr_in)))) return fail_socket(WSAEFAULT);
  if (!entry->listening) return fail_socket(WSAEINVAL);

  sockaddr_in peer{};
  int fd = -1;
  for (;;) {
    int peer_length = sizeof(peer);
    fd = bsd::accept_connection(entry->fd, &peer, &peer_length);
    if (fd >= 0) break;
    int error = errno;
    if (entry->closed) return fail_socket(WSAEINTR);
    if (error == EINTR) continue;
    return fail_socket(wsa_error_from_errno(error));
  }

  if (condition) {
    sockaddr_in local{};
    int local_length = sizeof(local);
    bsd::local_address(fd, &local, &local_length);
    WSABUF caller_id{sizeof(peer), reinterpret_cast<CHAR*>(&peer)};
    WSABUF callee_id{sizeof(local), reinterpret_cast<CHAR*>(&local)};
    GROUP group = 0;
    int verdict = condition(&caller_id, nullptr, nullptr, nullptr, &callee_id, nullptr, &group, callback_data);
    if (verdict != CF_ACCEPT) {
      // Windows resets a connection its condition function turns away.
      bsd::close_with_reset(fd);
      if (verdict == CF_REJECT) return fail_socket(WSAECONNREFUSED);
      // Deferral needs conditional accept, which the stand-in does not offer.
      return fail_socket(verdict == CF_DEFER ? WSATRY_AGAIN : WSAEINVAL);
    }
  }

  SOCKET accepted = register_socket(fd, true);
  if (addr) {
    std::memcpy(addr, &peer, sizeof(peer));
    *addrlen = sizeof(peer);
  }
  return accepted;
}

}  // namespace

namespace platform::win32 {

std::vector<unsigned> listening_ports() {
  std::vector<EntryPointer> listeners;
  {
    std::lock_guard lock(g_mutex);
    for (const auto& weak : g_listeners) {
      if (EntryPointer entry = weak.lock(); entry && !entry->closed) listeners.push_back(std::move(entry));
    }
  }
  std::vector<unsigned> ports;
  for (const EntryPointer& entry : listeners) {
    sockaddr_in local{};
    int length = sizeof(local);
    if (bsd::local_address(entry->fd, &local, &length) == 0) ports.push_back(ntohs(local.sin_port));
  }
  return ports;
}

// Stops what runs: every socket closes, so a thread blocked in accept or recv returns.
void close_sockets() {
  close_all_sockets();
  std::lock_guard lock(g_mutex);
  g_startups = 0;
}

}  // namespace platform::win32

int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
  if (auto armed = platform::take_fault("WSAStartup")) return static_cast<int>(*armed);
  if (!lpWSAData) return WSAEFAULT;
  BYTE major = LOBYTE(wVersionRequested);
  BYTE minor = HIBYTE(wVersionRequested);
  if (major < 1) return WSAVERNOTSUPPORTED;
  // The highest version this implementation offers is 2.2; a caller that asks for more is
  // given 2.2 and decides itself whether that will do.
  bool above_highest = major > 2 || (major == 2 && minor > 2);
  std::memset(lpWSAData, 0, sizeof(*lpWSAData));
  lpWSAData->wVersion = above_highest ? MAKEWORD(2, 2) : wVersionRequested;
  lpWSAData->wHighVersion = MAKEWORD(2, 2);
  std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
  std::strcpy(lpWSAData->szSystemStatus, "Running");
  std::lock_guard lock(g_mutex);
  ++g_startups;
  return 0;
}

int WSAAPI WSACleanup() {
  PLATFORM_FAIL_IF_ARMED("WSACleanup", SOCKET_ERROR);
  bool last = false;
  {
    std::lock_guard lock(g_mutex);
    if (g_startups == 0) return fail(WSANOTINITIALISED);
    last = --g_startups == 0;
  }
  // The last cleanup of a process closes whatever sockets it left open, as on Windows.
  if (last) close_all_sockets();
  return 0;
}

int WSAAPI WSAGetLastError() { return static_cast<int>(::GetLastError()); }

void WSAAPI WSASetLastError(int iError) { ::SetLastError(static_cast<DWORD>(iError)); }

SOCKET WSAAPI socket(int af, int type, int protocol) {
  PLATFORM_FAIL_IF_ARMED("socket", INVALID_SOCKET);
  if (!is_initialised()) return fail_socket(WSANOTINITIALISED);
  if (af != AF_INET) return fail_socket(WSAEAFNOSUPPORT);
  int fd = bsd::open_stream_socket(af, type, protocol);
  if (fd < 0) return fail_socket(wsa_error_from_errno(errno));
  return register_socket(fd);
}

int WSAAPI bind(SOCKET s, const sockaddr* name, int namelen) {
  PLATFORM_FAIL_IF_ARMED("bind", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
  if (name->sa_family != AF_INET) return fail(WSAEAFNOSUPPORT);
  if (bsd::bind_address(entry->fd, name, sizeof(sockaddr_in)) != 0) return fail(wsa_error_from_errno(errno));
  entry->bound = true;
  return 0;
}

int WSAAPI listen(SOCKET s, int backlog) {
  PLATFORM_FAIL_IF_ARMED("listen", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  // Linux would bind an unbound socket to some port here; Windows refuses.
  if (!entry->bound) return fail(WSAEINVAL);
  if (bsd::listen_for(entry->fd, std::clamp(backlog, 0, kMaximumBacklog)) != 0) {
    return fail(wsa_error_from_errno(errno));
  }
  entry->listening = true;
  std::lock_guard lock(g_mutex);
  std::erase_if(g_listeners, [](const std::weak_ptr<SocketEntry>& listener) { return listener.expired(); });
  g_listeners.push_back(entry);
  return 0;
}

SOCKET WSAAPI WSAAccept(SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC lpfnCondition,
                        DWORD_PTR dwCallbackData) {
  PLATFORM_FAIL_IF_ARMED("WSAAccept", INVALID_SOCKET);
  return accept_socket(s, addr, addrlen, lpfnCondition, dwCallbackData);
}

SOCKET WSAAPI accept(SOCKET s, sockaddr* addr, int* addrlen) {
  PLATFORM_FAIL_IF_ARMED("accept", INVALID_SOCKET);
  return accept_socket(s, addr, addrlen, nullptr, 0);
}

int WSAAPI connect(SOCKET s, const sockaddr* name, int namelen) {
  PLATFORM_FAIL_IF_ARMED("connect", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
  if (entry->listening) return fail(WSAEINVAL);
  if (bsd::connect_to(entry->fd, name, sizeof(sockaddr_in)) != 0) {
    int error = errno;
    return fail(entry->closed ? WSAEINTR : wsa_error_from_errno(error));
  }
  entry->bound = true;
  return 0;
}

int WSAAPI getsockname(SOCKET s, sockaddr* name, int* namelen) {
  PLATFORM_FAIL_IF_ARMED("getsockname", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in))) return fail(WSAEFAULT);
  if (!entry->bound) return fail(WSAEINVAL);
  if (bsd::local_address(entry->fd, name, namelen) != 0) return fail(wsa_error_from_errno(errno));
  return 0;
}

int WSAAPI recv(SOCKET s, char* buf, int len, int flags) {
  PLATFORM_FAIL_IF_ARMED("recv", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  if (len < 0) return fail(WSAEFAULT);
  if (flags & ~(MSG_OOB | MSG_PEEK | MSG_WAITALL)) return fail(WSAEOPNOTSUPP);
  if (entry->listening) return fail(WSAENOTCONN);
  if (entry->receive_shut) return fail(WSAESHUTDOWN);
  for (;;) {
    long received = bsd::receive_bytes(entry->fd, buf, static_cast<std::size_t>(len), flags & MSG_PEEK,
                                       flags & MSG_WAITALL, flags & MSG_OOB);
    int error = errno;
    // A close on another thread wakes the call with an orderly end; Windows reports it as
    // an interrupted call instead.
    if (entry->closed) return fail(WSAEINTR);
    if (received >= 0) return static_cast<int>(received);
    if (error == EINTR) continue;
    return fail(wsa_error_from_errno(error));
  }
}

int WSAAPI send(SOCKET s, const char* buf, int len, int flags) {
  PLATFORM_FAIL_IF_ARMED("send", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  if (len < 0) return fail(WSAEFAULT);
  if (flags & ~MSG_OOB) return fail(WSAEOPNOTSUPP);
  if (entry->listening) return fail(WSAENOTCONN);
  if (entry->send_shut) return fail(WSAESHUTDOWN);
  // A blocking send on Windows completes the whole buffer or fails; Linux may stop short
  // when a signal arrives, so carry on from there.
  std::size_t total = 0;
  const auto length = static_cast<std::size_t>(len);
  do {
    long sent = bsd::send_bytes(entry->fd, buf + total, length - total, flags & MSG_OOB);
    int error = errno;
    if (entry->closed) return fail(WSAEINTR);
    if (sent >= 0) {
      total += static_cast<std::size_t>(sent);
      continue;
    }
    if (error == EINTR) continue;
    return fail(wsa_error_from_errno(error));
  } while (total < length);
  return len;
}

int WSAAPI shutdown(SOCKET s, int how) {
  PLATFORM_FAIL_IF_ARMED("shutdown", SOCKET_ERROR);
  EntryPointer entry = find_socket(s);
  if (!entry) return SOCKET_ERROR;
  if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return fail(WSAEINVAL);
  // Linux accepts this on a listening socket and does nothing; Windows finds it unconnected.
  if (entry->listening) return fail(WSAENOTCONN);
  if (bsd::shutdown_socket(entry->fd, how) != 0) return fail(wsa_error_from_errno(errno));
  if (how != SD_SEND) entry->receive_shut = true;
  if (how != SD_RECEIVE) entry->send_shut = true;
  return 0;
}

int WSAAPI closesocket(SOCKET s) {
  PLATFORM_FAIL_IF_ARMED("closesocket", SOCKET_ERROR);
  EntryPointer entry;
  {
    std::lock_guard lock(g_mutex);
    if (g_startups == 0) return fail(WSANOTINITIALISED);
  }
  entry = platform::remove_handle_as<SocketEntry>(s);
  if (!entry) return fail(WSAENOTSOCK);
  retire(std::move(entry));
  return 0;
}

int WSAAPI WSAPoll(LPWSAPOLLFD fdArray, ULONG fds, INT timeout) {
  PLATFORM_FAIL_IF_ARMED("WSAPoll", SOCKET_ERROR);
  if (!is_initialised()) return fail(WSANOTINITIALISED);
  if (!fdArray || fds == 0) return fail(WSAEINVAL);
  std::vector<EntryPointer> entries(fds);
  std::vector<bsd::PollItem> items;
  std::vector<ULONG> polled;
  int invalid = 0;
  for (ULONG i = 0; i < fds; ++i) {
    WSAPOLLFD& slot = fdArray[i];
    if (slot.events & ~(POLLIN | POLLOUT)) return fail(WSAEINVAL);
    slot.revents = 0;
    entries[i] = platform::lookup_handle_as<SocketEntry>(slot.fd);
    if (!entries[i]) {
      slot.revents = POLLNVAL;
      ++invalid;
      continue;
    }
    bsd::PollItem item;
    item.fd = entries[i]->fd;
    item.want_read = slot.events & POLLIN;
    item.want_write = slot.events & POLLOUT;
    items.push_back(item);
    polled.push_back(i);
  }
  // Handles that name no socket are an answer already: do not wait on the others.
  int ready = bsd::poll_items(items.data(), items.size(), invalid > 0 ? 0 : timeout);
  if (ready < 0) return fail(wsa_error_from_errno(errno));
  for (std::size_t k = 0; k < items.size(); ++k) {
    WSAPOLLFD& slot = fdArray[polled[k]];
    SHORT events = 0;
    if (items[k].readable) events |= static_cast<SHORT>(slot.events & POLLRDNORM);
    if (items[k].writable) events |= static_cast<SHORT>(slot.events & POLLWRNORM);
    if (items[k].error) events |= POLLERR;
    if (items[k].hangup) events |= POLLHUP;
    slot.revents = events;
  }
  return ready + invalid;
}

namespace {

// One element of the list getaddrinfo hands out, with its address in the same allocation.
struct AddressNode {
  addrinfo info;
  sockaddr_in address;
};

int resolve_error_code(bsd::ResolveError error) {
  switch (error) {
    case bsd::ResolveError::None: return 0;
    case bsd::ResolveError::NoName: return WSAHOST_NOT_FOUND;
    case bsd::ResolveError::Service: return WSATYPE_NOT_FOUND;
    case bsd::ResolveError::Family: return WSAEAFNOSUPPORT;
    case bsd::ResolveError::SockType: return WSAESOCKTNOSUPPORT;
    case bsd::ResolveError::BadFlags: return WSAEINVAL;
    case bsd::ResolveError::Memory: return WSA_NOT_ENOUGH_MEMORY;
    case bsd::ResolveError::TryAgain: return WSATRY_AGAIN;
    case bsd::ResolveError::Fail: return WSANO_RECOVERY;
    case bsd::ResolveError::System: return wsa_error_from_errno(errno);
  }
  return WSANO_RECOVERY;
}

int resolve_failure(int code) {
  ::SetLastError(static_cast<DWORD>(code));
  return code;
}

}  // namespace

int WSAAPI getaddrinfo(PCSTR pNodeName, PCSTR pServiceName, const ADDRINFOA* pHints, PADDRINFOA* ppResult) {
  if (auto armed = platform::take_fault("getaddrinfo")) return resolve_failure(static_cast<int>(*armed));
  if (!ppResult) return resolve_failure(WSAEINVAL);
  *ppResult = nullptr;
  if (!is_initialised()) return resolve_failure(WSANOTINITIALISED);
  if (!pNodeName && !pServiceName) return resolve_failure(WSAHOST_NOT_FOUND);
  ADDRINFOA hints{};
  if (pHints) hints = *pHints;

  std::vector<bsd::ResolvedAddress> resolved;
  auto error = bsd::resolve(pNodeName, pServiceName, hints.ai_flags, hints.ai_family, hints.ai_socktype,
                            hints.ai_protocol, resolved);
  if (error != bsd::ResolveError::None) return resolve_failure(resolve_error_code(error));

  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  for (const auto& entry : resolved) {
    if (entry.address.size() != sizeof(sockaddr_in)) continue;
    auto* node = new AddressNode{};
    std::memcpy(&node->address, entry.address.data(), sizeof(sockaddr_in));
    node->info.ai_flags = entry.flags;
    node->info.ai_family = entry.family;
    node->info.ai_socktype = entry.socktype;
    node->info.ai_protocol = entry.protocol;
    node->info.ai_addrlen = sizeof(sockaddr_in);
    node->info.ai_addr = reinterpret_cast<sockaddr*>(&node->address);
    if (entry.has_canonical_name) {
      node->info.ai_canonname = new char[entry.canonical_name.size() + 1];
      std::memcpy(node->info.ai_canonname, entry.canonical_name.c_str(), entry.canonical_name.size() + 1);
    }
    *tail = &node->info;
    tail = &node->info.ai_next;
  }
  if (!head) return resolve_failure(WSAHOST_NOT_FOUND);
  *ppResult = head;
  return 0;
}

void WSAAPI freeaddrinfo(PADDRINFOA pAddrInfo) {
  while (pAddrInfo) {
    addrinfo* next = pAddrInfo->ai_next;
    delete[] pAddrInfo->ai_canonname;
    delete reinterpret_cast<AddressNode*>(pAddrInfo);
    pAddrInfo = next;
  }
}

INT WSAAPI inet_pton(INT Family, PCSTR pszAddrString, PVOID pAddrBuf) {
  PLATFORM_FAIL_IF_ARMED("inet_pton", -1);
  if (Family != AF_INET) return fail(WSAEAFNOSUPPORT);
  if (!pszAddrString || !pAddrBuf) return fail(WSAEFAULT);
  return bsd::parse_ipv4(pszAddrString, pAddrBuf);
}

