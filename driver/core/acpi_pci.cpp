// ACPI method evaluation through the device's default I/O target, and PCI configuration
// space access through the bus interface.
#include <acpiioct.h>

#include "txr_driver.h"

NTSTATUS QLXSendIrpToAcpi(WDFDEVICE device, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength) {
  if (inputLength < sizeof(ACPI_EVAL_INPUT_BUFFER)) {
    TxrLogError(STATUS_INVALID_PARAMETER, "QLXSendIrpToAcpi: Input buffer size too small.");
    return STATUS_INVALID_PARAMETER;
  }
  if (outputLength < sizeof(ACPI_EVAL_OUTPUT_BUFFER)) {
    TxrLogError(STATUS_INVALID_PARAMETER, "QLXSendIrpToAcpi: Output buffer size too small.");
    return STATUS_INVALID_PARAMETER;
  }
  WDF_MEMORY_DESCRIPTOR inputDescriptor;
  WDF_MEMORY_DESCRIPTOR outputDescriptor;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&inputDescriptor, input, inputLength);
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&outputDescriptor, output, outputLength);
  ULONG_PTR returned = 0;
  const NTSTATUS status = WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(device), nullptr,
                                                            IOCTL_ACPI_EVAL_METHOD, &inputDescriptor,
                                                            &outputDescriptor, nullptr, &returned);
  if (!NT_SUCCESS(status)) {
    TxrLogError(status, "QLXSendIrpToAcpi: WdfIoTargetSendIoctlSynchronously() returned");
  }
  return status;
}

NTSTATUS QLXAcpiGetUlong(WDFDEVICE device, const char methodName[4], PULONG value) {
  ACPI_EVAL_INPUT_BUFFER input;
  RtlZeroMemory(&input, sizeof input);
  input.Signature = ACPI_EVAL_INPUT_BUFFER_SIGNATURE;
  RtlCopyMemory(&input.MethodNameAsUlong, methodName, 4);
  ACPI_EVAL_OUTPUT_BUFFER output;
  RtlZeroMemory(&output, sizeof output);
  output.Signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
  NTSTATUS status = QLXSendIrpToAcpi(device, &input, sizeof input, &output, sizeof output);
  // An answer that carries no integer is no answer.
  if (NT_SUCCESS(status) && (output.Signature != ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE || output.Count == 0 ||
                             output.Argument[0].Type != ACPI_METHOD_ARGUMENT_INTEGER)) {
    status = STATUS_UNSUCCESSFUL;
  }
  if (!NT_SUCCESS(status)) {
    TxrLogError(status, "QLXAcpiGetUlong: SendIrpToAcpi() failed");
    return status;
  }
  *value = output.Argument[0].Argument;
  return STATUS_SUCCESS;
}

NTSTATUS QLXAcpiGet_HID(WDFDEVICE device, PULONG value) { return QLXAcpiGetUlong(device, "_HID", value); }

namespace {

bool ValidPciSize(ULONG size) { return size == 1 || size == 2 || size == 4; }

}  // namespace

NTSTATUS QLXReadPCIInternal(PFDO_DATA fdoData, UCHAR offset, PVOID buffer, ULONG size) {
  if (!ValidPciSize(size)) {
    TxrLogError(STATUS_INTERNAL_ERROR, "QLX Read PCI: Unexpected value for size parameter");
    return STATUS_INTERNAL_ERROR;
  }
  RtlZeroMemory(buffer, size);
  ULONG moved = 0;
  if (fdoData->HasBusInterface && fdoData->BusInterface.GetBusData != nullptr) {
    moved = fdoData->BusInterface.GetBusData(fdoData->BusInterface.Context, PCI_WHICHSPACE_CONFIG, buffer, offset, size);
  }
  if (moved != size) {
    TxrLogError(STATUS_INVALID_DEVICE_REQUEST, "GetBusData failed");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QLXWritePCIInternal(PFDO_DATA fdoData, UCHAR offset, PVOID buffer, ULONG size) {
  if (!ValidPciSize(size)) {
    TxrLogError(STATUS_INTERNAL_ERROR, "QLX PCI Write: Unexpected value for size parameter");
    return STATUS_INTERNAL_ERROR;
  }
  ULONG moved = 0;
  if (fdoData->HasBusInterface && fdoData->BusInterface.SetBusData != nullptr) {
    moved = fdoData->BusInterface.SetBusData(fdoData->BusInterface.Context, PCI_WHICHSPACE_CONFIG, buffer, offset, size);
  }
  if (moved != size) {
    TxrLogError(STATUS_INVALID_DEVICE_REQUEST, "SetBusData failed");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return STATUS_SUCCESS;
}
