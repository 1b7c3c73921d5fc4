// Windows Sockets 2 protocol-independent name resolution and address text, IPv4 only.
//
// getaddrinfo returns a WSA code (also left as the last error): WSAHOST_NOT_FOUND for a host
// that does not resolve, WSATYPE_NOT_FOUND for a bad service, WSAEAFNOSUPPORT for any
// family but AF_UNSPEC and AF_INET (the stand-in resolves IPv4 only).
#pragma once

#include "winsock2.h"

using PCSTR = const char*;

int WSAAPI getaddrinfo(PCSTR pNodeName, PCSTR pServiceName, const ADDRINFOA* pHints, PADDRINFOA* ppResult);
void WSAAPI freeaddrinfo(PADDRINFOA pAddrInfo);

// 1 when the text is a dotted IPv4 address (written to pAddrBuf as an in_addr), 0 when it is
// not, -1 with WSAEAFNOSUPPORT for another family.
INT WSAAPI inet_pton(INT Family, PCSTR pszAddrString, PVOID pAddrBuf);
