// TXR's cross-driver interface: what a client driver shares with TXR to get trace masters
// and channels. A client opens the callback object "\Callback\TxrDriverXifCbo" and notifies
// it with its client record as the first argument; TXR checks the record, registers the
// client, fills in the device and the request table, and calls the client's registration
// notification with (record, 0) on success or (record, 1) on failure. The client owns the
// record and keeps it alive as long as it uses the interface.
//
// Client record (all fields little-endian):
//   0  u32  interface version (0 or 1)                         client
//   4  u32  registered: 1 after a successful registration      TXR
//   8  ptr  the client's callback table; entry 0 is the registration notification  client
//   16 ptr  TXR's request table                                TXR
//   24 GUID client type                                        client
//   40 ptr  the TXR device                                     TXR
//   48 ptr  client handle: any non-null value naming the client client
//
// Availability info block (TxrRequestMCAvailable), n = the type's master blocks:
//   byte 0: in: the block's size; out: the size used (n + 2) | byte 1: n |
//   bytes 2..n+1: channels still available in each master block, in block order
// Allocation request (TxrRequestMCAllocate):
//   byte 0: must be n + 2 | byte 1: not read | bytes 2..n+1: channels wanted per block
#pragma once

#include <cstddef>

#include <ntddk.h>

// Wide literals: WCHAR is wchar_t on Windows and char16_t on the virtual target.
#ifndef TXR_TEXT
#if defined(_WIN32)
#define TXR_TEXT(text) L##text
#else
#define TXR_TEXT(text) u##text
#endif
#endif

#define TXR_XIF_CALLBACK_OBJECT_NAME TXR_TEXT("\\Callback\\TxrDriverXifCbo")
inline constexpr ULONG TXR_XIF_MAX_VERSION = 1;

struct TXR_CLIENT_RECORD;
using PTXR_CLIENT_RECORD = TXR_CLIENT_RECORD*;

// The client's registration notification: failed is 0 or 1.
using PFN_TXR_CLIENT_REGISTRATION_NOTIFY = VOID (*)(PTXR_CLIENT_RECORD record, ULONG failed);
struct TXR_CLIENT_CALLBACKS {
  PFN_TXR_CLIENT_REGISTRATION_NOTIFY RegistrationNotify;
};

using PFN_TXR_REQUEST_MC_AVAILABLE = NTSTATUS (*)(PTXR_CLIENT_RECORD record, PUCHAR infoBlock);
using PFN_TXR_REQUEST_MC_ALLOCATE = NTSTATUS (*)(PTXR_CLIENT_RECORD record, PUCHAR request);
using PFN_TXR_REQUEST_WRITE_TRACE_DATA = NTSTATUS (*)(PTXR_CLIENT_RECORD record, PVOID reserved1, USHORT value,
                                                      PVOID reserved2, USHORT blockIndex, UCHAR channel,
                                                      PUSHORT result);
using PFN_TXR_CLIENT_NOTIFY_STATUS = NTSTATUS (*)(PTXR_CLIENT_RECORD record, NTSTATUS status);

// The order is the interface.
struct TXR_REQUEST_TABLE {
  PFN_TXR_REQUEST_MC_AVAILABLE TxrRequestMCAvailable;
  PFN_TXR_REQUEST_MC_ALLOCATE TxrRequestMCAllocate;
  PFN_TXR_REQUEST_WRITE_TRACE_DATA TxrRequestWriteTraceData;
  PFN_TXR_CLIENT_NOTIFY_STATUS TxrClientNotifyStatus;
};

struct TXR_CLIENT_RECORD {
  ULONG Version;
  ULONG Registered;
  TXR_CLIENT_CALLBACKS* Callbacks;
  const TXR_REQUEST_TABLE* Requests;
  GUID ClientType;
  PVOID Device;
  PVOID ClientHandle;
};
static_assert(sizeof(TXR_CLIENT_RECORD) == 56);
static_assert(offsetof(TXR_CLIENT_RECORD, Registered) == 4);
static_assert(offsetof(TXR_CLIENT_RECORD, Callbacks) == 8);
static_assert(offsetof(TXR_CLIENT_RECORD, Requests) == 16);
static_assert(offsetof(TXR_CLIENT_RECORD, ClientType) == 24);
static_assert(offsetof(TXR_CLIENT_RECORD, Device) == 40);
static_assert(offsetof(TXR_CLIENT_RECORD, ClientHandle) == 48);

// Client types TXR trusts.
inline constexpr GUID TXR_CLIENT_TYPE_1 = {
    0x570b9d2d, 0x829f, 0x4d48, {0x84, 0xb6, 0x3c, 0x60, 0x0d, 0x48, 0x3a, 0x76}};
inline constexpr GUID TXR_CLIENT_TYPE_2 = {
    0x8ad9df48, 0xffcc, 0x42bf, {0xa6, 0x70, 0x08, 0x1f, 0x2b, 0xa0, 0x97, 0x82}};

// The address TxrRequestWriteTraceData answers for a channel the client holds.
inline constexpr ULONG TXR_PLACEHOLDER_CHANNEL_ADDRESS = 0xFF0000;
