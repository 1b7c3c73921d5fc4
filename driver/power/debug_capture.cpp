#include "debug_capture.h"

#include "syst.h"
#include "txr_trace.h"

namespace {

BOOLEAN g_Enabled = FALSE;
ULONG g_SavedMasks[TXR_DEBUG_COMPONENT_COUNT];

ULONG SeverityOfLevel(ULONG level) {
  switch (level) {
    case 0: return 2;  // error
    case 1: return 3;  // warning
    case 2: return 7;  // trace -> debug
    case 3: return 4;  // info
    default: return 6;  // user 2
  }
}

// Components a "every component" list leaves alone.
bool SkippedByAllComponents(ULONG component) { return component == 52 || component == 90 || component == 146; }

void SetAllFiltersOff() {
  for (ULONG component = 0; component < TXR_DEBUG_COMPONENT_COUNT; ++component) {
    DbgSetDebugFilterState(component, 0, FALSE);
  }
}

}  // namespace

void TxrDebugCaptureInitialize() {
  for (ULONG& mask : g_SavedMasks) mask = TXR_DEBUG_NO_MASK;
}

BOOLEAN TxrDebugCaptureEnabled() { return g_Enabled; }

ULONG TxrDebugSavedMask(ULONG component) {
  return component < TXR_DEBUG_COMPONENT_COUNT ? g_SavedMasks[component] : TXR_DEBUG_NO_MASK;
}

NTSTATUS MipiSystDebugoutput_Enable(PVOID deviceContext) {
  TxrFunctionTrace trace("MipiSystDebugoutput_Enable");
  if (deviceContext == nullptr) return trace.status = STATUS_INVALID_PARAMETER;
  if (g_Enabled) return trace.status = STATUS_SUCCESS;
  const ULONG processors = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
  if (init_mipisyst_handle(deviceContext, TRACE_RECORD_TYPE_DEBUG, processors) != 0) {
    release_mipisyst_handles(TRACE_RECORD_TYPE_DEBUG);
    return trace.status = STATUS_INTERNAL_ERROR;
  }
  if (NT_SUCCESS(DbgSetDebugPrintCallback(TraceDbgCallback, TRUE))) g_Enabled = TRUE;
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS MipiSystDebugoutput_Disable() {
  RevertToDefaultDbgSettings();
  return STATUS_SUCCESS;
}

void RevertToDefaultDbgSettings() {
  SetAllFiltersOff();
  TxrDebugCaptureInitialize();
  if (g_Enabled) {
    DbgSetDebugPrintCallback(TraceDbgCallback, FALSE);
    release_mipisyst_handles(TRACE_RECORD_TYPE_DEBUG);
    g_Enabled = FALSE;
  }
}

void QLXDebugOutFilterMask(ULONG component, ULONG mask, BOOLEAN enable) {
  if (component >= TXR_DEBUG_COMPONENT_COUNT) return;
  g_SavedMasks[component] = enable ? mask : TXR_DEBUG_NO_MASK;
  DbgSetDebugFilterState(component, mask, enable);
}

// The list's count is checked against what the caller's buffer holds: a list that claims
// entries beyond its buffer is refused whole (nothing applied), rather than cut, so a
// caller never gets half of what it asked for without knowing.
NTSTATUS EnableDebugOutputMaskFlags(const TXR_DEBUG_FILTER_LIST* list, ULONG entries, BOOLEAN enable) {
  TxrLogInfo("-->EnableDebugOutputEntries");
  if (list == nullptr || list->NumParams == 0) {
    TxrLogError(STATUS_INVALID_PARAMETER, "pdbg_params NULL /NumParams is set to Zero\n");
    return STATUS_INVALID_PARAMETER;
  }
  if (list->Entries[0].ComponentId == TXR_DEBUG_ALL_COMPONENTS) {
    for (ULONG component = 0; component < TXR_DEBUG_COMPONENT_COUNT; ++component) {
      if (!SkippedByAllComponents(component)) QLXDebugOutFilterMask(component, list->Entries[0].LevelMask, enable);
    }
    return STATUS_SUCCESS;
  }
  if (list->NumParams > TXR_DEBUG_COMPONENT_COUNT) {
    TxrLogError(STATUS_INVALID_PARAMETER, "NumParams contains greater than maximum Value\n");
    return STATUS_INVALID_PARAMETER;
  }
  if (list->NumParams > entries) {
    TxrLogError(STATUS_INVALID_BUFFER_SIZE, "NumParams exceeds the entries of the input buffer\n");
    return STATUS_INVALID_BUFFER_SIZE;
  }
  for (ULONG index = 0; index < list->NumParams; ++index) {
    const TXR_DEBUG_FILTER_ENTRY& entry = list->Entries[index];
    if (entry.ComponentId < TXR_DEBUG_COMPONENT_COUNT) QLXDebugOutFilterMask(entry.ComponentId, entry.LevelMask, enable);
  }
  return STATUS_SUCCESS;
}

void RestoreDbgTraceOnPowerCycle(BOOLEAN on) {
  if (!on) {
    TxrLogInfo("[PowerCycle]Disabling Dbgoutput flags,DbgSetDebugPrintCallback");
    SetAllFiltersOff();
    if (g_Enabled) DbgSetDebugPrintCallback(TraceDbgCallback, FALSE);
    return;
  }
  TxrLogInfo("[PowerCycle]Enabling DebugOutput Flags in powercallback ");
  bool restored = false;
  for (ULONG component = 0; component < TXR_DEBUG_COMPONENT_COUNT; ++component) {
    if (g_SavedMasks[component] != TXR_DEBUG_NO_MASK) {
      DbgSetDebugFilterState(component, g_SavedMasks[component], TRUE);
      restored = true;
    }
  }
  if (restored && g_Enabled) {
    TxrLogInfo("[PowerCycle]Enabling DbgSetDebugPrintCallback");
    DbgSetDebugPrintCallback(TraceDbgCallback, TRUE);
  }
}

VOID TraceDbgCallback(PSTRING output, ULONG componentId, ULONG level) {
  PROCESSOR_NUMBER processor;
  const ULONG index = KeGetCurrentProcessorNumberEx(&processor) & 0xFF;
  systhandle* handle = get_systhandle(TRACE_RECORD_TYPE_DEBUG, index);
  if (handle == nullptr) {
    TxrLogInfo("Getting MipiSyst Handle Failed for Dbg handle");
    return;
  }
  handle->tag = (handle->tag & ~(SYST_ORIGIN_MASK << SYST_ORIGIN_SHIFT)) |
                (componentId & SYST_ORIGIN_MASK) << SYST_ORIGIN_SHIFT;
  const ULONG severity = SeverityOfLevel(level);
  KIRQL previous;
  KeRaiseIrql(HIGH_LEVEL, &previous);
  write_debug_string(handle, SYST_SUBTYPE_STRING_GENERIC, severity, output != nullptr ? output->Length : 0,
                     output != nullptr ? output->Buffer : nullptr);
  KeLowerIrql(previous);
}
