#include "sim/kernel.h"

#include "kernel_controls/kernel.h"

namespace sim {
namespace {

void put_word(std::array<std::uint8_t, 256>& space, std::size_t offset, std::uint16_t value) {
  space[offset] = static_cast<std::uint8_t>(value);
  space[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put_dword(std::array<std::uint8_t, 256>& space, std::size_t offset, std::uint32_t value) {
  put_word(space, offset, static_cast<std::uint16_t>(value));
  put_word(space, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

// A 64-bit memory BAR (type bits 10b) over two registers.
void put_bar64(std::array<std::uint8_t, 256>& space, std::size_t offset, std::uint64_t base) {
  put_dword(space, offset, static_cast<std::uint32_t>(base & ~0xFull) | 0x4);
  put_dword(space, offset + 4, static_cast<std::uint32_t>(base >> 32));
}

std::vector<platform::kernel::DeviceResource> resources_of(const TesseraDevice& device) {
  std::vector<platform::kernel::DeviceResource> resources;
  using Kind = platform::kernel::DeviceResource::Kind;
  if (device.resources.empty()) {
    const tessera::Config& hardware = device.hardware;
    auto window = [&](std::uint64_t start, std::uint64_t length) {
      resources.push_back({Kind::memory, start, static_cast<std::uint32_t>(length)});
    };
    window(hardware.csr_base, tessera::kCsrWindowLength);
    window(hardware.aperture_base, hardware.aperture_length());
    window(hardware.processor_trace_base, hardware.processor_trace_length);
    window(hardware.firmware_base, hardware.firmware_length);
    resources.push_back({Kind::interrupt, kTesseraInterruptVector, 0});
    return resources;
  }
  for (const TesseraResource& resource : device.resources) {
    resources.push_back({resource.kind == TesseraResource::Kind::memory ? Kind::memory : Kind::interrupt,
                         resource.start, resource.length});
  }
  return resources;
}

BootResult to_boot_result(const platform::kernel::StepResult& result) {
  return BootResult{result.status, result.failed_step};
}

std::vector<PoolAllocation> to_pool_allocations(const std::vector<platform::kernel::PoolAllocation>& allocations) {
  std::vector<PoolAllocation> result;
  for (const auto& allocation : allocations) result.push_back(PoolAllocation{allocation.tag, allocation.size});
  return result;
}

}  // namespace

TesseraDevice TesseraDevice::defaults(TesseraBus bus) {
  TesseraDevice device;
  device.bus = bus;
  device.registry = {
      {u"ETWMasterBase", 256}, {u"ETWMasterEnd", 256}, {u"TXRAllwaysON", 0}, {u"TXRVersion", 1},
      {u"TXRDebugTraceEnableAtBoot", 0},
  };
  auto& space = device.pci_config;
  put_word(space, 0x00, 0x8086);               // vendor
  put_word(space, 0x02, kTesseraPciDeviceId);  // device
  put_word(space, 0x04, 0x0016);               // command: memory space, bus master, memory write and invalidate
  put_word(space, 0x06, 0x0010);               // status: capabilities list
  space[0x08] = 0x01;                          // revision
  space[0x09] = 0x00;                          // programming interface
  space[0x0A] = 0x80;                          // subclass: other
  space[0x0B] = 0x11;                          // class: signal processing controller
  space[0x0E] = 0x00;                          // header type 0
  put_bar64(space, 0x10, device.hardware.csr_base);
  put_bar64(space, 0x18, device.hardware.aperture_base);
  put_word(space, 0x2C, 0x8086);  // subsystem vendor
  put_word(space, 0x2E, 0x1234);  // subsystem
  // The EISA id "TSR0001" as ACPI returns a compressed _HID integer.
  if (bus == TesseraBus::pci) device.acpi_hid = 0x01007252u;
  return device;
}

BootResult load_driver(const TesseraDevice& device, DriverEntry entry) {
  // The hardware of a device whose driver runs is not reconfigured under it.
  if (platform::kernel::driver_loaded()) {
    return BootResult{static_cast<std::int32_t>(0xC0000184u), "load_driver"};  // STATUS_INVALID_DEVICE_STATE
  }
  tessera::model().configure(device.hardware);
  platform::kernel::DeviceDescription description;
  description.bus = device.bus == TesseraBus::pci ? platform::kernel::DeviceDescription::Bus::pci
                                                  : platform::kernel::DeviceDescription::Bus::acpi;
  description.resources = resources_of(device);
  description.registry = device.registry;
  description.pci_config = device.pci_config;
  description.acpi_hid = device.acpi_hid;
  return to_boot_result(platform::kernel::load_driver(description, entry));
}

std::vector<PoolAllocation> unload_driver() { return to_pool_allocations(platform::kernel::unload_driver()); }

bool driver_loaded() { return platform::kernel::driver_loaded(); }

std::vector<PoolAllocation> outstanding_pool_allocations() {
  return to_pool_allocations(platform::kernel::outstanding_pool_allocations());
}

BootResult sleep_and_resume(SystemSleep kind, const std::function<void()>& while_asleep) {
  return to_boot_result(platform::kernel::sleep_and_resume(
      kind == SystemSleep::sleep ? platform::kernel::SystemSleep::sleep : platform::kernel::SystemSleep::hibernate,
      while_asleep));
}

std::optional<std::array<std::uint8_t, 256>> tessera_pci_config() { return platform::kernel::device_pci_config(); }

void set_active_processor_count(std::uint32_t count) { platform::kernel::set_active_processor_count(count); }

void set_current_processor(std::uint32_t number) { platform::kernel::set_current_processor(number); }

void raise_next(const std::string& function, std::int32_t code) { platform::kernel::raise_next(function, code); }

std::vector<std::string> kernel_debugger_output() { return platform::kernel::debugger_output(); }

bool notify_callback(const std::u16string& name, void* argument1, void* argument2) {
  return platform::kernel::notify_callback(name, argument1, argument2);
}

std::size_t callback_registrations(const std::u16string& name) {
  return platform::kernel::callback_registrations(name);
}

}  // namespace sim
