// The umbrella header of the Windows API stand-in, as deliverable code includes it.
// Sockets stay apart in winsock2.h and ws2tcpip.h, as on Windows.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "heapapi.h"
#include "sysinfoapi.h"
#include "timezoneapi.h"
#include "winnls.h"
#include "datetimeapi.h"
#include "guiddef.h"
#include "objbase.h"
#include "shlwapi.h"
#include "winsvc.h"
#include "winreg.h"
#include "securitybaseapi.h"
#include "aclapi.h"
