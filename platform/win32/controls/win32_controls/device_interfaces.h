// Device interfaces of the virtual target, for platform/sim: a class GUID with the paths of
// its present instances, in the order they were registered (the configuration manager's list
// order). Each path is routed to its device through platform/core/devices.h.
// Thread safety: every function may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/devices.h"

namespace platform::win32 {

using InterfaceClass = std::array<std::uint8_t, 16>;  // a GUID's 16 bytes, Windows layout

// Registers `device` under `path` and lists the path as an instance of `interface_class`.
void register_device_interface(const InterfaceClass& interface_class, std::u16string path,
                               std::shared_ptr<Device> device);
// Removes the instance and its device.
void unregister_device_interface(std::u16string_view path);

}  // namespace platform::win32
