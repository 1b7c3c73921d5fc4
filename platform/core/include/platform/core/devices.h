// Device routing: a device path ("\\.\Name" or a device interface path) maps to an object
// that answers create, read, write, I/O control and close. The kernel surface registers the
// driver's devices here; tests register fakes. User-mode CreateFileW, ReadFile, WriteFile,
// DeviceIoControl and CloseHandle on such a path reach the device, and each completion
// status crosses to user mode through nt_status_to_win32_error, as RtlNtStatusToDosError
// does on Windows.
//
// Device interfaces: a device path may also be listed as an instance of an interface class
// (a GUID), which is what the configuration manager (CM_Get_Device_Interface_ListW) reports
// to user mode. The kernel surface lists the driver's interfaces; tests list fakes.
// Thread safety: every function may be called from any thread; a device's own methods may be
// called from several threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using NtStatus = std::int32_t;

constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusNoSuchDevice = static_cast<NtStatus>(0xC000000E);
constexpr NtStatus kStatusInvalidDeviceRequest = static_cast<NtStatus>(0xC0000010);

// One open instance of a device (a file object). Defaults answer as a device without that
// operation: STATUS_INVALID_DEVICE_REQUEST.
class DeviceFile {
 public:
  virtual ~DeviceFile() = default;
  virtual NtStatus read(void* buffer, std::uint32_t size, std::uint32_t& transferred);
  virtual NtStatus write(const void* buffer, std::uint32_t size, std::uint32_t& transferred);
  virtual NtStatus io_control(std::uint32_t code, const void* input, std::uint32_t input_size, void* output,
                              std::uint32_t output_size, std::uint32_t& transferred);
  // The last handle to the instance is closing (IRP_MJ_CLEANUP and IRP_MJ_CLOSE together).
  virtual void close() {}
};

class Device {
 public:
  virtual ~Device() = default;
  // Opens an instance; on success `file` is set. `desired_access` and `share_mode` are the
  // CreateFileW arguments.
  virtual NtStatus create(std::uint32_t desired_access, std::uint32_t share_mode, std::shared_ptr<DeviceFile>& file) = 0;
};

// Paths compare case-insensitively. Registering a path again replaces its device.
void register_device(std::u16string_view path, std::shared_ptr<Device> device);
void unregister_device(std::u16string_view path);
// Null when no device answers to `path`.
std::shared_ptr<Device> find_device(std::u16string_view path);
// Forgets every device and every interface instance; the core's part of the reset's
// drop_process_state phase (the kernel surface registers its devices again when it loads
// the driver).
void drop_all_devices();

using InterfaceClass = std::array<std::uint8_t, 16>;  // a GUID's 16 bytes, Windows layout

// Registers `device` under `path` and lists the path as an instance of `interface_class`,
// after the instances registered before it (the configuration manager's list order).
void register_device_interface(const InterfaceClass& interface_class, std::u16string path,
                               std::shared_ptr<Device> device);
// Removes the instance and its device.
void unregister_device_interface(std::u16string_view path);
// The paths of the present instances of `interface_class`, in registration order.
std::vector<std::u16string> device_interfaces(const InterfaceClass& interface_class);

// The Win32 error Windows reports for an NTSTATUS (RtlNtStatusToDosError): 0 for success,
// the mapped code for the statuses the stand-ins use, the embedded code for a
// FACILITY_NTWIN32 status, and ERROR_MR_MID_NOT_FOUND (317) for anything unknown.
std::uint32_t nt_status_to_win32_error(NtStatus status);

}  // namespace platform
