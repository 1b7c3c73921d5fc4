// An IPv6 address as the Windows SDK lays it out: 16 bytes in network byte order.
#pragma once

#include "windef.h"

typedef struct in6_addr {
  union {
    UCHAR Byte[16];
    USHORT Word[8];
  } u;
} IN6_ADDR, *PIN6_ADDR, *LPIN6_ADDR;
static_assert(sizeof(IN6_ADDR) == 16);
