// Windows Sockets 2, as far as the service and its tests use it.
//
// The calls run over real BSD sockets. A SOCKET is an opaque handle value that the stand-in
// never reuses within a process, so a handle closed on one thread cannot name a socket
// opened later on another. Errors are reported as on Windows: SOCKET_ERROR or
// INVALID_SOCKET with a WSA code from WSAGetLastError() (the thread's last-error slot), and
// every call except the byte-order helpers fails with WSANOTINITIALISED until WSAStartup
// has succeeded. Closing a socket on one thread makes a call blocked on it on another
// thread fail with WSAEINTR.
#pragma once

#include "winbase.h"

using SOCKET = UINT_PTR;
using GROUP = unsigned int;
// u_short and u_long are not declared: glibc's <sys/types.h>, which many headers pull in,
// already has them with other widths; USHORT and ULONG stand in their place.
using LPINT = INT*;

#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)

#define AF_UNSPEC 0
#define AF_INET 2
#define PF_INET AF_INET
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define AI_PASSIVE 0x00000001
#define AI_CANONNAME 0x00000002
#define AI_NUMERICHOST 0x00000004

// Windows takes this as "as many as the provider allows"; the stand-in clamps it.
#define SOMAXCONN 0x7fffffff

#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_WAITALL 0x8

#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02

#define INADDR_ANY static_cast<ULONG>(0x00000000)
#define INADDR_LOOPBACK 0x7f000001

// Accept condition function results.
#define CF_ACCEPT 0x0000
#define CF_REJECT 0x0001
#define CF_DEFER 0x0002

// WSA error codes.
#define WSABASEERR 10000
#define WSAEINTR 10004L
#define WSAEBADF 10009L
#define WSAEACCES 10013L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAEMFILE 10024L
#define WSAEWOULDBLOCK 10035L
#define WSAEINPROGRESS 10036L
#define WSAEALREADY 10037L
#define WSAENOTSOCK 10038L
#define WSAEDESTADDRREQ 10039L
#define WSAEMSGSIZE 10040L
#define WSAEPROTOTYPE 10041L
#define WSAENOPROTOOPT 10042L
#define WSAEPROTONOSUPPORT 10043L
#define WSAESOCKTNOSUPPORT 10044L
#define WSAEOPNOTSUPP 10045L
#define WSAEPFNOSUPPORT 10046L
#define WSAEAFNOSUPPORT 10047L
#define WSAEADDRINUSE 10048L
#define WSAEADDRNOTAVAIL 10049L
#define WSAENETDOWN 10050L
#define WSAENETUNREACH 10051L
#define WSAENETRESET 10052L
#define WSAECONNABORTED 10053L
#define WSAECONNRESET 10054L
#define WSAENOBUFS 10055L
#define WSAEISCONN 10056L
#define WSAENOTCONN 10057L
#define WSAESHUTDOWN 10058L
#define WSAETIMEDOUT 10060L
#define WSAECONNREFUSED 10061L
#define WSAEHOSTDOWN 10064L
#define WSAEHOSTUNREACH 10065L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSASYSCALLFAILURE 10107L
#define WSATYPE_NOT_FOUND 10109L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L
#define WSA_NOT_ENOUGH_MEMORY 8L

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// The 64-bit Windows layout: the vendor pointer comes before the texts.
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
using LPWSADATA = WSADATA*;
static_assert(sizeof(WSADATA) == 408);
static_assert(offsetof(WSADATA, lpVendorInfo) == 8);
static_assert(offsetof(WSADATA, szDescription) == 16);
static_assert(offsetof(WSADATA, szSystemStatus) == 273);

struct in_addr {
  union {
    struct {
      UCHAR s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      USHORT s_w1, s_w2;
    } S_un_w;
    ULONG S_addr;
  } S_un;
};
#define s_addr S_un.S_addr
using IN_ADDR = in_addr;
using PIN_ADDR = in_addr*;
static_assert(sizeof(in_addr) == 4);

struct sockaddr {
  USHORT sa_family;
  CHAR sa_data[14];
};
using SOCKADDR = sockaddr;
using PSOCKADDR = sockaddr*;
using LPSOCKADDR = sockaddr*;
static_assert(sizeof(sockaddr) == 16);

struct sockaddr_in {
  short sin_family;
  USHORT sin_port;
  in_addr sin_addr;
  CHAR sin_zero[8];
};
using SOCKADDR_IN = sockaddr_in;
using PSOCKADDR_IN = sockaddr_in*;
static_assert(sizeof(sockaddr_in) == 16);
static_assert(offsetof(sockaddr_in, sin_port) == 2);
static_assert(offsetof(sockaddr_in, sin_addr) == 4);

// ADDRINFOA as 64-bit Windows lays it out (the canonical name before the address, unlike
// POSIX).
struct addrinfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  addrinfo* ai_next;
};
using ADDRINFOA = addrinfo;
using PADDRINFOA = addrinfo*;
static_assert(sizeof(addrinfo) == 48);
static_assert(offsetof(addrinfo, ai_canonname) == 24);
static_assert(offsetof(addrinfo, ai_addr) == 32);

struct WSABUF {
  ULONG len;
  CHAR* buf;
};
using LPWSABUF = WSABUF*;

struct FLOWSPEC {
  ULONG TokenRate;
  ULONG TokenBucketSize;
  ULONG PeakBandwidth;
  ULONG Latency;
  ULONG DelayVariation;
  ULONG ServiceType;
  ULONG MaxSduSize;
  ULONG MinimumPolicedSize;
};

struct QOS {
  FLOWSPEC SendingFlowspec;
  FLOWSPEC ReceivingFlowspec;
  WSABUF ProviderSpecific;
};
using LPQOS = QOS*;

// Called by WSAAccept with the peer's address (a sockaddr_in) in lpCallerId and the local
// address in lpCalleeId; TCP carries no connect data and the stand-in no QOS, so those
// arguments are null.
using LPCONDITIONPROC = int(CALLBACK*)(LPWSABUF lpCallerId, LPWSABUF lpCallerData, LPQOS lpSQOS, LPQOS lpGQOS,
                                       LPWSABUF lpCalleeId, LPWSABUF lpCalleeData, GROUP* g,
                                       DWORD_PTR dwCallbackData);

// WSAPoll events, with the values Windows gives them (not those of <poll.h>).
#define POLLRDNORM 0x0100
#define POLLRDBAND 0x0200
#define POLLIN (POLLRDNORM | POLLRDBAND)
#define POLLWRNORM 0x0010
#define POLLOUT POLLWRNORM
#define POLLERR 0x0001
#define POLLHUP 0x0002
#define POLLNVAL 0x0004

struct WSAPOLLFD {
  SOCKET fd;
  SHORT events;
  SHORT revents;
};
using LPWSAPOLLFD = WSAPOLLFD*;
static_assert(sizeof(WSAPOLLFD) == 16);

constexpr USHORT htons(USHORT value) { return static_cast<USHORT>((value << 8) | (value >> 8)); }
constexpr USHORT ntohs(USHORT value) { return htons(value); }
constexpr ULONG htonl(ULONG value) {
  return ((value & 0xffu) << 24) | ((value & 0xff00u) << 8) | ((value >> 8) & 0xff00u) | (value >> 24);
}
constexpr ULONG ntohl(ULONG value) { return htonl(value); }

int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSAAPI WSACleanup();
int WSAAPI WSAGetLastError();
void WSAAPI WSASetLastError(int iError);

SOCKET WSAAPI socket(int af, int type, int protocol);
int WSAAPI bind(SOCKET s, const sockaddr* name, int namelen);
int WSAAPI listen(SOCKET s, int backlog);
SOCKET WSAAPI WSAAccept(SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC lpfnCondition,
                        DWORD_PTR dwCallbackData);
SOCKET WSAAPI accept(SOCKET s, sockaddr* addr, int* addrlen);
int WSAAPI connect(SOCKET s, const sockaddr* name, int namelen);
int WSAAPI getsockname(SOCKET s, sockaddr* name, int* namelen);
int WSAAPI recv(SOCKET s, char* buf, int len, int flags);
int WSAAPI send(SOCKET s, const char* buf, int len, int flags);
int WSAAPI shutdown(SOCKET s, int how);
int WSAAPI closesocket(SOCKET s);
// Waits up to `timeout` milliseconds (negative: no limit) until one of the sockets is ready;
// returns how many are, 0 on time-out. A handle that names no socket reports POLLNVAL.
int WSAAPI WSAPoll(LPWSAPOLLFD fdArray, ULONG fds, INT timeout);
