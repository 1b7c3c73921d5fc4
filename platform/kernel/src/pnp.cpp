// The PnP and power manager of the virtual target: loads the driver for the machine's one
// device and runs the sequences of boot, system sleep and removal in Windows' order, and
// routes user-mode opens of the device's interfaces to the driver.
#include <cstdio>

#include "framework.h"

namespace platform::kernel {
namespace {

struct Machine {
  std::mutex control;  // one control operation at a time
  std::atomic<FxDriver*> driver{nullptr};
  std::atomic<FxDevice*> device{nullptr};
  std::atomic<bool> loaded{false};
  DeviceDescription adding;
  std::unique_ptr<DRIVER_OBJECT> driver_object;
  std::unique_ptr<DRIVER_EXTENSION> driver_extension;
  UNICODE_STRING registry_path{};
  bool prepared = false;
  FxCmResourceList* raw = nullptr;         // the device's, while it is started
  FxCmResourceList* translated = nullptr;  // the device's, while it is started
};

Machine& machine() {
  static Machine& instance = *new Machine;
  return instance;
}

std::u16string& registry_path_text() {
  static std::u16string& text =
      *new std::u16string(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TXR");
  return text;
}

std::u16string& driver_name_text() {
  static std::u16string& text = *new std::u16string(u"\\Driver\\TXR");
  return text;
}

UNICODE_STRING counted(std::u16string& text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
}

// One open of the device from user mode: its requests enter through the device's gate, and
// its last close sends the cleanup and close IRPs.
class DriverFile final : public DeviceFile {
 public:
  DriverFile(std::shared_ptr<DeviceGate> gate, FxDevice* device, const std::u16string& reference)
      : gate_(std::move(gate)), device_(device), reference_(reference.empty() ? u"" : u"\\" + reference) {
    file_.Type = 5;  // IO_TYPE_FILE
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = &device->wdm;
    file_.FileName = counted(reference_);
  }

  FILE_OBJECT* file_object() { return &file_; }

  NtStatus read(void* buffer, std::uint32_t size, std::uint32_t& transferred) override {
    UserIo io;
    io.type = WdfRequestTypeRead;
    io.output = buffer;
    io.output_length = size;
    return submit(io, transferred);
  }

  NtStatus write(const void* buffer, std::uint32_t size, std::uint32_t& transferred) override {
    UserIo io;
    io.type = WdfRequestTypeWrite;
    io.input = buffer;
    io.input_length = size;
    return submit(io, transferred);
  }

  NtStatus io_control(std::uint32_t code, const void* input, std::uint32_t input_size, void* output,
                      std::uint32_t output_size, std::uint32_t& transferred) override {
    UserIo io;
    io.type = WdfRequestTypeDeviceControl;
    io.io_control_code = code;
    io.input = input;
    io.input_length = input_size;
    io.output = output;
    io.output_length = output_size;
    return submit(io, transferred);
  }

  void close() override {
    if (!gate_->enter_any()) return;
    for (const UCHAR major : {static_cast<UCHAR>(IRP_MJ_CLEANUP), static_cast<UCHAR>(IRP_MJ_CLOSE)}) {
      IrpPacket packet;
      packet.location().MajorFunction = major;
      packet.location().FileObject = &file_;
      send_irp(*device_, packet);
    }
    gate_->leave();
  }

 private:
  NtStatus submit(const UserIo& io, std::uint32_t& transferred) {
    transferred = 0;
    if (!gate_->enter_for_io()) return STATUS_DEVICE_DOES_NOT_EXIST;
    const NtStatus status = dispatch_user_io(*device_, io, transferred);
    gate_->leave();
    return status;
  }

  std::shared_ptr<DeviceGate> gate_;
  FxDevice* device_;
  std::u16string reference_;
  FILE_OBJECT file_{};
};

// An interface path of the device: CreateFileW on it sends IRP_MJ_CREATE to whatever
// DriverObject->MajorFunction[IRP_MJ_CREATE] holds.
class DriverRoute final : public Device {
 public:
  DriverRoute(std::shared_ptr<DeviceGate> gate, FxDevice* device, std::u16string reference)
      : gate_(std::move(gate)), device_(device), reference_(std::move(reference)) {}

  NtStatus create(std::uint32_t desired_access, std::uint32_t share_mode, std::shared_ptr<DeviceFile>& file) override {
    (void)desired_access;
    if (!gate_->enter_any()) return STATUS_DEVICE_DOES_NOT_EXIST;
    auto opened = std::make_shared<DriverFile>(gate_, device_, reference_);
    IrpPacket packet;
    packet.location().MajorFunction = IRP_MJ_CREATE;
    packet.location().Parameters.Create.ShareAccess = static_cast<USHORT>(share_mode);
    packet.location().FileObject = opened->file_object();
    const NTSTATUS status = send_irp(*device_, packet);
    gate_->leave();
    if (NT_SUCCESS(status)) file = std::move(opened);
    return status;
  }

 private:
  std::shared_ptr<DeviceGate> gate_;
  FxDevice* device_;
  std::u16string reference_;
};

std::u16string guid_text(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

std::uint16_t config_word(const DeviceDescription& description, std::size_t offset) {
  return static_cast<std::uint16_t>(description.pci_config[offset] | description.pci_config[offset + 1] << 8);
}

// The requirements the bus driver reports: one logical configuration, in the description's
// order.
IO_RESOURCE_DESCRIPTOR requirement_of(const DeviceResource& resource, DeviceDescription::Bus bus) {
  IO_RESOURCE_DESCRIPTOR descriptor{};
  if (resource.kind == DeviceResource::Kind::memory) {
    descriptor.Type = CmResourceTypeMemory;
    descriptor.ShareDisposition = CmResourceShareDeviceExclusive;
    descriptor.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    descriptor.u.Memory.Length = resource.length;
    descriptor.u.Memory.Alignment = 1;
    descriptor.u.Memory.MinimumAddress.QuadPart = static_cast<LONGLONG>(resource.start);
    descriptor.u.Memory.MaximumAddress.QuadPart = static_cast<LONGLONG>(resource.start + resource.length - 1);
  } else {
    descriptor.Type = CmResourceTypeInterrupt;
    descriptor.ShareDisposition =
        bus == DeviceDescription::Bus::pci ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    descriptor.Flags = bus == DeviceDescription::Bus::pci ? CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE
                                                          : CM_RESOURCE_INTERRUPT_LATCHED;
    descriptor.u.Interrupt.MinimumVector = static_cast<ULONG>(resource.start);
    descriptor.u.Interrupt.MaximumVector = static_cast<ULONG>(resource.start);
  }
  return descriptor;
}

// What the PnP manager assigns for a requirement: the range it asks for, the vector it asks
// for, on every active processor. Raw and translated resources are alike here.
CM_PARTIAL_RESOURCE_DESCRIPTOR assignment_of(const IO_RESOURCE_DESCRIPTOR& requirement) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor{};
  descriptor.Type = requirement.Type;
  descriptor.ShareDisposition = requirement.ShareDisposition;
  descriptor.Flags = requirement.Flags;
  switch (requirement.Type) {
    case CmResourceTypeMemory:
    case CmResourceTypePort:
      descriptor.u.Memory.Start = requirement.u.Memory.MinimumAddress;
      descriptor.u.Memory.Length = requirement.u.Memory.Length;
      break;
    case CmResourceTypeInterrupt: {
      const ULONG processors = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
      descriptor.u.Interrupt.Level = requirement.u.Interrupt.MinimumVector;
      descriptor.u.Interrupt.Vector = requirement.u.Interrupt.MinimumVector;
      descriptor.u.Interrupt.Affinity = processors >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << processors) - 1;
      break;
    }
    default:
      descriptor.u.Generic.Start = requirement.u.Generic.MinimumAddress;
      descriptor.u.Generic.Length = requirement.u.Generic.Length;
      break;
  }
  return descriptor;
}

FxCmResourceList* new_resource_list(FxDevice& device, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& descriptors) {
  auto* list = new FxCmResourceList;
  list->descriptors = descriptors;
  attach_object(*list, nullptr, &device, "the PnP manager");
  return list;
}

StepResult failed(NTSTATUS status, std::string step) { return StepResult{status, std::move(step)}; }

NTSTATUS call_status(std::string_view callback, const std::function<NTSTATUS()>& call) {
  return call_driver(callback, call);
}

void release_hardware(FxDevice& device) {
  Machine& m = machine();
  if (m.prepared && device.pnp.EvtDeviceReleaseHardware != nullptr) {
    call_status("EvtDeviceReleaseHardware", [&] {
      return device.pnp.EvtDeviceReleaseHardware(as_handle<WDFDEVICE>(&device), as_handle<WDFCMRESLIST>(m.translated));
    });
  }
  m.prepared = false;
}

// Removal: no new I/O, D0 exit when the device works, release hardware, the device's
// deletion with its children.
void remove_device(FxDevice& device) {
  Machine& m = machine();
  disable_interfaces(device);
  const bool working = device.gate->state() == DeviceGate::State::working;
  device.gate->drain(DeviceGate::State::removed);
  if (working && device.pnp.EvtDeviceD0Exit != nullptr) {
    call_status("EvtDeviceD0Exit",
                [&] { return device.pnp.EvtDeviceD0Exit(as_handle<WDFDEVICE>(&device), WdfPowerDeviceD3Final); });
  }
  release_hardware(device);
  m.raw = m.translated = nullptr;
  if (device.driver != nullptr && device.driver->wdm != nullptr) device.driver->wdm->DeviceObject = nullptr;
  delete_object(&device);
  set_current_device(nullptr);
}

// The driver's unload: DriverObject->DriverUnload (the framework's: EvtDriverUnload, then the
// driver object's deletion).
void unload_driver_object() {
  Machine& m = machine();
  if (m.driver_object && m.driver_object->DriverUnload != nullptr) {
    call_driver("DriverUnload", [&] { m.driver_object->DriverUnload(m.driver_object.get()); });
  }
  // A driver whose own DriverUnload did not hand over to the framework's leaves the framework
  // driver object behind; it goes with the driver all the same.
  if (FxDriver* driver = current_driver()) {
    set_current_driver(nullptr);
    delete_object(driver);
  }
  m.driver_object.reset();
  m.driver_extension.reset();
  m.loaded = false;
}

StepResult fail_start(FxDevice& device, StepResult result) {
  remove_device(device);
  unload_driver_object();
  return result;
}

// Resource requirements, their filters, the assignment, prepare hardware and D0 entry.
StepResult start_device(FxDevice& device) {
  Machine& m = machine();
  const auto device_handle = as_handle<WDFDEVICE>(&device);
  auto* requirements = new FxIoResourceRequirementsList;
  attach_object(*requirements, nullptr, &device, "the PnP manager");
  auto* configuration = new FxIoResourceList;
  for (const DeviceResource& resource : device.description.resources) {
    configuration->descriptors.push_back(requirement_of(resource, device.description.bus));
  }
  attach_object(*configuration, nullptr, requirements, "the PnP manager");
  requirements->alternatives.push_back(configuration);
  const auto requirements_handle = as_handle<WDFIORESREQLIST>(requirements);
  // Remove on the way down the stack, add on the way back up.
  if (device.fdo.EvtDeviceFilterRemoveResourceRequirements != nullptr) {
    const NTSTATUS status = call_status("EvtDeviceFilterRemoveResourceRequirements", [&] {
      return device.fdo.EvtDeviceFilterRemoveResourceRequirements(device_handle, requirements_handle);
    });
    if (!NT_SUCCESS(status)) {
      delete_object(requirements);
      return fail_start(device, failed(status, "EvtDeviceFilterRemoveResourceRequirements"));
    }
  }
  if (device.fdo.EvtDeviceFilterAddResourceRequirements != nullptr) {
    const NTSTATUS status = call_status("EvtDeviceFilterAddResourceRequirements", [&] {
      return device.fdo.EvtDeviceFilterAddResourceRequirements(device_handle, requirements_handle);
    });
    if (!NT_SUCCESS(status)) {
      delete_object(requirements);
      return fail_start(device, failed(status, "EvtDeviceFilterAddResourceRequirements"));
    }
  }
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> assigned;
  if (!requirements->alternatives.empty()) {
    for (const IO_RESOURCE_DESCRIPTOR& requirement : requirements->alternatives.front()->descriptors) {
      assigned.push_back(assignment_of(requirement));
    }
  }
  delete_object(requirements);
  m.raw = new_resource_list(device, assigned);
  m.translated = new_resource_list(device, assigned);

  if (device.fdo.EvtDeviceRemoveAddedResources != nullptr) {
    // The lists that go on to the bus driver; prepare hardware still sees every resource.
    FxCmResourceList* raw_for_bus = new_resource_list(device, assigned);
    FxCmResourceList* translated_for_bus = new_resource_list(device, assigned);
    const NTSTATUS status = call_status("EvtDeviceRemoveAddedResources", [&] {
      return device.fdo.EvtDeviceRemoveAddedResources(device_handle, as_handle<WDFCMRESLIST>(raw_for_bus),
                                                      as_handle<WDFCMRESLIST>(translated_for_bus));
    });
    delete_object(raw_for_bus);
    delete_object(translated_for_bus);
    if (!NT_SUCCESS(status)) return fail_start(device, failed(status, "EvtDeviceRemoveAddedResources"));
  }

  m.prepared = true;
  if (device.pnp.EvtDevicePrepareHardware != nullptr) {
    const NTSTATUS status = call_status("EvtDevicePrepareHardware", [&] {
      return device.pnp.EvtDevicePrepareHardware(device_handle, as_handle<WDFCMRESLIST>(m.raw),
                                                 as_handle<WDFCMRESLIST>(m.translated));
    });
    // Release hardware runs even after a failed prepare hardware.
    if (!NT_SUCCESS(status)) return fail_start(device, failed(status, "EvtDevicePrepareHardware"));
  }
  if (device.pnp.EvtDeviceD0Entry != nullptr) {
    const NTSTATUS status = call_status(
        "EvtDeviceD0Entry", [&] { return device.pnp.EvtDeviceD0Entry(device_handle, WdfPowerDeviceD3Final); });
    // No D0 exit after a failed D0 entry.
    if (!NT_SUCCESS(status)) return fail_start(device, failed(status, "EvtDeviceD0Entry"));
  }
  device.gate->set(DeviceGate::State::working);
  for (const FxDevice::Interface& interface : device.interfaces) enable_interface(device, interface);
  return StepResult{};
}

// A set-power IRP as the power manager sends it.
struct PowerIrp {
  POWER_STATE_TYPE type;
  POWER_STATE state;
  POWER_ACTION action;
  SYSTEM_POWER_STATE previous_target;  // what the previous system power IRP aimed at
};

bool send_power_irp(FxDevice& device, const PowerIrp& power) {
  IrpPacket packet;
  IO_STACK_LOCATION& location = packet.location();
  location.MajorFunction = IRP_MJ_POWER;
  location.MinorFunction = IRP_MN_SET_POWER;
  location.Parameters.Power.Type = power.type;
  location.Parameters.Power.State = power.state;
  location.Parameters.Power.ShutdownType = power.action;
  SYSTEM_POWER_STATE_CONTEXT& context = location.Parameters.Power.SystemPowerStateContext;
  context.TargetSystemState = power.previous_target;
  context.EffectiveSystemState = power.previous_target;
  context.CurrentSystemState = power.previous_target;
  send_irp(device, packet);
  return packet.reached_framework;
}

}  // namespace

FxDriver* current_driver() { return machine().driver.load(); }
void set_current_driver(FxDriver* driver) { machine().driver.store(driver); }
FxDevice* current_device() { return machine().device.load(); }
void set_current_device(FxDevice* device) { machine().device.store(device); }
const DeviceDescription& description_being_added() { return machine().adding; }

std::u16string interface_path(const DeviceDescription& description, const GUID& interface_class,
                              std::u16string_view reference) {
  char bus[96];
  if (description.bus == DeviceDescription::Bus::pci) {
    std::snprintf(bus, sizeof bus, "PCI#VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X#4&1b9f2a7c&0&00E0",
                  config_word(description, 0x00), config_word(description, 0x02), config_word(description, 0x2E),
                  config_word(description, 0x2C), description.pci_config[0x08]);
  } else {
    std::snprintf(bus, sizeof bus, "ACPI#TSR0001#0");
  }
  std::u16string path = u"\\\\?\\";
  path.append(bus, bus + std::strlen(bus));
  path += u"#" + guid_text(interface_class);
  if (!reference.empty()) path += u"\\" + std::u16string(reference);
  return path;
}

void enable_interface(FxDevice& device, const FxDevice::Interface& interface) {
  platform::register_device_interface(interface.interface_class, interface.path,
                                      std::make_shared<DriverRoute>(device.gate, &device, interface.reference));
}

void disable_interfaces(FxDevice& device) {
  for (const FxDevice::Interface& interface : device.interfaces) platform::unregister_device_interface(interface.path);
}

StepResult load_driver(const DeviceDescription& device_description, DriverEntryPoint entry) {
  Machine& m = machine();
  std::lock_guard control(m.control);
  if (m.loaded) return failed(STATUS_INVALID_DEVICE_STATE, "load_driver");
  m.adding = device_description;
  m.prepared = false;
  m.driver_object = std::make_unique<DRIVER_OBJECT>();
  m.driver_extension = std::make_unique<DRIVER_EXTENSION>();
  DRIVER_OBJECT& driver_object = *m.driver_object;
  driver_object.Type = 4;  // IO_TYPE_DRIVER
  driver_object.Size = sizeof(DRIVER_OBJECT);
  driver_object.DriverExtension = m.driver_extension.get();
  driver_object.DriverName = counted(driver_name_text());
  driver_object.DriverInit = reinterpret_cast<PDRIVER_INITIALIZE>(entry);
  for (PDRIVER_DISPATCH& dispatch : driver_object.MajorFunction) dispatch = &invalid_request_dispatch;
  m.driver_extension->DriverObject = &driver_object;
  m.registry_path = counted(registry_path_text());
  m.loaded = true;

  const NTSTATUS entry_status = call_status("DriverEntry", [&] { return entry(&driver_object, &m.registry_path); });
  if (!NT_SUCCESS(entry_status)) {
    // A driver whose DriverEntry fails is not loaded: its framework driver object goes (with
    // its cleanup callback) and neither EvtDriverUnload nor DriverUnload runs.
    if (FxDriver* driver = current_driver()) {
      set_current_driver(nullptr);
      delete_object(driver);
    }
    m.driver_object.reset();
    m.driver_extension.reset();
    m.loaded = false;
    return failed(entry_status, "DriverEntry");
  }
  FxDriver* driver = current_driver();
  if (driver == nullptr) {
    unload_driver_object();
    return failed(STATUS_DRIVER_INTERNAL_ERROR, "WdfDriverCreate");
  }
  // A driver without EvtDriverDeviceAdd drives no device.
  if (driver->config.EvtDriverDeviceAdd == nullptr) return StepResult{};

  auto init = std::make_unique<WDFDEVICE_INIT>();
  init->driver = driver;
  PWDFDEVICE_INIT init_pointer = init.get();
  const NTSTATUS add_status = call_status("EvtDriverDeviceAdd", [&] {
    return driver->config.EvtDriverDeviceAdd(as_handle<WDFDRIVER>(driver), init_pointer);
  });
  FxDevice* device = current_device();
  if (!NT_SUCCESS(add_status) || device == nullptr) {
    if (device != nullptr) remove_device(*device);
    unload_driver_object();
    return failed(NT_SUCCESS(add_status) ? STATUS_UNSUCCESSFUL : add_status, "EvtDriverDeviceAdd");
  }
  return start_device(*device);
}

std::vector<PoolAllocation> unload_driver() {
  Machine& m = machine();
  {
    std::lock_guard control(m.control);
    if (m.loaded) {
      if (FxDevice* device = current_device()) remove_device(*device);
      unload_driver_object();
    }
  }
  return outstanding_pool_allocations();
}

bool driver_loaded() { return machine().loaded.load(); }

std::optional<std::array<std::uint8_t, 256>> device_pci_config() {
  // No control lock: a while_asleep callback may look. The caller does not unload meanwhile.
  FxDevice* device = current_device();
  if (!machine().loaded || device == nullptr) return std::nullopt;
  std::lock_guard lock(device->pci_config_mutex);
  return device->description.pci_config;
}

StepResult sleep_and_resume(SystemSleep kind, const std::function<void()>& while_asleep) {
  Machine& m = machine();
  std::lock_guard control(m.control);
  FxDevice* device = current_device();
  if (!m.loaded || device == nullptr || device->gate->state() != DeviceGate::State::working) {
    return failed(STATUS_INVALID_DEVICE_STATE, "sleep_and_resume");
  }
  const SYSTEM_POWER_STATE target = kind == SystemSleep::sleep ? PowerSystemSleeping3 : PowerSystemHibernate;
  const POWER_ACTION action = kind == SystemSleep::sleep ? PowerActionSleep : PowerActionHibernate;
  const auto device_handle = as_handle<WDFDEVICE>(device);
  StepResult result;

  POWER_STATE state{};
  state.SystemState = target;
  bool powered_down = false;
  if (send_power_irp(*device, PowerIrp{SystemPowerState, state, action, PowerSystemWorking})) {
    state.DeviceState = PowerDeviceD3;
    if (send_power_irp(*device, PowerIrp{DevicePowerState, state, action, PowerSystemWorking})) {
      device->gate->drain(DeviceGate::State::low_power);
      powered_down = true;
      if (device->pnp.EvtDeviceD0Exit != nullptr) {
        const NTSTATUS status = call_status(
            "EvtDeviceD0Exit", [&] { return device->pnp.EvtDeviceD0Exit(device_handle, WdfPowerDeviceD3); });
        if (!NT_SUCCESS(status)) result = failed(status, "EvtDeviceD0Exit");
      }
    }
  }
  if (while_asleep) while_asleep();

  state.SystemState = PowerSystemWorking;
  const bool system_working = send_power_irp(*device, PowerIrp{SystemPowerState, state, PowerActionNone, target});
  if (!powered_down) return result;
  state.DeviceState = PowerDeviceD0;
  if (!system_working || !send_power_irp(*device, PowerIrp{DevicePowerState, state, PowerActionNone, target})) {
    // The device stays in D3 and its power-managed queues hold every request.
    return result.failed_step.empty() ? failed(STATUS_INVALID_DEVICE_STATE, "set-power IRP to D0") : result;
  }
  if (device->pnp.EvtDeviceD0Entry != nullptr) {
    const NTSTATUS status =
        call_status("EvtDeviceD0Entry", [&] { return device->pnp.EvtDeviceD0Entry(device_handle, WdfPowerDeviceD3); });
    if (!NT_SUCCESS(status)) {
      // As at boot: the device is removed and the driver unloaded.
      remove_device(*device);
      unload_driver_object();
      return failed(status, "EvtDeviceD0Entry");
    }
  }
  device->gate->set(DeviceGate::State::working);
  return result;
}

}  // namespace platform::kernel
