// The virtual target's kernel side, for tests, benchmarks and the launcher: the Tessera PnP
// device, loading and unloading its driver, system sleep, pool accounting, processors,
// structured-exception injection, the kernel debugger's output and callback-object clients.
//
// No kernel header reaches the includer: the driver's entry point is named through
// forward declarations that match PDRIVER_INITIALIZE (a test may include ntddk.h as well).
// Thread safety: load_driver, unload_driver and sleep_and_resume run the driver's callbacks
// on the calling thread; call them from one thread at a time, not from driver code. The
// other functions may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tessera/model.h"

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace sim {

// Same type as PDRIVER_INITIALIZE.
using DriverEntry = std::int32_t (*)(_DRIVER_OBJECT* DriverObject, _UNICODE_STRING* RegistryPath);

enum class TesseraBus { pci, acpi };

struct TesseraResource {
  enum class Kind { memory, interrupt };
  Kind kind = Kind::memory;
  std::uint64_t start = 0;   // memory: physical address; interrupt: vector
  std::uint32_t length = 0;  // memory only
};

struct TesseraDevice {
  TesseraBus bus = TesseraBus::pci;
  // The model is configured with it when the driver loads.
  tessera::Config hardware;
  // The device's resource requirements, in order; empty: the model's four windows (CSR,
  // aperture, processor trace, firmware) and one interrupt (vector kTesseraInterruptVector).
  std::vector<TesseraResource> resources;
  // The device's hardware registry key (REG_DWORD values; names compare without regard to
  // case). Erase a value to make it missing.
  std::map<std::u16string, std::uint32_t> registry;
  // The PCI configuration space (PCI only; GetBusData and SetBusData reach it).
  std::array<std::uint8_t, 256> pci_config{};
  // The integer the ACPI "_HID" evaluation answers; none: the evaluation fails with
  // STATUS_OBJECT_NAME_NOT_FOUND.
  std::optional<std::uint32_t> acpi_hid;

  // The defaults: registry ETWMasterBase 256, ETWMasterEnd 256, TXRAllwaysON 0, TXRVersion 1,
  // TXRDebugTraceEnableAtBoot 0; a PCI header (vendor 0x8086, device kTesseraPciDeviceId,
  // command 0x0016, revision 0x01, class 0x118000, 64-bit memory BARs of the CSR window and
  // the aperture, subsystem vendor 0x8086, subsystem 0x1234); an ACPI _HID (the EISA id
  // "TSR0001") on PCI and none on ACPI.
  static TesseraDevice defaults(TesseraBus bus = TesseraBus::pci);
};

inline constexpr std::uint32_t kTesseraInterruptVector = 0x30;
inline constexpr std::uint16_t kTesseraPciDeviceId = 0x7E2A;

// The first failing step and its NTSTATUS: "DriverEntry", "WdfDriverCreate",
// "EvtDriverDeviceAdd", "EvtDeviceFilterRemoveResourceRequirements",
// "EvtDeviceFilterAddResourceRequirements", "EvtDeviceRemoveAddedResources",
// "EvtDevicePrepareHardware", "EvtDeviceD0Entry"; for sleep_and_resume also
// "EvtDeviceD0Exit" and "set-power IRP to D0". Empty with status 0 on success.
struct BootResult {
  std::int32_t status = 0;
  std::string failed_step;
  bool ok() const { return status >= 0 && failed_step.empty(); }
};

// Configures the Tessera model with `device.hardware`, then loads the driver whose entry
// point is `entry` for the device and runs the PnP and power sequence in Windows' order:
// DriverEntry, EvtDriverDeviceAdd, EvtDeviceFilterRemoveResourceRequirements,
// EvtDeviceFilterAddResourceRequirements, the assignment derived from the filtered
// requirements (raw and translated alike; memory: start and length),
// EvtDeviceRemoveAddedResources, EvtDevicePrepareHardware, EvtDeviceD0Entry (from
// WdfPowerDeviceD3Final); then the device's interfaces are enabled and its queues run. A
// failing step ends the sequence as the framework would: EvtDeviceReleaseHardware after a
// failed prepare hardware or D0 entry (no D0 exit after a failed D0 entry), the device's
// removal and cleanup, then the driver's unload (not after a failed DriverEntry, which only
// deletes the framework driver object). After a failure the driver is not loaded. While a
// driver is loaded, another load fails (STATUS_INVALID_DEVICE_STATE, step "load_driver").
BootResult load_driver(const TesseraDevice& device, DriverEntry entry);

struct PoolAllocation {
  std::uint32_t tag = 0;
  std::size_t size = 0;
};

// Removal and unload: D0 exit (to WdfPowerDeviceD3Final), release hardware, the device's
// cleanup callbacks (objects parented to the device too), EvtDriverUnload and the driver
// object's cleanup. Returns the pool allocations still outstanding (oldest first), empty
// when the driver freed everything.
std::vector<PoolAllocation> unload_driver();
bool driver_loaded();
// What is outstanding now, loaded or not (after a failed load, say).
std::vector<PoolAllocation> outstanding_pool_allocations();

// A system sleep (S3) or hibernation (S4) and the resume: the system set-power IRP, the
// device set-power IRP to D3, D0 exit (to WdfPowerDeviceD3), `while_asleep` (a test may
// change the hardware model there), then the set-power IRPs to S0 and D0 and D0 entry (from
// WdfPowerDeviceD3). The IRPs pass through the driver's preprocess callback when it has one;
// SystemPowerStateContext.TargetSystemState names the previous system IRP's target (S0's
// IRP after hibernation says PowerSystemHibernate), ShutdownType is PowerActionSleep or
// PowerActionHibernate going down and PowerActionNone coming up. A failed D0 entry removes
// the device and unloads the driver.
enum class SystemSleep { sleep, hibernate };
BootResult sleep_and_resume(SystemSleep kind, const std::function<void()>& while_asleep = {});

// The PCI configuration space of the loaded driver's device as it is now (the driver may
// have written it); none when no driver is loaded.
std::optional<std::array<std::uint8_t, 256>> tessera_pci_config();

// Processors: the active count (4 after a reset) and the calling thread's processor.
void set_active_processor_count(std::uint32_t count);
void set_current_processor(std::uint32_t number);

// The next call of the kernel or framework function named `function` (its Windows name, for
// example "READ_REGISTER_ULONG" or "WdfRequestRetrieveInputBuffer") raises a structured
// exception with `code` instead of running.
void raise_next(const std::string& function, std::int32_t code);

// Everything DbgPrintEx let through since the last reset, one entry per call.
std::vector<std::string> kernel_debugger_output();

// A client of a callback object: notifies every registered callback of the object named
// `name` (for example u"\\Callback\\TXR"), false when none exists; and counts them.
bool notify_callback(const std::u16string& name, void* argument1, void* argument2);
std::size_t callback_registrations(const std::u16string& name);

}  // namespace sim
