// Process heap: the heap every process has from its start. Blocks are shared with LocalAlloc
// and GlobalAlloc, as on Windows where all three end in the same heap.
#pragma once

#include "windef.h"

#define HEAP_ZERO_MEMORY 0x00000008u

HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
