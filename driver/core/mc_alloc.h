// Master/channel allocation (MCAvail: the availability map shared by all devices; MCAlloc:
// the per-device allocation map of registered clients) and the client requests.
// Callers of the MCAlloc_ routines that walk or change a device's map hold its spin lock
// (FDO_DATA::Lock); the request functions and QLX_XIF_AddNewClient take it themselves.
#pragma once

#include "txr_driver.h"
#include "txr_xif.h"

// Layout of one client-type record of the availability map.
inline constexpr ULONG MCAVAIL_CLIENT_HEADER_SIZE = 18;  // GUID, reserved, block count
inline constexpr ULONG MCAVAIL_BLOCK_COUNT_OFFSET = 17;
inline constexpr ULONG MCAVAIL_BLOCK_SIZE = 6;
// Offsets inside one 6-byte master block.
inline constexpr ULONG MCAVAIL_MASTER = 0;  // u16
inline constexpr ULONG MCAVAIL_CAPACITY = 2;
inline constexpr ULONG MCAVAIL_FIRST_CHANNEL = 3;
inline constexpr ULONG MCAVAIL_ALLOCATED = 4;
inline constexpr ULONG MCAVAIL_AVAILABLE = 5;

struct MCALLOC_PAIR {
  UCHAR Allocated;     // channels allocated to the client in this block
  UCHAR FirstChannel;  // the first of them
};

struct MCALLOC_CLIENT_NODE {
  PTXR_CLIENT_RECORD Client;
  PUCHAR AvailInfo;  // the type's record in the availability map
  MCALLOC_CLIENT_NODE* Next;
  MCALLOC_PAIR Pairs[1];  // one per master block of the type
};
// (n + 12) × 2 bytes for a type of n blocks.
static_assert(FIELD_OFFSET(MCALLOC_CLIENT_NODE, Pairs) == 24);

struct MCALLOC_CLIENT_TYPE_NODE {
  const GUID* ClientType;
  MCALLOC_CLIENT_NODE* Clients;
  MCALLOC_CLIENT_TYPE_NODE* Next;
};

// Availability map.
PUCHAR MCAvail_GetEntireMap();
ULONG MCAvail_GetTotalClientTypes();
PUCHAR MCAvail_GetFirstClientInfo();
PUCHAR MCAvail_GetNextClientInfo(ULONG index);
PUCHAR MCAvail_GetNextMasterAvailBlock(PUCHAR clientInfo, ULONG blockIndex);
PUCHAR MCAvail_FindClientAvailMap(const GUID* clientType);
BOOLEAN MCAvail_IsTrustedClient(const GUID* clientType);
ULONG MCAvail_CalcSizeMCInfoBlock(const UCHAR* clientInfo);
void MCAvail_InitializeMap();
NTSTATUS MCAvail_GetAvailableMC(const GUID* clientType, PUCHAR infoBlock);

// Allocation map.
MCALLOC_CLIENT_TYPE_NODE* MCAlloc_FindClientType(const GUID* clientType, MCALLOC_CLIENT_TYPE_NODE* head);
MCALLOC_CLIENT_NODE* MCAlloc_FindClientAllocInfo(PVOID clientHandle, MCALLOC_CLIENT_NODE* head);
BOOLEAN MCAlloc_CheckIfClientHasMCAllocated(PFDO_DATA fdoData, const TXR_CLIENT_RECORD* record);
NTSTATUS MCAlloc_AddNewClientToExistingClientType(MCALLOC_CLIENT_TYPE_NODE* typeNode, PTXR_CLIENT_RECORD record);
NTSTATUS MCAlloc_AddNewClientTypeToAllocMap(PFDO_DATA fdoData, PTXR_CLIENT_RECORD record);
NTSTATUS MCAlloc_AllocateMCToClient(PFDO_DATA fdoData, const TXR_CLIENT_RECORD* record, const UCHAR* request);
BOOLEAN MCAlloc_GetPhyChannelAddress(const MCALLOC_CLIENT_NODE* node, USHORT blockIndex, UCHAR channel,
                                     PULONG address);

// Registration (xif.cpp) and the request table handed to clients.
NTSTATUS QLX_XIF_AddNewClient(PFDO_DATA fdoData, PTXR_CLIENT_RECORD record);
NTSTATUS QLX_XIF_RegisterNewClient(WDFDEVICE device, PTXR_CLIENT_RECORD record);
const TXR_REQUEST_TABLE* QLX_XIF_RequestTable();

NTSTATUS TxrRequestMCAvailable(PTXR_CLIENT_RECORD record, PUCHAR infoBlock);
NTSTATUS TxrRequestMCAllocate(PTXR_CLIENT_RECORD record, PUCHAR request);
NTSTATUS TxrRequestWriteTraceData(PTXR_CLIENT_RECORD record, PVOID reserved1, USHORT value, PVOID reserved2,
                                  USHORT blockIndex, UCHAR channel, PUSHORT result);
NTSTATUS TxrClientNotifyStatus(PTXR_CLIENT_RECORD record, NTSTATUS status);
