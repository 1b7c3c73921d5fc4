// Master/channel allocation: the availability map built into the driver image, the
// per-device allocation map of registered clients, and the request functions handed to
// clients.
//
// Availability map: a count byte, then one record per client type, each 18 + 6n bytes:
//   +-------------------+-----+---+----------------------------------------------+
//   | client type GUID  | 00  | n | n blocks of 6 bytes:                         |
//   | (16 bytes)        |     |   | master (u16) | capacity | first | allocated | available |
//   +-------------------+-----+---+----------------------------------------------+
//
// Every access to both maps happens under the device's spin lock: different client drivers
// may register and request at the same time.
#include "mc_alloc.h"

namespace {

constexpr UCHAR GuidByte(const GUID& guid, ULONG index) {
  return index < 4   ? static_cast<UCHAR>(guid.Data1 >> (8 * index))
         : index < 6 ? static_cast<UCHAR>(guid.Data2 >> (8 * (index - 4)))
         : index < 8 ? static_cast<UCHAR>(guid.Data3 >> (8 * (index - 6)))
                     : guid.Data4[index - 8];
}

#define TXR_GUID_BYTES(g)                                                                                       \
  GuidByte(g, 0), GuidByte(g, 1), GuidByte(g, 2), GuidByte(g, 3), GuidByte(g, 4), GuidByte(g, 5), GuidByte(g, 6), \
      GuidByte(g, 7), GuidByte(g, 8), GuidByte(g, 9), GuidByte(g, 10), GuidByte(g, 11), GuidByte(g, 12),          \
      GuidByte(g, 13), GuidByte(g, 14), GuidByte(g, 15)

// Allocated and available are set by MCAvail_InitializeMap.
UCHAR g_MCAvailMap[] = {
    2,
    TXR_GUID_BYTES(TXR_CLIENT_TYPE_1), 0, 3,
    0x2C, 0x01, 50, 50, 0, 0,  // master 300: 50 channels from 50
    0x2D, 0x01, 50, 35, 0, 0,  // master 301: 50 channels from 35
    0x2E, 0x01, 20, 0, 0, 0,   // master 302: 20 channels from 0
    TXR_GUID_BYTES(TXR_CLIENT_TYPE_2), 0, 1,
    0x90, 0x01, 100, 0, 0, 0,  // master 400: 100 channels from 0
};

#undef TXR_GUID_BYTES

const TXR_REQUEST_TABLE g_TxrRequestTable = {
    TxrRequestMCAvailable,
    TxrRequestMCAllocate,
    TxrRequestWriteTraceData,
    TxrClientNotifyStatus,
};

// The device whose map a client's request works on: the one it registered with.
PFDO_DATA FdoDataOfClient(const TXR_CLIENT_RECORD* record) {
  if (record == nullptr || record->Device == nullptr || record->Registered != 1) return nullptr;
  return QLXFdoGetData(static_cast<WDFDEVICE>(record->Device));
}

// The client's node under the device's lock, or null.
MCALLOC_CLIENT_NODE* FindClientNode(PFDO_DATA fdoData, const TXR_CLIENT_RECORD* record) {
  MCALLOC_CLIENT_TYPE_NODE* typeNode = MCAlloc_FindClientType(&record->ClientType, fdoData->ClientTypes);
  if (typeNode == nullptr) return nullptr;
  return MCAlloc_FindClientAllocInfo(record->ClientHandle, typeNode->Clients);
}

}  // namespace

const TXR_REQUEST_TABLE* QLX_XIF_RequestTable() { return &g_TxrRequestTable; }

// ---- Availability map ---------------------------------------------------------------------

PUCHAR MCAvail_GetEntireMap() { return g_MCAvailMap; }

ULONG MCAvail_GetTotalClientTypes() { return g_MCAvailMap[0]; }

PUCHAR MCAvail_GetFirstClientInfo() { return g_MCAvailMap + 1; }

ULONG MCAvail_ClientInfoSize(const UCHAR* clientInfo) {
  return MCAVAIL_CLIENT_HEADER_SIZE + MCAVAIL_BLOCK_SIZE * clientInfo[MCAVAIL_BLOCK_COUNT_OFFSET];
}

PUCHAR MCAvail_GetNextClientInfo(ULONG index) {
  if (index + 1 >= MCAvail_GetTotalClientTypes()) return nullptr;
  PUCHAR clientInfo = MCAvail_GetFirstClientInfo();
  for (ULONG i = 0; i <= index; ++i) clientInfo += MCAvail_ClientInfoSize(clientInfo);
  return clientInfo;
}

PUCHAR MCAvail_GetNextMasterAvailBlock(PUCHAR clientInfo, ULONG blockIndex) {
  if (clientInfo == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "pCliMasterAllocInfo contain NULL value\n");
    return nullptr;
  }
  return clientInfo + MCAVAIL_CLIENT_HEADER_SIZE + MCAVAIL_BLOCK_SIZE * blockIndex;
}

PUCHAR MCAvail_FindClientAvailMap(const GUID* clientType) {
  if (clientType == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "ClientTypeToFind contain NULL value\n");
    return nullptr;
  }
  PUCHAR clientInfo = MCAvail_GetFirstClientInfo();
  for (ULONG index = 0; index < MCAvail_GetTotalClientTypes(); ++index) {
    if (RtlCompareMemory(clientInfo, clientType, sizeof(GUID)) == sizeof(GUID)) return clientInfo;
    clientInfo += MCAvail_ClientInfoSize(clientInfo);
  }
  return nullptr;
}

BOOLEAN MCAvail_IsTrustedClient(const GUID* clientType) { return MCAvail_FindClientAvailMap(clientType) != nullptr; }

ULONG MCAvail_CalcSizeMCInfoBlock(const UCHAR* clientInfo) { return clientInfo[MCAVAIL_BLOCK_COUNT_OFFSET] + 2u; }

void MCAvail_InitializeMap() {
  PUCHAR clientInfo = MCAvail_GetFirstClientInfo();
  for (ULONG type = 0; type < MCAvail_GetTotalClientTypes(); ++type) {
    for (ULONG block = 0; block < clientInfo[MCAVAIL_BLOCK_COUNT_OFFSET]; ++block) {
      PUCHAR entry = MCAvail_GetNextMasterAvailBlock(clientInfo, block);
      entry[MCAVAIL_ALLOCATED] = 0;
      entry[MCAVAIL_AVAILABLE] = entry[MCAVAIL_CAPACITY];
    }
    clientInfo += MCAvail_ClientInfoSize(clientInfo);
  }
}

NTSTATUS MCAvail_GetAvailableMC(const GUID* clientType, PUCHAR infoBlock) {
  if (clientType == nullptr || infoBlock == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "pClientType and pMasterChannelInfo contain NULL value\n");
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG size = infoBlock[0];
  if (size <= 2) return STATUS_INSUFFICIENT_RESOURCES;
  PUCHAR clientInfo = MCAvail_FindClientAvailMap(clientType);
  if (clientInfo == nullptr) return STATUS_DRIVER_INTERNAL_ERROR;
  const ULONG needed = MCAvail_CalcSizeMCInfoBlock(clientInfo);
  if (size < needed) {
    infoBlock[0] = static_cast<UCHAR>(needed);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(infoBlock, size);
  const ULONG blocks = clientInfo[MCAVAIL_BLOCK_COUNT_OFFSET];
  infoBlock[0] = static_cast<UCHAR>(needed);
  infoBlock[1] = static_cast<UCHAR>(blocks);
  for (ULONG block = 0; block < blocks; ++block) {
    infoBlock[2 + block] = MCAvail_GetNextMasterAvailBlock(clientInfo, block)[MCAVAIL_AVAILABLE];
  }
  return STATUS_SUCCESS;
}

// ---- Allocation map -----------------------------------------------------------------------

MCALLOC_CLIENT_TYPE_NODE* MCAlloc_FindClientType(const GUID* clientType, MCALLOC_CLIENT_TYPE_NODE* head) {
  if (clientType == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "ClientTypeToFind and HeadClientMCAlloc contain NULL value\n");
    return nullptr;
  }
  for (MCALLOC_CLIENT_TYPE_NODE* node = head; node != nullptr; node = node->Next) {
    if (node->ClientType == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "ClientTypeCompare contain NULL value\n");
      continue;
    }
    if (RtlCompareMemory(node->ClientType, clientType, sizeof(GUID)) == sizeof(GUID)) return node;
  }
  return nullptr;
}

MCALLOC_CLIENT_NODE* MCAlloc_FindClientAllocInfo(PVOID clientHandle, MCALLOC_CLIENT_NODE* head) {
  if (clientHandle == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "ClientHandleToFind and ClientMCAllocMap contain NULL value\n");
    return nullptr;
  }
  for (MCALLOC_CLIENT_NODE* node = head; node != nullptr; node = node->Next) {
    if (node->Client != nullptr && node->Client->ClientHandle == clientHandle) return node;
  }
  return nullptr;
}

BOOLEAN MCAlloc_CheckIfClientHasMCAllocated(PFDO_DATA fdoData, const TXR_CLIENT_RECORD* record) {
  return FindClientNode(fdoData, record) != nullptr;
}

namespace {

MCALLOC_CLIENT_NODE* NewClientNode(PTXR_CLIENT_RECORD record, PUCHAR clientInfo) {
  const ULONG blocks = clientInfo[MCAVAIL_BLOCK_COUNT_OFFSET];
  const SIZE_T size = FIELD_OFFSET(MCALLOC_CLIENT_NODE, Pairs) + blocks * sizeof(MCALLOC_PAIR);
  auto* node = static_cast<MCALLOC_CLIENT_NODE*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, TXR_POOL_TAG));
  if (node == nullptr) return nullptr;
  RtlZeroMemory(node, size);
  node->Client = record;
  node->AvailInfo = clientInfo;
  return node;
}

}  // namespace

NTSTATUS MCAlloc_AddNewClientToExistingClientType(MCALLOC_CLIENT_TYPE_NODE* typeNode, PTXR_CLIENT_RECORD record) {
  if (typeNode == nullptr || record == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "pClientSharedInterface and pClientMCAllocMap contain NULL value\n");
    return STATUS_UNSUCCESSFUL;
  }
  PUCHAR clientInfo = MCAvail_FindClientAvailMap(&record->ClientType);
  if (clientInfo == nullptr) return STATUS_UNSUCCESSFUL;
  MCALLOC_CLIENT_NODE* node = NewClientNode(record, clientInfo);
  if (node == nullptr) return STATUS_UNSUCCESSFUL;
  node->Next = typeNode->Clients;
  typeNode->Clients = node;
  return STATUS_SUCCESS;
}

NTSTATUS MCAlloc_AddNewClientTypeToAllocMap(PFDO_DATA fdoData, PTXR_CLIENT_RECORD record) {
  if (fdoData == nullptr || record == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "FdoData and pClientSharedInterface contain NULL value\n");
    return STATUS_UNSUCCESSFUL;
  }
  PUCHAR clientInfo = MCAvail_FindClientAvailMap(&record->ClientType);
  if (clientInfo == nullptr) return STATUS_UNSUCCESSFUL;
  auto* typeNode = static_cast<MCALLOC_CLIENT_TYPE_NODE*>(
      ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(MCALLOC_CLIENT_TYPE_NODE), TXR_POOL_TAG));
  if (typeNode == nullptr) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(typeNode, sizeof *typeNode);
  MCALLOC_CLIENT_NODE* node = NewClientNode(record, clientInfo);
  if (node == nullptr) {
    ExFreePoolWithTag(typeNode, TXR_POOL_TAG);
    return STATUS_UNSUCCESSFUL;
  }
  // The type node refers to the availability map's GUID, which lives as long as the driver;
  // the client's record may go away with the client.
  typeNode->ClientType = reinterpret_cast<const GUID*>(clientInfo);
  typeNode->Clients = node;
  typeNode->Next = fdoData->ClientTypes;
  fdoData->ClientTypes = typeNode;
  return STATUS_SUCCESS;
}

NTSTATUS QLX_XIF_AddNewClient(PFDO_DATA fdoData, PTXR_CLIENT_RECORD record) {
  if (fdoData == nullptr || record == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "FdoData and NewClientInterface contain NULL value\n");
    return STATUS_UNSUCCESSFUL;
  }
  WdfSpinLockAcquire(fdoData->Lock);
  NTSTATUS status;
  if (MCAlloc_CheckIfClientHasMCAllocated(fdoData, record)) {
    status = STATUS_UNSUCCESSFUL;  // a client registers once
  } else if (MCALLOC_CLIENT_TYPE_NODE* typeNode = MCAlloc_FindClientType(&record->ClientType, fdoData->ClientTypes)) {
    status = MCAlloc_AddNewClientToExistingClientType(typeNode, record);
  } else {
    status = MCAlloc_AddNewClientTypeToAllocMap(fdoData, record);
  }
  WdfSpinLockRelease(fdoData->Lock);
  return status;
}

NTSTATUS MCAlloc_AllocateMCToClient(PFDO_DATA fdoData, const TXR_CLIENT_RECORD* record, const UCHAR* request) {
  if (record == nullptr || request == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "pCliSharedInterface and pCliMCAllocInfo contain NULL value\n");
    return STATUS_UNSUCCESSFUL;
  }
  WdfSpinLockAcquire(fdoData->Lock);
  NTSTATUS status = STATUS_SUCCESS;
  MCALLOC_CLIENT_NODE* node = FindClientNode(fdoData, record);
  if (node == nullptr || node->AvailInfo == nullptr) {
    status = STATUS_DRIVER_INTERNAL_ERROR;
  } else {
    PUCHAR clientInfo = node->AvailInfo;
    const ULONG blocks = clientInfo[MCAVAIL_BLOCK_COUNT_OFFSET];
    if (request[0] != blocks + 2) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      // Checked in full first, so that a refused request changes nothing.
      for (ULONG block = 0; block < blocks && NT_SUCCESS(status); ++block) {
        if (MCAvail_GetNextMasterAvailBlock(clientInfo, block)[MCAVAIL_AVAILABLE] < request[2 + block]) {
          status = STATUS_DRIVER_INTERNAL_ERROR;
        }
      }
      for (ULONG block = 0; block < blocks && NT_SUCCESS(status); ++block) {
        PUCHAR entry = MCAvail_GetNextMasterAvailBlock(clientInfo, block);
        const UCHAR wanted = request[2 + block];
        node->Pairs[block].Allocated = wanted;
        node->Pairs[block].FirstChannel = static_cast<UCHAR>(entry[MCAVAIL_FIRST_CHANNEL] + entry[MCAVAIL_ALLOCATED]);
        entry[MCAVAIL_AVAILABLE] = static_cast<UCHAR>(entry[MCAVAIL_AVAILABLE] - wanted);
        entry[MCAVAIL_ALLOCATED] = static_cast<UCHAR>(entry[MCAVAIL_ALLOCATED] + wanted);
      }
    }
  }
  WdfSpinLockRelease(fdoData->Lock);
  return status;
}

BOOLEAN MCAlloc_GetPhyChannelAddress(const MCALLOC_CLIENT_NODE* node, USHORT blockIndex, UCHAR channel,
                                     PULONG address) {
  if (node == nullptr || node->AvailInfo == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "pCliSharedInterface, pCliMCAllocMap and pCliMasterAllocInfo contain NULL value\n");
    return FALSE;
  }
  if (blockIndex >= node->AvailInfo[MCAVAIL_BLOCK_COUNT_OFFSET] || channel > node->Pairs[blockIndex].Allocated) {
    return FALSE;
  }
  *address = TXR_PLACEHOLDER_CHANNEL_ADDRESS;
  return TRUE;
}

void MCAlloc_FreeMap(PFDO_DATA fdoData) {
  if (fdoData == nullptr) return;
  MCALLOC_CLIENT_TYPE_NODE* typeNode = fdoData->ClientTypes;
  fdoData->ClientTypes = nullptr;
  while (typeNode != nullptr) {
    MCALLOC_CLIENT_NODE* node = typeNode->Clients;
    while (node != nullptr) {
      MCALLOC_CLIENT_NODE* next = node->Next;
      ExFreePoolWithTag(node, TXR_POOL_TAG);
      node = next;
    }
    MCALLOC_CLIENT_TYPE_NODE* nextType = typeNode->Next;
    ExFreePoolWithTag(typeNode, TXR_POOL_TAG);
    typeNode = nextType;
  }
}

NTSTATUS QLXInitMasterChannelAllocation(WDFDEVICE device) {
  if (device == nullptr || QLXFdoGetData(device) == nullptr) return STATUS_UNSUCCESSFUL;
  MCAvail_InitializeMap();
  return STATUS_SUCCESS;
}

// ---- Requests of registered clients --------------------------------------------------------

NTSTATUS TxrRequestMCAvailable(PTXR_CLIENT_RECORD record, PUCHAR infoBlock) {
  return QLXGuarded("TxrRequestMCAvailable", [&]() -> NTSTATUS {
    if (record == nullptr || infoBlock == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "pCliSharedIface and pMCInfoAvailable contain NULL value\n");
      return STATUS_UNSUCCESSFUL;
    }
    PFDO_DATA fdoData = FdoDataOfClient(record);
    if (fdoData == nullptr) return MCAvail_GetAvailableMC(&record->ClientType, infoBlock);
    WdfSpinLockAcquire(fdoData->Lock);
    const NTSTATUS status = MCAvail_GetAvailableMC(&record->ClientType, infoBlock);
    WdfSpinLockRelease(fdoData->Lock);
    return status;
  });
}

NTSTATUS TxrRequestMCAllocate(PTXR_CLIENT_RECORD record, PUCHAR request) {
  return QLXGuarded("TxrRequestMCAllocate", [&]() -> NTSTATUS {
    if (record == nullptr || request == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "PCliSharedIface and PMCInfoAllocate contain NULL value\n");
      return STATUS_UNSUCCESSFUL;
    }
    PFDO_DATA fdoData = FdoDataOfClient(record);
    if (fdoData == nullptr) return STATUS_DRIVER_INTERNAL_ERROR;  // never registered
    return MCAlloc_AllocateMCToClient(fdoData, record, request);
  });
}

NTSTATUS TxrRequestWriteTraceData(PTXR_CLIENT_RECORD record, PVOID /*reserved1*/, USHORT value, PVOID /*reserved2*/,
                                  USHORT blockIndex, UCHAR channel, PUSHORT result) {
  return QLXGuarded("TxrRequestWriteTraceData", [&]() -> NTSTATUS {
    if (record == nullptr || result == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "pCliSharedInterface and pCliMCAllocInfo contain NULL value\n");
      return STATUS_UNSUCCESSFUL;
    }
    PFDO_DATA fdoData = FdoDataOfClient(record);
    ULONG address = 0;
    BOOLEAN found = FALSE;
    if (fdoData != nullptr) {
      WdfSpinLockAcquire(fdoData->Lock);
      found = MCAlloc_GetPhyChannelAddress(FindClientNode(fdoData, record), blockIndex, channel, &address);
      WdfSpinLockRelease(fdoData->Lock);
    }
    if (!found) {
      *result = 0;
      return STATUS_DRIVER_INTERNAL_ERROR;
    }
    *result = value;
    return STATUS_SUCCESS;
  });
}

NTSTATUS TxrClientNotifyStatus(PTXR_CLIENT_RECORD /*record*/, NTSTATUS /*status*/) { return STATUS_SUCCESS; }
