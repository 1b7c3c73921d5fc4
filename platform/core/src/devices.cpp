#include "platform/core/devices.h"

#include <map>
#include <mutex>

#include "platform/core/text.h"

namespace platform {
namespace {

struct InterfaceInstance {
  InterfaceClass interface_class;
  std::u16string path;
};

struct DeviceTable {
  std::mutex mutex;
  std::map<std::u16string, std::shared_ptr<Device>, std::less<>> devices;  // by folded path
  std::vector<InterfaceInstance> interfaces;                              // registration order
};

DeviceTable& table() {
  static DeviceTable& instance = *new DeviceTable;
  return instance;
}

}  // namespace

NtStatus DeviceFile::read(void*, std::uint32_t, std::uint32_t& transferred) {
  transferred = 0;
  return kStatusInvalidDeviceRequest;
}

NtStatus DeviceFile::write(const void*, std::uint32_t, std::uint32_t& transferred) {
  transferred = 0;
  return kStatusInvalidDeviceRequest;
}

NtStatus DeviceFile::io_control(std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                                std::uint32_t& transferred) {
  transferred = 0;
  return kStatusInvalidDeviceRequest;
}

void register_device(std::u16string_view path, std::shared_ptr<Device> device) {
  std::lock_guard lock(table().mutex);
  table().devices[fold_name(path)] = std::move(device);
}

void unregister_device(std::u16string_view path) {
  std::lock_guard lock(table().mutex);
  table().devices.erase(fold_name(path));
}

std::shared_ptr<Device> find_device(std::u16string_view path) {
  std::lock_guard lock(table().mutex);
  auto it = table().devices.find(fold_name(path));
  return it == table().devices.end() ? nullptr : it->second;
}

void drop_all_devices() {
  std::map<std::u16string, std::shared_ptr<Device>, std::less<>> dropped;
  std::lock_guard lock(table().mutex);
  dropped.swap(table().devices);
  table().interfaces.clear();
}

void register_device_interface(const InterfaceClass& interface_class, std::u16string path,
                               std::shared_ptr<Device> device) {
  std::lock_guard lock(table().mutex);
  table().devices[fold_name(path)] = std::move(device);
  table().interfaces.push_back(InterfaceInstance{interface_class, std::move(path)});
}

void unregister_device_interface(std::u16string_view path) {
  std::shared_ptr<Device> dropped;
  std::lock_guard lock(table().mutex);
  auto it = table().devices.find(fold_name(path));
  if (it != table().devices.end()) {
    dropped = std::move(it->second);
    table().devices.erase(it);
  }
  std::erase_if(table().interfaces, [&](const InterfaceInstance& instance) { return same_name(instance.path, path); });
}

std::vector<std::u16string> device_interfaces(const InterfaceClass& interface_class) {
  std::vector<std::u16string> paths;
  std::lock_guard lock(table().mutex);
  for (const InterfaceInstance& instance : table().interfaces) {
    if (instance.interface_class == interface_class) paths.push_back(instance.path);
  }
  return paths;
}

std::uint32_t nt_status_to_win32_error(NtStatus status) {
  const auto value = static_cast<std::uint32_t>(status);
  // FACILITY_NTWIN32 carries the Win32 code itself.
  if ((value & 0x0FFF0000u) == 0x00070000u && (value & 0xC0000000u) != 0) return value & 0xFFFFu;
  switch (value) {
    case 0x00000000u: return 0;     // STATUS_SUCCESS
    case 0x00000103u: return 997;   // STATUS_PENDING -> ERROR_IO_PENDING
    case 0x80000005u: return 234;   // STATUS_BUFFER_OVERFLOW -> ERROR_MORE_DATA
    case 0x80000011u: return 170;   // STATUS_DEVICE_BUSY -> ERROR_BUSY
    case 0xC0000001u: return 31;    // STATUS_UNSUCCESSFUL -> ERROR_GEN_FAILURE
    case 0xC0000002u: return 1;     // STATUS_NOT_IMPLEMENTED -> ERROR_INVALID_FUNCTION
    case 0xC0000005u: return 998;   // STATUS_ACCESS_VIOLATION -> ERROR_NOACCESS
    case 0xC0000008u: return 6;     // STATUS_INVALID_HANDLE
    case 0xC000000Du: return 87;    // STATUS_INVALID_PARAMETER
    case 0xC000000Eu: return 2;     // STATUS_NO_SUCH_DEVICE -> ERROR_FILE_NOT_FOUND
    case 0xC0000010u: return 1;     // STATUS_INVALID_DEVICE_REQUEST -> ERROR_INVALID_FUNCTION
    case 0xC0000017u: return 8;     // STATUS_NO_MEMORY -> ERROR_NOT_ENOUGH_MEMORY
    case 0xC0000022u: return 5;     // STATUS_ACCESS_DENIED
    case 0xC0000023u: return 122;   // STATUS_BUFFER_TOO_SMALL -> ERROR_INSUFFICIENT_BUFFER
    case 0xC0000034u: return 2;     // STATUS_OBJECT_NAME_NOT_FOUND -> ERROR_FILE_NOT_FOUND
    case 0xC0000043u: return 32;    // STATUS_SHARING_VIOLATION
    case 0xC000009Au: return 1450;  // STATUS_INSUFFICIENT_RESOURCES -> ERROR_NO_SYSTEM_RESOURCES
    case 0xC00000A3u: return 21;    // STATUS_DEVICE_NOT_READY -> ERROR_NOT_READY
    case 0xC00000B5u: return 121;   // STATUS_IO_TIMEOUT -> ERROR_SEM_TIMEOUT
    case 0xC00000BBu: return 50;    // STATUS_NOT_SUPPORTED
    case 0xC00000C0u: return 55;    // STATUS_DEVICE_DOES_NOT_EXIST -> ERROR_DEV_NOT_EXIST
    case 0xC00000E5u: return 1359;  // STATUS_INTERNAL_ERROR -> ERROR_INTERNAL_ERROR
    case 0xC0000120u: return 995;   // STATUS_CANCELLED -> ERROR_OPERATION_ABORTED
    case 0xC0000182u: return 87;    // STATUS_DEVICE_CONFIGURATION_ERROR -> ERROR_INVALID_PARAMETER
    case 0xC0000183u: return 1117;  // STATUS_DRIVER_INTERNAL_ERROR -> ERROR_IO_DEVICE
    case 0xC0000184u: return 22;    // STATUS_INVALID_DEVICE_STATE -> ERROR_BAD_COMMAND
    case 0xC0000206u: return 1784;  // STATUS_INVALID_BUFFER_SIZE -> ERROR_INVALID_USER_BUFFER
    case 0xC0000225u: return 1168;  // STATUS_NOT_FOUND -> ERROR_NOT_FOUND
    case 0xC00002B6u: return 1617;  // STATUS_DEVICE_REMOVED -> ERROR_DEVICE_REMOVED
    default: return 317;            // ERROR_MR_MID_NOT_FOUND
  }
}

}  // namespace platform
