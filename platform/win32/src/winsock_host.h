// The Linux side of the sockets stand-in. The Windows declarations (struct sockaddr,
// addrinfo, bind, recv, ...) and the POSIX ones share names, so they cannot meet in one
// translation unit: winsock.cpp speaks Windows and calls these plain functions, which
// winsock_host.cpp implements over the BSD calls. IPv4 socket addresses have the same bytes
// on both sides and pass through unchanged.
//
// Every call that fails returns -1 and leaves the reason in errno, for winsock.cpp to turn
// into a WSA code. Internal to the platform.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform::bsd {

int open_stream_socket(int family, int type, int protocol);
// Binds with address reuse, because Windows lets a listener take a port whose old
// connections linger in TIME_WAIT while Linux does not without it.
int bind_address(int fd, const void* address, int length);
int listen_for(int fd, int backlog);
int accept_connection(int fd, void* address, int* length);
int connect_to(int fd, const void* address, int length);
int local_address(int fd, void* address, int* length);
long receive_bytes(int fd, void* buffer, std::size_t length, bool peek, bool wait_all, bool out_of_band);
long send_bytes(int fd, const void* buffer, std::size_t length, bool out_of_band);
// how: 0 receive, 1 send, 2 both (the values of SD_* and SHUT_* alike).
int shutdown_socket(int fd, int how);
int close_descriptor(int fd);
// Closes with a reset instead of an orderly release, as Windows does for a rejected peer.
int close_with_reset(int fd);

struct PollItem {
  int fd = -1;
  bool want_read = false;
  bool want_write = false;
  bool readable = false;
  bool writable = false;
  bool error = false;
  bool hangup = false;
};
// poll(2) over the items: the count of ready ones, 0 on time-out, -1 with errno.
int poll_items(PollItem* items, std::size_t count, int timeout_ms);

struct ResolvedAddress {
  int flags = 0;
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  std::vector<unsigned char> address;
  std::string canonical_name;
  bool has_canonical_name = false;
};

enum class ResolveError { None, NoName, Service, Family, SockType, BadFlags, Memory, TryAgain, Fail, System };

// IPv4 only: the family must be 0 (unspecified) or 2 (AF_INET); only the passive, canonical
// name and numeric-host flags are understood.
ResolveError resolve(const char* node, const char* service, int flags, int family, int socktype, int protocol,
                     std::vector<ResolvedAddress>& out);

// 1 and four bytes in network order for a dotted IPv4 text, 0 otherwise.
int parse_ipv4(const char* text, void* out);

}  // namespace platform::bsd
