// The power sequences of the Tessera (see power.h): their steps over the CSR window's
// blocks, and the three sequences D0 entry and exit choose from.
#include "power.h"

#include "txr_driver.h"

namespace {

// The blocks by their use in the sequences.
constexpr TXR_CSR_BLOCK kGlobal = TxrCsrBlockBase;
constexpr TXR_CSR_BLOCK kIdle = TxrCsrBlock1C00;
constexpr TXR_CSR_BLOCK kTscu = TxrCsrBlock2000;
constexpr TXR_CSR_BLOCK kCts = TxrCsrBlock3000;
constexpr TXR_CSR_BLOCK kSoCHAP = TxrCsrBlock5000;
constexpr TXR_CSR_BLOCK kMsc = TxrCsrBlockMsc;
constexpr TXR_CSR_BLOCK kQlxh = TxrCsrBlockA1000;

// Global block registers.
constexpr ULONG kOutputConfiguration = 0x00;
constexpr ULONG kSwDestFirst = 0x08;
constexpr ULONG kIdleControl = 0x98;
constexpr ULONG kStatus = 0xD4;
constexpr ULONG kSourceControl = 0xD8;
constexpr ULONG kSwDestOverride = 0xDC;
constexpr ULONG kScratchpad = 0xE0;
// Other blocks.
constexpr ULONG kCtsControl = 0x2A4;
constexpr ULONG kMscControl[] = {0x100, 0x200};
constexpr ULONG kMscStatus[] = {0x104, 0x204};
constexpr ULONG kMscSaved[TXR_MSC_SAVED_REGISTERS] = {0x10C, 0x20C, 0x1FC, 0x2FC, 0x11C, 0x21C};
// Where QLXRestoreMSC writes the saved values back, in order.
constexpr ULONG kMscRestored[TXR_MSC_SAVED_REGISTERS] = {0x10C, 0x20C, 0x1FC, 0x2FC, 0x108, 0x208};

constexpr ULONG kPciCommand = 4;
constexpr USHORT kPciBusMasterEnable = 0x4;

ULONG g_WaitTimeoutUs = TXR_POWER_WAIT_TIMEOUT_US;

volatile ULONG* Register(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG offset) {
  return reinterpret_cast<volatile ULONG*>(fdoData->CsrBlocks[block] + offset);
}

ULONG Read(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG offset) {
  return READ_REGISTER_ULONG(Register(fdoData, block, offset));
}

// One 32-bit store, then a full barrier: the block sees the stores in program order and
// before any later read.
void Write(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG offset, ULONG value) {
  WRITE_REGISTER_ULONG(Register(fdoData, block, offset), value);
  KeMemoryBarrier();
}

void SetBits(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG offset, ULONG bits) {
  Write(fdoData, block, offset, Read(fdoData, block, offset) | bits);
}

void ClearBits(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG offset, ULONG bits) {
  Write(fdoData, block, offset, Read(fdoData, block, offset) & ~bits);
}

ULONGLONG ConfigurationWord(PFDO_DATA fdoData) {
  return READ_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(fdoData->CsrBlocks[kGlobal] + kScratchpad));
}

// Versions 0x10000 and 0x10001.
bool CrossCorrelationVersion(const FDO_DATA* fdoData) { return fdoData->HwVersion - 0x10000u <= 1; }

// A run of consecutive 32-bit registers of one block, read into a save area (which is then
// marked saved) or written back from it. A restore without a save refuses rather than write
// zeros over the registers.
void SaveRegisters(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG first, ULONG* area, ULONG count, BOOLEAN& saved) {
  for (ULONG i = 0; i < count; ++i) area[i] = Read(fdoData, block, first + 4 * i);
  saved = TRUE;
}
NTSTATUS RestoreRegisters(PFDO_DATA fdoData, TXR_CSR_BLOCK block, ULONG first, const ULONG* area, ULONG count,
                          BOOLEAN saved) {
  if (!saved) return STATUS_DRIVER_INTERNAL_ERROR;
  for (ULONG i = 0; i < count; ++i) Write(fdoData, block, first + 4 * i, area[i]);
  return STATUS_SUCCESS;
}

PFDO_DATA StepContext(WDFDEVICE device) {
  PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
  if (fdoData == nullptr) TxrLogError(STATUS_UNSUCCESSFUL, "Device contain NULL value\n");
  return fdoData;
}

// Polls `done` until it holds or the bound runs out (then one last look, for a thread that
// was preempted past the deadline between two polls).
template <typename Done>
NTSTATUS WaitFor(const char* step, const char* what, Done done) {
  LARGE_INTEGER frequency;
  const LONGLONG start = KeQueryPerformanceCounter(&frequency).QuadPart;
  const LONGLONG limit = frequency.QuadPart * static_cast<LONGLONG>(g_WaitTimeoutUs) / 1000000;
  while (!done()) {
    if (KeQueryPerformanceCounter(nullptr).QuadPart - start >= limit) {
      if (done()) break;
      TxrLogError(STATUS_IO_TIMEOUT, "%s: timed out after %lu us waiting for %s", step,
                  static_cast<unsigned long>(g_WaitTimeoutUs), what);
      return STATUS_IO_TIMEOUT;
    }
  }
  return STATUS_SUCCESS;
}

// Runs one step of a sequence: its failure is logged with the sequence's line for it.
#define TXR_STEP(call, message)                 \
  do {                                          \
    const NTSTATUS stepStatus = (call);         \
    if (!NT_SUCCESS(stepStatus)) {              \
      TxrLogError(stepStatus, "%s", message);   \
      return trace.status = stepStatus;         \
    }                                           \
  } while (0)

}  // namespace

ULONG TxrPowerSetWaitTimeout(ULONG microseconds) {
  const ULONG previous = g_WaitTimeoutUs;
  g_WaitTimeoutUs = microseconds;
  return previous;
}

void QLXClearPowerSaveFlags(FDO_DATA* fdoData) {
  TXR_POWER_SAVE_AREA& save = fdoData->PowerSave;
  save.ScrPadSaved = save.SoCHAPSaved = save.CtsSaved = save.MscSaved = save.TscuSaved = save.SwDestSaved = FALSE;
}

// ---- Steps ---------------------------------------------------------------------------------

NTSTATUS QLXSaveScrPad(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  SaveRegisters(fdoData, kGlobal, kScratchpad, fdoData->PowerSave.ScrPad, TXR_SCRPAD_REGISTERS, fdoData->PowerSave.ScrPadSaved);
  return STATUS_SUCCESS;
}

NTSTATUS QLXRestoreScrPad(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  return RestoreRegisters(fdoData, kGlobal, kScratchpad, fdoData->PowerSave.ScrPad, TXR_SCRPAD_REGISTERS,
                          fdoData->PowerSave.ScrPadSaved);
}

NTSTATUS QLXSaveSWDest(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  SaveRegisters(fdoData, kGlobal, kSwDestFirst, fdoData->PowerSave.SwDest, TXR_SWDEST_REGISTERS, fdoData->PowerSave.SwDestSaved);
  return STATUS_SUCCESS;
}

NTSTATUS QLXRestoreSWDest(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  return RestoreRegisters(fdoData, kGlobal, kSwDestFirst, fdoData->PowerSave.SwDest, TXR_SWDEST_REGISTERS,
                          fdoData->PowerSave.SwDestSaved);
}

NTSTATUS QLXDisableSaveSoCHAP(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  if ((Read(fdoData, kSoCHAP, 0x00) & 0x2000) != 0) SetBits(fdoData, kSoCHAP, 0x00, 0x8000);
  SaveRegisters(fdoData, kSoCHAP, 0, fdoData->PowerSave.SoCHAP, TXR_SOCHAP_REGISTERS, fdoData->PowerSave.SoCHAPSaved);
  return STATUS_SUCCESS;
}

NTSTATUS QLXReenableSoCHAP(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  return RestoreRegisters(fdoData, kSoCHAP, 0, fdoData->PowerSave.SoCHAP, TXR_SOCHAP_REGISTERS,
                          fdoData->PowerSave.SoCHAPSaved);
}

NTSTATUS QLXForceCrossCorelationPacket(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  if (CrossCorrelationVersion(fdoData)) SetBits(fdoData, kTscu, 0x00, 0x2);
  return STATUS_SUCCESS;
}

NTSTATUS QLXSaveCTS(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  SaveRegisters(fdoData, kCts, 0, fdoData->PowerSave.Cts, TXR_CTS_REGISTERS, fdoData->PowerSave.CtsSaved);
  const ULONG control = fdoData->PowerSave.Cts[kCtsControl / 4];
  Write(fdoData, kCts, kCtsControl, control | 0x40000);
  Write(fdoData, kCts, kCtsControl, control & ~0x40000u);
  return STATUS_SUCCESS;
}

NTSTATUS QLXDisableCTS(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  ClearBits(fdoData, kCts, kCtsControl, 0x1);
  return STATUS_SUCCESS;
}

NTSTATUS QLXRestoreCTS(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  return RestoreRegisters(fdoData, kCts, 0, fdoData->PowerSave.Cts, TXR_CTS_REGISTERS,
                          fdoData->PowerSave.CtsSaved);
}

NTSTATUS QLXForceAllTracesSourcesOff(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  Write(fdoData, kGlobal, kSourceControl, 0x00FC0001);
  return STATUS_SUCCESS;
}

NTSTATUS QLXTurnOffTraceSources(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  Write(fdoData, kGlobal, kSourceControl, 0xFE);
  return WaitFor("QLXTurnOffTraceSources", "the trace sources to stop (status bit 0 or 1)",
                 [&] { return (Read(fdoData, kGlobal, kStatus) & 0x3) != 0; });
}

NTSTATUS QLXEnableTraceSources(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  Write(fdoData, kGlobal, kSourceControl, 0);
  return STATUS_SUCCESS;
}

NTSTATUS QLXReenableTracing(WDFDEVICE device) { return QLXEnableTraceSources(device); }

NTSTATUS QLXKeepTracesOff(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  if (fdoData->HwVersion >= 0x10001) SetBits(fdoData, kGlobal, kSourceControl, 0xFC0000);
  return STATUS_SUCCESS;
}

NTSTATUS QLXWaitUntilIdle(WDFDEVICE device, ULONG destination) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  if (destination == 2) {
    return WaitFor("QLXWaitUntilIdle", "the idle block to clear busy and status bit 2", [&] {
      return (Read(fdoData, kIdle, 0x00) & 0x80000000) == 0 && (Read(fdoData, kGlobal, kStatus) & 0x4) != 0;
    });
  }
  if (destination == 3 || destination == 4) {
    return WaitFor("QLXWaitUntilIdle", "QLXH bit 27 and status bit 0", [&] {
      return (Read(fdoData, kQlxh, 0x00) & 0x8000000) != 0 && (Read(fdoData, kGlobal, kStatus) & 0x1) != 0;
    });
  }
  TxrLogError(STATUS_INTERNAL_ERROR, "Invalid destination");
  return STATUS_INTERNAL_ERROR;
}

NTSTATUS QLXWaitUntilMSCBuffers(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = WaitFor("QLXWaitUntilMSCBuffers", "status bits 0 and 1",
                            [&] { return (Read(fdoData, kGlobal, kStatus) & 0x3) == 0x3; });
  const ULONGLONG configuration = ConfigurationWord(fdoData);
  const ULONGLONG waitBits[] = {TXR_CFG_WAIT_MSC0, TXR_CFG_WAIT_MSC1};
  const char* what[] = {"memory controller 0 to drain", "memory controller 1 to drain"};
  for (ULONG mc = 0; mc < 2 && NT_SUCCESS(status); ++mc) {
    if ((configuration & waitBits[mc]) == 0) continue;
    status = WaitFor("QLXWaitUntilMSCBuffers", what[mc], [&] { return (Read(fdoData, kMsc, kMscStatus[mc]) & 0x4) != 0; });
  }
  return status;
}

NTSTATUS QLXWaitUntilMSCFSMIdle(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  const char* what[] = {"memory controller 0's state machine to idle", "memory controller 1's state machine to idle"};
  for (ULONG mc = 0; mc < 2; ++mc) {
    const NTSTATUS status = WaitFor("QLXWaitUntilMSCFSMIdle", what[mc], [&] {
      const ULONG state = (Read(fdoData, kMsc, kMscStatus[mc]) >> 4) & 0xF;
      return state < 1 || state > 4;
    });
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QLXSaveMSC(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  for (ULONG i = 0; i < TXR_MSC_SAVED_REGISTERS; ++i) fdoData->PowerSave.Msc[i] = Read(fdoData, kMsc, kMscSaved[i]);
  fdoData->PowerSave.MscSaved = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS QLXDisableMSC(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG control0 = Read(fdoData, kMsc, kMscControl[0]);
  const ULONG control1 = Read(fdoData, kMsc, kMscControl[1]);
  Write(fdoData, kMsc, kMscControl[0], control0 & ~1u);
  Write(fdoData, kMsc, kMscControl[1], control1 & ~1u);
  return STATUS_SUCCESS;
}

NTSTATUS QLXRestoreMSC(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  if (fdoData->PowerSave.MscSaved) {
    for (ULONG i = 0; i < TXR_MSC_SAVED_REGISTERS; ++i) Write(fdoData, kMsc, kMscRestored[i], fdoData->PowerSave.Msc[i]);
    fdoData->PowerSave.MscSaved = FALSE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QLXSaveTSCUCTRL(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG control = Read(fdoData, kTscu, 0x00);
  fdoData->PowerSave.TscuControl = control;
  fdoData->PowerSave.TscuSaved = TRUE;
  Write(fdoData, kTscu, 0x00, control | 0x5);
  return STATUS_SUCCESS;
}

NTSTATUS QLXReenableTSCU(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  if (!fdoData->PowerSave.TscuSaved) return STATUS_DRIVER_INTERNAL_ERROR;
  const ULONG control = fdoData->PowerSave.TscuControl;
  Write(fdoData, kTscu, 0x00, control);
  if (CrossCorrelationVersion(fdoData)) Write(fdoData, kTscu, 0x00, control | 0x8);
  return STATUS_SUCCESS;
}

NTSTATUS QLXForceIdle(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  SetBits(fdoData, kGlobal, kIdleControl, 0x1);
  return STATUS_SUCCESS;
}

NTSTATUS QLXRestorePnDRP(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  Write(fdoData, kGlobal, kOutputConfiguration, Read(fdoData, kGlobal, kOutputConfiguration));
  return STATUS_SUCCESS;
}

NTSTATUS QLXClearSWDESTOVREN(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  ClearBits(fdoData, kGlobal, kSwDestOverride, 0x8);
  return STATUS_SUCCESS;
}

NTSTATUS QLXDisableQLXH(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  ClearBits(fdoData, kQlxh, 0x00, 0x10000000);
  return STATUS_SUCCESS;
}

NTSTATUS QLXFlushQLXH(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  SetBits(fdoData, kQlxh, 0x00, 0x4000000);
  const NTSTATUS status = WaitFor("QLXFlushQLXH", "the QLXH flush to finish (bit 27)",
                                  [&] { return (Read(fdoData, kQlxh, 0x00) & 0x8000000) != 0; });
  // The flush request never stays raised, also when the flush did not finish.
  ClearBits(fdoData, kQlxh, 0x00, 0x4000000);
  return status;
}

NTSTATUS QLXChangeQLXHToDbC(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  ClearBits(fdoData, kQlxh, 0x00, 0x1);
  return STATUS_SUCCESS;
}

NTSTATUS QLXSetBME(WDFDEVICE device) {
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return STATUS_UNSUCCESSFUL;
  USHORT command = 0;
  NTSTATUS status = QLXReadPCIInternal(fdoData, kPciCommand, &command, sizeof command);
  if (!NT_SUCCESS(status)) {
    TxrLogError(status, "QLXReadPCIInternal failed");
    return status;
  }
  command |= kPciBusMasterEnable;
  status = QLXWritePCIInternal(fdoData, kPciCommand, &command, sizeof command);
  if (!NT_SUCCESS(status)) TxrLogError(status, "QLXWritePCIInternal failed");
  return status;
}

// ---- Sequences -----------------------------------------------------------------------------

NTSTATUS QLXSxEntry(WDFDEVICE device) {
  TxrFunctionTrace trace("QLXSxEntry");
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return trace.status = STATUS_UNSUCCESSFUL;
  const ULONGLONG configuration = ConfigurationWord(fdoData);
  const bool msc = (configuration & TXR_CFG_MSC_DESTINATION) != 0;
  TXR_STEP(QLXSaveScrPad(device), "QLXSaveScrPad failed");
  TXR_STEP(QLXSaveSWDest(device), "QLXSaveSWDest failed");
  if (!msc) TXR_STEP(QLXDisableSaveSoCHAP(device), "QLXDisableSaveSoCHAP failed");
  TXR_STEP(QLXForceCrossCorelationPacket(device), "QLXForceCrossCorelationPacket failed");
  TXR_STEP(QLXSaveCTS(device), "QLXSaveCTS failed");
  TXR_STEP(QLXDisableCTS(device), "QLXDisableCTS failed");
  TXR_STEP(QLXForceAllTracesSourcesOff(device), "QLXForceAllTracesOff failed");
  if (msc) {
    TXR_STEP(QLXWaitUntilMSCBuffers(device), "QLXWaitUntilMSCBuffers failed");
    TXR_STEP(QLXWaitUntilMSCFSMIdle(device), "QLXWaitUntilMSCFSMIdle failed");
    TXR_STEP(QLXSaveMSC(device), "QLXSaveMSC failed");
    TXR_STEP(QLXDisableMSC(device), "QLXDisableMSC failed");
    TXR_STEP(QLXDisableSaveSoCHAP(device), "QLXDisableSaveSoCHAP failed");
  } else {
    ULONG destination = 0;
    if ((configuration & TXR_CFG_DESTINATION_2) != 0) {
      destination = 2;
    } else if ((configuration & TXR_CFG_DESTINATION_3) != 0) {
      destination = 3;
    } else if ((configuration & TXR_CFG_DESTINATION_4) != 0) {
      destination = 4;
    } else {
      TxrLogError(STATUS_INTERNAL_ERROR, "Primary destination is not set");
      return trace.status = STATUS_INTERNAL_ERROR;
    }
    TXR_STEP(QLXWaitUntilIdle(device, destination), "QLXWaitUntilIdle failed");
  }
  TXR_STEP(QLXSaveTSCUCTRL(device), "QLXSaveTSCUCTRL failed");
  TXR_STEP(QLXForceIdle(device), "QLXForceIdle failed");
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS QLXSxExit(WDFDEVICE device) {
  TxrFunctionTrace trace("QLXSxExit");
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return trace.status = STATUS_UNSUCCESSFUL;
  const TXR_POWER_SAVE_AREA& save = fdoData->PowerSave;
  // The TSCU control is the last thing a whole QLXSxEntry saves.
  if (!save.TscuSaved) TxrLogInfo("QLXSxExit: QLXSxEntry did not finish; restoring what it saved");
  TXR_STEP(QLXRestoreScrPad(device), "QLXRestoreScrPad failed");
  const ULONGLONG configuration = ConfigurationWord(fdoData);
  TXR_STEP(QLXKeepTracesOff(device), "QLXKeepTracesOff failed");
  if (save.TscuSaved) TXR_STEP(QLXReenableTSCU(device), "QLXReenableTSCU failed");
  if (save.SoCHAPSaved) TXR_STEP(QLXReenableSoCHAP(device), "QLXReenableSoCHAP failed");
  if ((configuration & TXR_CFG_MSC_DESTINATION) != 0) TXR_STEP(QLXRestoreMSC(device), "QLXRestoreMSC failed");
  if (save.CtsSaved) TXR_STEP(QLXRestoreCTS(device), "QLXRestoreCTS failed");
  if (save.SwDestSaved) TXR_STEP(QLXRestoreSWDest(device), "QLXRestoreSWDest failed");
  TXR_STEP(QLXReenableTracing(device), "QLXReenableTracing failed");
  TXR_STEP(QLXForceCrossCorelationPacket(device), "QLXForceCrossCorelationPacket failed");
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS QLXSxExitAlwaysOn(WDFDEVICE device) {
  TxrFunctionTrace trace("QLXSxExitAlwaysOn");
  PFDO_DATA fdoData = StepContext(device);
  if (fdoData == nullptr) return trace.status = STATUS_UNSUCCESSFUL;
  const ULONGLONG c = ConfigurationWord(fdoData);
  TXR_STEP(QLXSetBME(device), "QLXSetBME failed");
  if ((c & TXR_CFG_MSC_DESTINATION) != 0) {
    if ((c & TXR_CFG_AON_BME_ONLY) != 0) return trace.status = STATUS_SUCCESS;
    if ((c & TXR_CFG_AON_STOP_QLXH) != 0) {
      TXR_STEP(QLXTurnOffTraceSources(device), "QLXTurnOffTraceSources failed");
      TXR_STEP(QLXDisableQLXH(device), "QLXDisableQLXH failed");
      TXR_STEP(QLXDisableMSC(device), "QLXDisableMSC failed");
    } else if ((c & TXR_CFG_AON_CLEAR_OVERRIDE) != 0) {
      TXR_STEP(QLXTurnOffTraceSources(device), "QLXTurnOffTraceSources failed");
      TXR_STEP(QLXClearSWDESTOVREN(device), "QLXClearSWDESTOVREN failed");
    } else if ((c & TXR_CFG_DESTINATION_2) != 0) {
      TXR_STEP(QLXRestorePnDRP(device), "QLXRestorePnDRP failed");
    }
    if ((c & (TXR_CFG_AON_STOP_QLXH | TXR_CFG_AON_RESTORE_MSC)) != 0) {
      TXR_STEP(QLXRestoreMSC(device), "QLXRestoreMSC failed");
    }
    TXR_STEP(QLXEnableTraceSources(device), "QLXEnableTraceSources failed");
  } else if ((c & TXR_CFG_DESTINATION_4) != 0) {
    if ((c & TXR_CFG_AON_STOP_QLXH) != 0) {
      TXR_STEP(QLXTurnOffTraceSources(device), "QLXTurnOffTraceSources failed");
      TXR_STEP(QLXFlushQLXH(device), "QLXFlushQLXH failed");
      TXR_STEP(QLXChangeQLXHToDbC(device), "QLXChangeQLXHToDbC failed");
    }
    TXR_STEP(QLXEnableTraceSources(device), "QLXEnableTraceSources failed");
  }
  return trace.status = STATUS_SUCCESS;
}
