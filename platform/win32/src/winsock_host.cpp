#include "winsock_host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::bsd {
namespace {

int flags_for(bool peek, bool wait_all, bool out_of_band) {
  int flags = MSG_NOSIGNAL;
  if (peek) flags |= MSG_PEEK;
  if (wait_all) flags |= MSG_WAITALL;
  if (out_of_band) flags |= MSG_OOB;
  return flags;
}

}  // namespace

int open_stream_socket(int family, int type, int protocol) { return ::socket(family, type | SOCK_CLOEXEC, protocol); }

int bind_address(int fd, const void* address, int length) {
  int type = 0;
  socklen_t type_length = sizeof(type);
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) == 0 && type == SOCK_STREAM) {
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  return ::bind(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int listen_for(int fd, int backlog) { return ::listen(fd, backlog); }

int accept_connection(int fd, void* address, int* length) {
  socklen_t size = length ? static_cast<socklen_t>(*length) : 0;
  int accepted = ::accept4(fd, static_cast<sockaddr*>(address), address ? &size : nullptr, SOCK_CLOEXEC);
  if (accepted >= 0 && length) *length = static_cast<int>(size);
  return accepted;
}

int connect_to(int fd, const void* address, int length) {
  return ::connect(fd, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int local_address(int fd, void* address, int* length) {
  socklen_t size = static_cast<socklen_t>(*length);
  int result = ::getsockname(fd, static_cast<sockaddr*>(address), &size);
  if (result == 0) *length = static_cast<int>(size);
  return result;
}

long receive_bytes(int fd, void* buffer, std::size_t length, bool peek, bool wait_all, bool out_of_band) {
  return ::recv(fd, buffer, length, flags_for(peek, wait_all, out_of_band));
}

long send_bytes(int fd, const void* buffer, std::size_t length, bool out_of_band) {
  return ::send(fd, buffer, length, flags_for(false, false, out_of_band));
}

int shutdown_socket(int fd, int how) { return ::shutdown(fd, how); }

int close_descriptor(int fd) { return ::close(fd); }

int close_with_reset(int fd) {
  linger abort_on_close{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
  return ::close(fd);
}

int poll_items(PollItem* items, std::size_t count, int timeout_ms) {
  std::vector<pollfd> descriptors(count);
  for (std::size_t i = 0; i < count; ++i) {
    descriptors[i].fd = items[i].fd;
    descriptors[i].events = static_cast<short>((items[i].want_read ? POLLIN : 0) | (items[i].want_write ? POLLOUT : 0));
  }
  int ready = ::poll(descriptors.data(), descriptors.size(), timeout_ms);
  if (ready < 0) return ready;
  for (std::size_t i = 0; i < count; ++i) {
    items[i].readable = descriptors[i].revents & POLLIN;
    items[i].writable = descriptors[i].revents & POLLOUT;
    items[i].error = descriptors[i].revents & POLLERR;
    items[i].hangup = descriptors[i].revents & POLLHUP;
  }
  return ready;
}

ResolveError resolve(const char* node, const char* service, int flags, int family, int socktype, int protocol,
                     std::vector<ResolvedAddress>& out) {
  if (family != AF_UNSPEC && family != AF_INET) return ResolveError::Family;
  if (flags & ~(AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST)) return ResolveError::BadFlags;
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = AF_INET;
  hints.ai_socktype = socktype;
  hints.ai_protocol = protocol;
  addrinfo* list = nullptr;
  int code = ::getaddrinfo(node, service, &hints, &list);
  switch (code) {
    case 0:
      break;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return ResolveError::NoName;
    case EAI_SERVICE:
      return ResolveError::Service;
    case EAI_FAMILY:
      return ResolveError::Family;
    case EAI_SOCKTYPE:
      return ResolveError::SockType;
    case EAI_BADFLAGS:
      return ResolveError::BadFlags;
    case EAI_MEMORY:
      return ResolveError::Memory;
    case EAI_AGAIN:
      return ResolveError::TryAgain;
    case EAI_SYSTEM:
      return ResolveError::System;
    default:
      return ResolveError::Fail;
  }
  for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
    ResolvedAddress resolved;
    resolved.flags = entry->ai_flags;
    resolved.family = entry->ai_family;
    resolved.socktype = entry->ai_socktype;
    resolved.protocol = entry->ai_protocol;
    const auto* bytes = reinterpret_cast<const unsigned char*>(entry->ai_addr);
    resolved.address.assign(bytes, bytes + entry->ai_addrlen);
    if (entry->ai_canonname) {
      resolved.canonical_name = entry->ai_canonname;
      resolved.has_canonical_name = true;
    }
    out.push_back(std::move(resolved));
  }
  ::freeaddrinfo(list);
  return ResolveError::None;
}

int parse_ipv4(const char* text, void* out) { return ::inet_pton(AF_INET, text, out); }

}  // namespace platform::bsd
