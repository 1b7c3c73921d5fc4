// Event provider declarations of the Windows API stand-in: what the TDH and event-record
// structures need. The ETW provider functions come with the ETW surface.
#pragma once

#include "windef.h"
#include "guiddef.h"

#ifndef EVENT_DESCRIPTOR_DEF
#define EVENT_DESCRIPTOR_DEF
typedef struct _EVENT_DESCRIPTOR {
  USHORT Id;
  UCHAR Version;
  UCHAR Channel;
  UCHAR Level;
  UCHAR Opcode;
  USHORT Task;
  ULONGLONG Keyword;
} EVENT_DESCRIPTOR, *PEVENT_DESCRIPTOR;
typedef const EVENT_DESCRIPTOR* PCEVENT_DESCRIPTOR;
static_assert(sizeof(EVENT_DESCRIPTOR) == 16);
#endif
