// Capture of the kernel's debug output: while enabled, every debug string the kernel's
// filters let through is written as a SyS-T string message on the printing processor's
// channel of master 257 (type-4 handles, one per active processor).
//
// The driver remembers the filter mask it set per kernel component (0 to 154; all ones: it
// set none), so that it can switch the filters off across hibernation and restore them.
// Enable, disable and filter changes come from the sequential I/O-control queue and the
// PnP/power callbacks; the debug-print callback runs on any processor at any IRQL.
#pragma once

#include <ntddk.h>

inline constexpr ULONG TXR_DEBUG_COMPONENT_COUNT = 155;
inline constexpr ULONG TXR_DEBUG_ALL_COMPONENTS = 0xFFFFFFFF;
inline constexpr ULONG TXR_DEBUG_NO_MASK = 0xFFFFFFFF;

// Filter list of the flag controls: a count, then (component id, level mask) pairs.
struct TXR_DEBUG_FILTER_ENTRY {
  ULONG ComponentId;
  ULONG LevelMask;
};
struct TXR_DEBUG_FILTER_LIST {
  ULONG NumParams;
  TXR_DEBUG_FILTER_ENTRY Entries[1];
};
static_assert(sizeof(TXR_DEBUG_FILTER_LIST) == 12);

// Driver entry: no saved masks.
void TxrDebugCaptureInitialize();

// `deviceContext` is the sink of the type-4 handles (the device context).
NTSTATUS MipiSystDebugoutput_Enable(PVOID deviceContext);
NTSTATUS MipiSystDebugoutput_Disable();
void RevertToDefaultDbgSettings();

// `entries` is the number of entries the caller's buffer holds, so that no entry beyond it
// is read: a list that claims more than its buffer holds is refused (see the .cpp).
NTSTATUS EnableDebugOutputMaskFlags(const TXR_DEBUG_FILTER_LIST* list, ULONG entries, BOOLEAN enable);
void QLXDebugOutFilterMask(ULONG component, ULONG mask, BOOLEAN enable);
void RestoreDbgTraceOnPowerCycle(BOOLEAN on);

// The kernel's debug-print callback.
VOID TraceDbgCallback(PSTRING output, ULONG componentId, ULONG level);

// For tests: whether the callback is registered, and the saved mask of a component.
BOOLEAN TxrDebugCaptureEnabled();
ULONG TxrDebugSavedMask(ULONG component);
