// The cross-driver interface: the callback object "\Callback\TxrDriverXifCbo" that client
// drivers notify with their client record, and the registration of a client.
#include "mc_alloc.h"

namespace {

VOID QLX_XIF_NewRegistrationRequestHandler(PVOID context, PVOID argument1, PVOID /*argument2*/) {
  QLXGuardedVoid("QLX_XIF_NewRegistrationRequestHandler", [&] {
    auto device = static_cast<WDFDEVICE>(context);
    auto* record = static_cast<PTXR_CLIENT_RECORD>(argument1);
    if (device == nullptr || record == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "Arg1 and Context contain NULL value\n");
      return;
    }
    const NTSTATUS status = QLX_XIF_RegisterNewClient(device, record);
    // RegisterNewClient checked the callback table unless it refused the record for it.
    if (record->Callbacks != nullptr && record->Callbacks->RegistrationNotify != nullptr) {
      record->Callbacks->RegistrationNotify(record, NT_SUCCESS(status) ? 0 : 1);
    }
  });
}

}  // namespace

NTSTATUS QLX_XIF_RegisterNewClient(WDFDEVICE device, PTXR_CLIENT_RECORD record) {
  TxrFunctionTrace trace("QLX_XIF_RegisterNewClient");
  if (device == nullptr || record == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "Device and CliSharedInterface contain NULL value\n");
    return trace.status = STATUS_UNSUCCESSFUL;
  }
  if (record->ClientHandle == nullptr || record->Callbacks == nullptr ||
      record->Callbacks->RegistrationNotify == nullptr || record->Version > TXR_XIF_MAX_VERSION ||
      !MCAvail_IsTrustedClient(&record->ClientType)) {
    return trace.status = STATUS_UNSUCCESSFUL;
  }
  PFDO_DATA fdoData = QLXFdoGetData(device);
  if (fdoData == nullptr) return trace.status = STATUS_UNSUCCESSFUL;
  const NTSTATUS status = QLX_XIF_AddNewClient(fdoData, record);
  if (!NT_SUCCESS(status)) return trace.status = STATUS_UNSUCCESSFUL;
  record->Device = device;
  record->Requests = QLX_XIF_RequestTable();
  record->Registered = 1;
  return trace.status = STATUS_SUCCESS;
}

NTSTATUS QLX_XIF_CreateNRegisterCBO(WDFDEVICE device) {
  TxrFunctionTrace trace("QLX_XIF_CreateNRegisterCBO");
  PFDO_DATA fdoData = QLXFdoGetData(device);
  if (fdoData == nullptr) return trace.status = STATUS_UNSUCCESSFUL;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, TXR_XIF_CALLBACK_OBJECT_NAME);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
  PCALLBACK_OBJECT object = nullptr;
  NTSTATUS status = ExCreateCallback(&object, &attributes, TRUE, FALSE);
  if (!NT_SUCCESS(status)) return trace.status = status;
  PVOID registration = ExRegisterCallback(object, QLX_XIF_NewRegistrationRequestHandler, device);
  if (registration == nullptr) {
    ObDereferenceObject(object);
    return trace.status = STATUS_INTERNAL_ERROR;
  }
  fdoData->XifCallbackObject = object;
  fdoData->XifRegistration = registration;
  return trace.status = STATUS_SUCCESS;
}

void QLX_XIF_UnregisterCBO(WDFDEVICE device) {
  PFDO_DATA fdoData = device != nullptr ? QLXFdoGetData(device) : nullptr;
  if (fdoData == nullptr) return;
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) return;
  if (irql < DISPATCH_LEVEL && fdoData->XifRegistration != nullptr) {
    ExUnregisterCallback(fdoData->XifRegistration);
    fdoData->XifRegistration = nullptr;
  }
  if (fdoData->XifCallbackObject != nullptr) {
    ObDereferenceObject(fdoData->XifCallbackObject);
    fdoData->XifCallbackObject = nullptr;
  }
}
