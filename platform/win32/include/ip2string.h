// ntdll's address-to-text routine. Windows exports it from ntdll.dll without an import
// library in the SDK: applications find it with GetModuleHandleW(L"ntdll.dll") and
// GetProcAddress, as the deliverables do; the stand-in's ntdll.dll exports this function.
#pragma once

#include "in6addr.h"
#include "windef.h"

// Writes the address (network byte order) in its standard text form into S, which holds at
// least 46 characters, and returns a pointer to the terminating zero. Eight lower-case
// hexadecimal groups separated by colons; the longest run of two or more zero groups (the
// first of equal runs) becomes "::"; an IPv4-compatible, IPv4-mapped or ISATAP address ends
// in dotted decimal.
PWSTR NTAPI RtlIpv6AddressToStringW(const IN6_ADDR* Addr, PWSTR S);
