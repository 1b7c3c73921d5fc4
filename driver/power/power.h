// The Tessera across D0 transitions. Unless the platform keeps the block powered
// ("TXRAllwaysON"), leaving D0 quiesces the trace sources, waits for the buffers to drain,
// saves what the platform does not keep and parks the block (QLXSxEntry); re-entering D0
// restores it in reverse order and lets tracing run again (QLXSxExit). With always-on, a PCI
// block only gets repaired where the platform's firmware changed it (QLXSxExitAlwaysOn).
// Which steps run depends on the 64-bit configuration word the firmware leaves in the
// scratchpad (global 0xE0).
//
// Every step takes the device and returns 0 or a failure status; a null device (or one
// without context) is logged as "Device contain NULL value\n" and fails with
// STATUS_UNSUCCESSFUL. A sequence stops at its first failing step, logs that step's failure
// line and returns its status; nothing is rolled back.
//
// Decisions of our own:
// - Every wait on the block is bounded (TXR_POWER_WAIT_TIMEOUT_US, 100 ms): the drains it
//   waits for take microseconds on a working block, and a D0 transition that hangs holds the
//   whole system's sleep until the power manager's watchdog bug-checks it. A wait that runs
//   out logs "<step>: timed out after <n> us waiting for <what>" and fails with
//   STATUS_IO_TIMEOUT, which fails its sequence.
// - QLXSxEntry saves the 33 software-destination registers (QLXSaveSWDest, right after the
//   scratchpad, before anything changes), since QLXSxExit writes them back and the block
//   loses them when powered off; a restore without a save refuses (STATUS_DRIVER_INTERNAL_ERROR)
//   instead of writing zeros over the destinations.
// - QLXSxExit after a QLXSxEntry that stopped half-way (a timed-out drain, no primary
//   destination) restores what was saved and skips the blocks that were never saved (the
//   entry did not get to change them), so the block wakes tracing instead of the device
//   failing D0 entry and being removed.
// - No sequence runs while the registers are not mapped.
//
// Threads: the framework serialises D0 entry and exit with each other and with the hardware
// callbacks; the sequences take no lock.
#pragma once

#include <ntddk.h>
#include <wdf.h>

struct FDO_DATA;

inline constexpr ULONG TXR_SCRPAD_REGISTERS = 4;
inline constexpr ULONG TXR_SOCHAP_REGISTERS = 84;
inline constexpr ULONG TXR_CTS_REGISTERS = 256;
inline constexpr ULONG TXR_MSC_SAVED_REGISTERS = 6;
inline constexpr ULONG TXR_SWDEST_REGISTERS = 33;
inline constexpr ULONG TXR_POWER_WAIT_TIMEOUT_US = 100000;

// Configuration word bits.
inline constexpr ULONGLONG TXR_CFG_MSC_DESTINATION = 0x1;
inline constexpr ULONGLONG TXR_CFG_DESTINATION_4 = 0x2;    // tried last
inline constexpr ULONGLONG TXR_CFG_DESTINATION_2 = 0x4;    // tried first; always-on: restore PnDRP
inline constexpr ULONGLONG TXR_CFG_DESTINATION_3 = 0x8;    // tried second
inline constexpr ULONGLONG TXR_CFG_AON_CLEAR_OVERRIDE = 0x10;
inline constexpr ULONGLONG TXR_CFG_AON_STOP_QLXH = 0x20;
inline constexpr ULONGLONG TXR_CFG_AON_RESTORE_MSC = 0x40;
inline constexpr ULONGLONG TXR_CFG_AON_BME_ONLY = 0x100;
inline constexpr ULONGLONG TXR_CFG_WAIT_MSC0 = 0x200;
inline constexpr ULONGLONG TXR_CFG_WAIT_MSC1 = 0x400;

// The save areas of the sequences, each with its saved flag (cleared at device creation and
// on every D0 entry, so a restore only uses what the last D0 exit saved).
struct TXR_POWER_SAVE_AREA {
  ULONG ScrPad[TXR_SCRPAD_REGISTERS];
  ULONG SoCHAP[TXR_SOCHAP_REGISTERS];
  ULONG Cts[TXR_CTS_REGISTERS];
  ULONG Msc[TXR_MSC_SAVED_REGISTERS];  // 0x10C, 0x20C, 0x1FC, 0x2FC, 0x11C, 0x21C
  ULONG TscuControl;
  ULONG SwDest[TXR_SWDEST_REGISTERS];
  BOOLEAN ScrPadSaved;
  BOOLEAN SoCHAPSaved;
  BOOLEAN CtsSaved;
  BOOLEAN MscSaved;
  BOOLEAN TscuSaved;
  BOOLEAN SwDestSaved;
};

void QLXClearPowerSaveFlags(FDO_DATA* fdoData);

// The sequences.
NTSTATUS QLXSxEntry(WDFDEVICE device);
NTSTATUS QLXSxExit(WDFDEVICE device);
NTSTATUS QLXSxExitAlwaysOn(WDFDEVICE device);

// The steps.
NTSTATUS QLXSaveScrPad(WDFDEVICE device);
NTSTATUS QLXRestoreScrPad(WDFDEVICE device);
NTSTATUS QLXSaveSWDest(WDFDEVICE device);
NTSTATUS QLXRestoreSWDest(WDFDEVICE device);
NTSTATUS QLXDisableSaveSoCHAP(WDFDEVICE device);
NTSTATUS QLXReenableSoCHAP(WDFDEVICE device);
NTSTATUS QLXForceCrossCorelationPacket(WDFDEVICE device);
NTSTATUS QLXSaveCTS(WDFDEVICE device);
NTSTATUS QLXDisableCTS(WDFDEVICE device);
NTSTATUS QLXRestoreCTS(WDFDEVICE device);
NTSTATUS QLXForceAllTracesSourcesOff(WDFDEVICE device);
NTSTATUS QLXTurnOffTraceSources(WDFDEVICE device);
NTSTATUS QLXEnableTraceSources(WDFDEVICE device);
NTSTATUS QLXReenableTracing(WDFDEVICE device);
NTSTATUS QLXKeepTracesOff(WDFDEVICE device);
NTSTATUS QLXWaitUntilIdle(WDFDEVICE device, ULONG destination);
NTSTATUS QLXWaitUntilMSCBuffers(WDFDEVICE device);
NTSTATUS QLXWaitUntilMSCFSMIdle(WDFDEVICE device);
NTSTATUS QLXSaveMSC(WDFDEVICE device);
NTSTATUS QLXDisableMSC(WDFDEVICE device);
NTSTATUS QLXRestoreMSC(WDFDEVICE device);
NTSTATUS QLXSaveTSCUCTRL(WDFDEVICE device);
NTSTATUS QLXReenableTSCU(WDFDEVICE device);
NTSTATUS QLXForceIdle(WDFDEVICE device);
NTSTATUS QLXRestorePnDRP(WDFDEVICE device);
NTSTATUS QLXClearSWDESTOVREN(WDFDEVICE device);
NTSTATUS QLXDisableQLXH(WDFDEVICE device);
NTSTATUS QLXFlushQLXH(WDFDEVICE device);
NTSTATUS QLXChangeQLXHToDbC(WDFDEVICE device);
NTSTATUS QLXSetBME(WDFDEVICE device);

// For tests: the bound of every wait, in microseconds (returns the previous one).
ULONG TxrPowerSetWaitTimeout(ULONG microseconds);
