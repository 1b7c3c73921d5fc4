// Kernel32-style base services: last-error, and (below) the families that later layers add.
#pragma once

#include "windef.h"
#include "winerror.h"

DWORD GetLastError();
void SetLastError(DWORD code);
