// Controls of the kernel surface, for platform/sim: the machine's one PnP device and the
// driver loaded for it, pool accounting, processors, structured-exception injection, the
// kernel debugger's output and callback objects. Plain C++: no kernel header reaches the
// caller (the driver entry point is named through forward declarations that match
// PDRIVER_INITIALIZE).
//
// Lifecycle: load_driver boots the device with a driver; unload_driver (or the reset's
// stop_running phase, see join_reset_phases) removes it. One driver and one device at a
// time.
// Threads: load, unload and sleep_and_resume are control operations: call them from one
// thread at a time, never from driver code. The others may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace platform::kernel {

using DriverEntryPoint = std::int32_t (*)(_DRIVER_OBJECT* DriverObject, _UNICODE_STRING* RegistryPath);

struct DeviceResource {
  enum class Kind { memory, interrupt };
  Kind kind = Kind::memory;
  std::uint64_t start = 0;   // memory: physical address; interrupt: vector
  std::uint32_t length = 0;  // memory only
};

// What the PnP manager and the bus driver know about the device.
struct DeviceDescription {
  enum class Bus { pci, acpi };
  Bus bus = Bus::pci;
  std::vector<DeviceResource> resources;           // the requirements, in order
  std::map<std::u16string, std::uint32_t> registry;  // the hardware key's REG_DWORD values
  std::array<std::uint8_t, 256> pci_config{};      // PCI only
  std::optional<std::uint32_t> acpi_hid;           // the "_HID" evaluation's integer
};

// The first failing step ("DriverEntry", "EvtDriverDeviceAdd", "EvtDeviceD0Entry", ...) and
// its status; an empty step and STATUS_SUCCESS when every step succeeded.
struct StepResult {
  std::int32_t status = 0;
  std::string failed_step;
};

struct PoolAllocation {
  std::uint32_t tag = 0;
  std::size_t size = 0;
};

// Loads the driver and starts the device, in Windows' order (see wdf.h). A failing step
// ends the sequence as the framework would: release hardware after a prepare hardware that
// failed or a failed D0 entry, the device's removal, then the driver's unload (DriverEntry's
// own failure unloads without EvtDriverUnload). After a failure the driver is not loaded.
StepResult load_driver(const DeviceDescription& device, DriverEntryPoint entry);
// Removes the device (D0 exit to D3Final, release hardware, the device's cleanup) and
// unloads the driver (EvtDriverUnload, the driver object's cleanup). Returns the pool
// allocations still outstanding, oldest first.
std::vector<PoolAllocation> unload_driver();
bool driver_loaded();

// A system sleep (S3) or hibernation (S4) and the resume, as the driver sees it: the system
// set-power IRP, the device set-power IRP to D3 and D0 exit (to WdfPowerDeviceD3); then
// `while_asleep`; then the system set-power IRP to S0, the device one to D0 and D0 entry
// (from WdfPowerDeviceD3). Each IRP reaches the driver's preprocess callback when it
// registered one. The device powers down or up only when the IRP reaches the framework. A
// failed D0 entry removes the device and unloads the driver, as at boot.
enum class SystemSleep { sleep, hibernate };
StepResult sleep_and_resume(SystemSleep kind, const std::function<void()>& while_asleep = {});

std::vector<PoolAllocation> outstanding_pool_allocations();

// The PCI configuration space of the device the loaded driver drives, as the driver left it
// (none when no device is there).
std::optional<std::array<std::uint8_t, 256>> device_pci_config();

// The number of active processors (4 after a reset) and the calling thread's processor.
void set_active_processor_count(std::uint32_t count);
void set_current_processor(std::uint32_t number);

// The next call of the named kernel or framework function raises a structured exception
// with `code` instead of running.
void raise_next(std::string function, std::int32_t code);

// Every message DbgPrintEx let through since the last reset, one entry per call.
std::vector<std::string> debugger_output();

// What a client of a callback object does, for tests: notify (false when no object has that
// name) and count the registered callbacks.
bool notify_callback(std::u16string_view name, void* argument1, void* argument2);
std::size_t callback_registrations(std::u16string_view name);

// stop_running: unload a loaded driver. drop_process_state: forget callback objects, pool
// accounting, debug filter state, print callbacks and output, IRQL and processor overrides,
// armed raises and leftover mappings.
void join_reset_phases();

}  // namespace platform::kernel
