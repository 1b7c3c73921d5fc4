// The queues' request handlers: writes of framed trace records into the ETW channel, and
// the driver's I/O controls.
#include "syst.h"
#include "txr_driver.h"

VOID QLXEvtIoWrite(WDFQUEUE queue, WDFREQUEST request, size_t length) {
  if (request == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "Request contain NULL value\n");
    return;
  }
  ULONG_PTR written = 0;
  const NTSTATUS status = QLXGuarded("QLXEvtIoWrite", [&]() -> NTSTATUS {
    TxrFunctionTrace trace("QLXEvtIoWrite");
    PFDO_DATA fdoData = queue != nullptr ? QLXFdoGetData(WdfIoQueueGetDevice(queue)) : nullptr;
    if (fdoData == nullptr) {
      TxrLogError(STATUS_UNSUCCESSFUL, "FdoData contain NULL value\n");
      return trace.status = STATUS_UNSUCCESSFUL;
    }
    if (QLXChannelAddress(fdoData, fdoData->EtwMaster, TXR_ETW_CHANNEL) == nullptr) {
      TxrLogError(STATUS_DRIVER_INTERNAL_ERROR, "Invalid channel address!");
      return trace.status = STATUS_DRIVER_INTERNAL_ERROR;
    }
    PVOID buffer = nullptr;
    size_t size = 0;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, length, &buffer, &size))) {
      TxrLogError(STATUS_UNSUCCESSFUL, "WdfRequestRetrieveInputBuffer FAILED\n");
      return trace.status = STATUS_UNSUCCESSFUL;
    }
    if (size < TXR_WRITE_MIN_SIZE || write_trace_data(buffer, size) != 0) {
      TxrLogError(STATUS_UNSUCCESSFUL, "Invalid Trace Data");
      return trace.status = STATUS_UNSUCCESSFUL;
    }
    written = size;
    return trace.status = STATUS_SUCCESS;
  });
  WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? written : 0);
}

namespace {

using TxrControlHandler = NTSTATUS (*)(WDFQUEUE queue, WDFREQUEST request, size_t inputLength, ULONG_PTR& information);

PFDO_DATA FdoDataOfQueue(WDFQUEUE queue) { return QLXFdoGetData(WdfIoQueueGetDevice(queue)); }

NTSTATUS QLXEnableDebugOutput(WDFQUEUE queue, WDFREQUEST request, size_t, ULONG_PTR&) {
  if (queue == nullptr || request == nullptr) {
    TxrLogError(STATUS_INVALID_PARAMETER, "QLXEnableDebugOutput :: Queue and Request contain NULL value\n");
    return STATUS_INVALID_PARAMETER;
  }
  PFDO_DATA fdoData = FdoDataOfQueue(queue);
  if (fdoData == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "QLXEnableDebugOutput :: fdoData contain NULL value\n");
    return STATUS_UNSUCCESSFUL;
  }
  return MipiSystDebugoutput_Enable(fdoData);
}

NTSTATUS QLXDisbleDebugOutput(WDFQUEUE queue, WDFREQUEST request, size_t, ULONG_PTR& information) {
  if (queue == nullptr || request == nullptr) {
    TxrLogError(STATUS_INVALID_PARAMETER, "QLXDisbleDebugOutput :: Queue and Request contain NULL value\n");
    return STATUS_INVALID_PARAMETER;
  }
  information = 0;
  return MipiSystDebugoutput_Disable();
}

// The flag controls read at most the entries their input buffer holds.
NTSTATUS DebugFlags(WDFQUEUE queue, WDFREQUEST request, BOOLEAN enable, const char* nullText,
                    const char* noContextText, const char* retrieveText) {
  if (queue == nullptr || request == nullptr) {
    TxrLogError(STATUS_INVALID_PARAMETER, "%s", nullText);
    return STATUS_INVALID_PARAMETER;
  }
  if (FdoDataOfQueue(queue) == nullptr) {
    TxrLogError(STATUS_UNSUCCESSFUL, "%s", noContextText);
    return STATUS_UNSUCCESSFUL;
  }
  PVOID buffer = nullptr;
  size_t size = 0;
  const NTSTATUS status = WdfRequestRetrieveInputBuffer(request, TXR_FILTER_LIST_MIN_SIZE, &buffer, &size);
  if (!NT_SUCCESS(status)) {
    TxrLogError(status, "%s", retrieveText);
    return status;
  }
  const auto entries = static_cast<ULONG>((size - sizeof(ULONG)) / sizeof(TXR_DEBUG_FILTER_ENTRY));
  return EnableDebugOutputMaskFlags(static_cast<const TXR_DEBUG_FILTER_LIST*>(buffer), entries, enable);
}

NTSTATUS QLXEnableDebugFlags(WDFQUEUE queue, WDFREQUEST request, size_t, ULONG_PTR&) {
  return DebugFlags(queue, request, TRUE, "QLXEnableDebugFlags :: Queue and Request contain NULL value\n",
                    "QLXEnableDebugFlags :: fdoData contain NULL value\n",
                    "QLXEnableDebugFlags::WdfRequestRetrieveInputBuffer failed");
}

NTSTATUS QLXDisableDebugFlags(WDFQUEUE queue, WDFREQUEST request, size_t, ULONG_PTR&) {
  return DebugFlags(queue, request, FALSE, "QLXDisbleDebugFlags :: Queue and Request contain NULL value\n",
                    "QLXDisbleDebugFlags :: fdoData contain NULL value\n",
                    "QLXDisbleDebugFlags :: WdfRequestRetrieveInputBuffer failed");
}

struct TxrControl {
  ULONG code;
  TxrControlHandler handler;
};

constexpr TxrControl kControls[] = {
    {IOCTL_TXR_ENABLE_DEBUG_OUTPUT, QLXEnableDebugOutput},
    {IOCTL_TXR_DISABLE_DEBUG_OUTPUT, QLXDisbleDebugOutput},
    {IOCTL_TXR_ENABLE_DEBUG_FLAGS, QLXEnableDebugFlags},
    {IOCTL_TXR_DISABLE_DEBUG_FLAGS, QLXDisableDebugFlags},
};

}  // namespace

VOID QLXEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t /*outputLength*/, size_t inputLength,
                           ULONG ioControlCode) {
  if (queue == nullptr || request == nullptr) {
    TxrLogError(STATUS_INVALID_PARAMETER, "Queue and Request contain NULL value\n");
    if (request != nullptr) WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
    return;
  }
  ULONG_PTR information = 0;
  const NTSTATUS status = QLXGuarded("QLXEvtIoDeviceControl", [&]() -> NTSTATUS {
    TxrFunctionTrace trace("QLXEvtIoDeviceControl");
    for (const TxrControl& control : kControls) {
      if (control.code == ioControlCode) return trace.status = control.handler(queue, request, inputLength, information);
    }
    TxrLogError(STATUS_INVALID_DEVICE_REQUEST, "Invalid IOCTL request");
    return trace.status = STATUS_INVALID_DEVICE_REQUEST;
  });
  if (!NT_SUCCESS(status)) TxrLogError(status, "QLXEvtIoDeviceControl failed");
  WdfRequestCompleteWithInformation(request, status, information);
}
