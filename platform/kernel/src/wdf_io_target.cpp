// What the bus driver below the device offers: the device's local I/O target, on which the
// ACPI method evaluation is answered (WdfDeviceGetIoTarget, WdfIoTargetSendIoctlSynchronously),
// and the PCI bus interface over the configuration space (WdfFdoQueryForInterface).
#include <algorithm>

#include "acpiioct.h"
#include "framework.h"
#include "wdmguid.h"

namespace platform::kernel {
namespace {

// The method name as ACPI_EVAL_INPUT_BUFFER holds it: its four characters in memory order.
constexpr ULONG method_name(const char (&name)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(name[0])) | static_cast<ULONG>(static_cast<UCHAR>(name[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(name[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(name[3])) << 24;
}

struct Buffer {
  void* data = nullptr;
  ULONG length = 0;
};

bool buffer_of(const WDF_MEMORY_DESCRIPTOR* descriptor, Buffer& buffer) {
  if (descriptor == nullptr) return true;
  if (descriptor->Type != WdfMemoryDescriptorTypeBuffer) return false;
  buffer = Buffer{descriptor->u.BufferType.Buffer, descriptor->u.BufferType.Length};
  return true;
}

NTSTATUS evaluate_acpi_method(FxDevice& device, const Buffer& input, const Buffer& output, ULONG_PTR& returned) {
  if (input.data == nullptr || input.length < sizeof(ACPI_EVAL_INPUT_BUFFER)) return STATUS_INVALID_PARAMETER;
  ACPI_EVAL_INPUT_BUFFER request;
  std::memcpy(&request, input.data, sizeof request);
  if (request.Signature != ACPI_EVAL_INPUT_BUFFER_SIGNATURE) return STATUS_INVALID_PARAMETER;
  if (request.MethodNameAsUlong != method_name("_HID") || !device.description.acpi_hid) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  constexpr ULONG header = offsetof(ACPI_EVAL_OUTPUT_BUFFER, Argument);
  if (output.data == nullptr || output.length < header) return STATUS_BUFFER_TOO_SMALL;
  ACPI_EVAL_OUTPUT_BUFFER answer{};
  answer.Signature = ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE;
  answer.Length = sizeof(ACPI_EVAL_OUTPUT_BUFFER);
  answer.Count = 1;
  answer.Argument[0].Type = ACPI_METHOD_ARGUMENT_INTEGER;
  answer.Argument[0].DataLength = sizeof(ULONG);
  answer.Argument[0].Argument = *device.description.acpi_hid;
  if (output.length < sizeof answer) {
    // The header says how much the whole answer needs.
    std::memcpy(output.data, &answer, header);
    return STATUS_BUFFER_OVERFLOW;
  }
  std::memcpy(output.data, &answer, sizeof answer);
  returned = sizeof answer;
  return STATUS_SUCCESS;
}

FxDevice& interface_device(PVOID context, std::string_view function) {
  auto* object = static_cast<FxObject*>(context);
  if (object == nullptr || object->magic != FxObject::kAlive || object->type != FxType::device) {
    bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1004, reinterpret_cast<ULONG_PTR>(context), 0, 0,
              std::string(function) + " with a context that is not the interface's (or after the device's removal)");
  }
  return *static_cast<FxDevice*>(object);
}

VOID reference_bus_interface(PVOID Context) {
  ++interface_device(Context, "InterfaceReference").bus_interface_references;
}

VOID dereference_bus_interface(PVOID Context) {
  --interface_device(Context, "InterfaceDereference").bus_interface_references;
}

BOOLEAN translate_bus_address(PVOID Context, PHYSICAL_ADDRESS BusAddress, ULONG Length, PULONG AddressSpace,
                              PPHYSICAL_ADDRESS TranslatedAddress) {
  (void)interface_device(Context, "TranslateBusAddress");
  (void)Length;
  // The root bus maps memory space one to one.
  if (AddressSpace != nullptr) *AddressSpace = 0;
  if (TranslatedAddress != nullptr) *TranslatedAddress = BusAddress;
  return TRUE;
}

_DMA_ADAPTER* get_dma_adapter(PVOID Context, _DEVICE_DESCRIPTION*, PULONG) {
  (void)interface_device(Context, "GetDmaAdapter");
  return nullptr;
}

// Moves bytes of the configuration space; the count moved (0 for another space).
ULONG move_config_bytes(PVOID context, ULONG data_type, PVOID buffer, ULONG offset, ULONG length, bool to_device,
                        std::string_view function) {
  require_irql_at_most(DISPATCH_LEVEL, function);
  FxDevice& device = interface_device(context, function);
  auto& space = device.description.pci_config;
  if (data_type != PCI_WHICHSPACE_CONFIG || buffer == nullptr || offset >= space.size()) return 0;
  const ULONG count = std::min<ULONG>(length, static_cast<ULONG>(space.size()) - offset);
  std::lock_guard lock(device.pci_config_mutex);
  if (to_device) {
    std::memcpy(space.data() + offset, buffer, count);
  } else {
    std::memcpy(buffer, space.data() + offset, count);
  }
  return count;
}

ULONG get_bus_data(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length) {
  return move_config_bytes(Context, DataType, Buffer, Offset, Length, false, "GetBusData");
}

ULONG set_bus_data(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset, ULONG Length) {
  return move_config_bytes(Context, DataType, Buffer, Offset, Length, true, "SetBusData");
}

}  // namespace
}  // namespace platform::kernel

using namespace platform::kernel;

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
  KERNEL_ENTRY("WdfDeviceGetIoTarget");
  return as_handle<WDFIOTARGET>(from_handle<FxDevice>(Device, FxType::device, "WdfDeviceGetIoTarget")->io_target);
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer, PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned) {
  KERNEL_STATUS_ENTRY("WdfIoTargetSendIoctlSynchronously");
  require_irql_at_most(PASSIVE_LEVEL, "WdfIoTargetSendIoctlSynchronously");
  auto* target = from_handle<FxIoTarget>(IoTarget, FxType::io_target, "WdfIoTargetSendIoctlSynchronously");
  if (BytesReturned != nullptr) *BytesReturned = 0;
  if (Request != nullptr || RequestOptions != nullptr) return STATUS_NOT_SUPPORTED;
  Buffer input;
  Buffer output;
  if (!buffer_of(InputBuffer, input) || !buffer_of(OutputBuffer, output)) return STATUS_INVALID_PARAMETER;
  if (IoctlCode != IOCTL_ACPI_EVAL_METHOD) return STATUS_INVALID_DEVICE_REQUEST;
  ULONG_PTR returned = 0;
  const NTSTATUS status = evaluate_acpi_method(*target->device, input, output, returned);
  if (BytesReturned != nullptr) *BytesReturned = returned;
  return status;
}

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size,
                                 USHORT Version, PVOID InterfaceSpecificData) {
  KERNEL_STATUS_ENTRY("WdfFdoQueryForInterface");
  (void)InterfaceSpecificData;
  require_irql_at_most(PASSIVE_LEVEL, "WdfFdoQueryForInterface");
  auto* device = from_handle<FxDevice>(Fdo, FxType::device, "WdfFdoQueryForInterface");
  if (InterfaceType == nullptr || Interface == nullptr) return STATUS_INVALID_PARAMETER;
  // Only the PCI bus driver offers the standard bus interface.
  if (device->description.bus != DeviceDescription::Bus::pci || !IsEqualGUID(*InterfaceType, GUID_BUS_INTERFACE_STANDARD)) {
    return STATUS_NOT_SUPPORTED;
  }
  if (Size < sizeof(BUS_INTERFACE_STANDARD)) return STATUS_INVALID_PARAMETER;
  if (Version != PCI_BUS_INTERFACE_STANDARD_VERSION) return STATUS_NOT_SUPPORTED;
  auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(Interface);
  bus->Size = sizeof(BUS_INTERFACE_STANDARD);
  bus->Version = PCI_BUS_INTERFACE_STANDARD_VERSION;
  bus->Context = static_cast<FxObject*>(device);
  bus->InterfaceReference = &reference_bus_interface;
  bus->InterfaceDereference = &dereference_bus_interface;
  bus->TranslateBusAddress = &translate_bus_address;
  bus->GetDmaAdapter = &get_dma_adapter;
  bus->SetBusData = &set_bus_data;
  bus->GetBusData = &get_bus_data;
  // The interface comes referenced; the driver gives the reference back with
  // InterfaceDereference.
  bus->InterfaceReference(bus->Context);
  return STATUS_SUCCESS;
}
