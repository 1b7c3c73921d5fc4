// IRPs the stand-in sends to the driver (create, cleanup and close of a user-mode open, and
// set-power IRPs), their completion (IoCompleteRequest), the framework's dispatch routine and
// preprocess callbacks (WdfDeviceWdmDispatchPreprocessedIrp).
#include <algorithm>

#include "framework.h"

namespace platform::kernel {
namespace {

IrpPacket& packet_of(PIRP irp, std::string_view function) {
  // The IRP is the packet's first member; the magic word tells a packet from anything else.
  auto* packet = reinterpret_cast<IrpPacket*>(irp);
  if (irp == nullptr || packet->magic != IrpPacket::kMagic) {
    bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1002, reinterpret_cast<ULONG_PTR>(irp), 0, 0,
              std::string(function) + " of something that is not an IRP the system sent");
  }
  return *packet;
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

FxDevice* framework_device(PDEVICE_OBJECT device_object) {
  if (device_object == nullptr) return nullptr;
  auto* object = static_cast<FxObject*>(device_object->DeviceExtension);
  if (object == nullptr || object->magic != FxObject::kAlive || object->type != FxType::device) return nullptr;
  auto* device = static_cast<FxDevice*>(object);
  return &device->wdm == device_object ? device : nullptr;
}

static_assert(std::is_standard_layout_v<IrpPacket>);

IrpPacket::IrpPacket() {
  irp.Type = 6;  // IO_TYPE_IRP
  irp.Size = sizeof(IRP);
  irp.StackCount = 2;
  irp.CurrentLocation = 2;
  irp.Tail.Overlay.CurrentStackLocation = &stack[1];
}

NTSTATUS send_irp(FxDevice& device, IrpPacket& packet) {
  packet.location().DeviceObject = &device.wdm;
  const PDRIVER_DISPATCH dispatch = device.driver->wdm->MajorFunction[packet.location().MajorFunction];
  const NTSTATUS returned =
      call_driver("the driver's dispatch routine", [&] { return dispatch(&device.wdm, &packet.irp); });
  std::unique_lock lock(packet.mutex);
  if (!packet.completed) {
    if (returned != STATUS_PENDING) {
      bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1003, reinterpret_cast<ULONG_PTR>(&packet.irp),
                static_cast<ULONG>(returned), 0,
                "a dispatch routine returned without completing the IRP or returning STATUS_PENDING");
    }
    packet.completed_signal.wait(lock, [&] { return packet.completed; });
  }
  return packet.irp.IoStatus.Status;
}

NTSTATUS framework_handle_irp(FxDevice& device, IrpPacket& packet) {
  (void)device;
  packet.reached_framework = true;
  switch (IoGetCurrentIrpStackLocation(&packet.irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
    // A set-power IRP that reaches the framework is what makes it power the device down or
    // up; the PnP manager runs that transition once the IRP is back.
    case IRP_MJ_POWER:
      return complete(&packet.irp, STATUS_SUCCESS);
    default:
      return complete(&packet.irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS framework_dispatch(PDEVICE_OBJECT device_object, PIRP irp) {
  IrpPacket& packet = packet_of(irp, "the framework's dispatch routine");
  FxDevice* device = framework_device(device_object);
  if (device == nullptr) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const auto preprocess = device->preprocess.find(location->MajorFunction);
  if (preprocess != device->preprocess.end()) {
    const auto& minors = preprocess->second.minors;
    if (minors.empty() || std::find(minors.begin(), minors.end(), location->MinorFunction) != minors.end()) {
      return call_driver("EvtDeviceWdmIrpPreprocess",
                         [&] { return preprocess->second.callback(as_handle<WDFDEVICE>(device), irp); });
    }
  }
  return framework_handle_irp(*device, packet);
}

NTSTATUS invalid_request_dispatch(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

}  // namespace platform::kernel

using namespace platform::kernel;

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  KERNEL_ENTRY("IoCompleteRequest");
  (void)PriorityBoost;
  require_irql_at_most(DISPATCH_LEVEL, "IoCompleteRequest");
  IrpPacket& packet = packet_of(Irp, "IoCompleteRequest");
  std::lock_guard lock(packet.mutex);
  if (packet.completed) {
    bug_check(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
              "IoCompleteRequest of an IRP already completed");
  }
  packet.completed = true;
  packet.completed_signal.notify_all();
}

NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp) {
  KERNEL_ENTRY("WdfDeviceWdmDispatchPreprocessedIrp");
  auto* device = from_handle<FxDevice>(Device, FxType::device, "WdfDeviceWdmDispatchPreprocessedIrp");
  IrpPacket& packet = packet_of(Irp, "WdfDeviceWdmDispatchPreprocessedIrp");
  // The framework takes the IRP back as the next driver down would: from the stack location
  // the preprocess callback skipped to.
  if (Irp->Tail.Overlay.CurrentStackLocation != &packet.stack[2]) {
    bug_check(WDF_VIOLATION, 0x7, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
              "WdfDeviceWdmDispatchPreprocessedIrp without IoSkipCurrentIrpStackLocation first");
  }
  --Irp->CurrentLocation;
  --Irp->Tail.Overlay.CurrentStackLocation;
  return framework_handle_irp(*device, packet);
}
