// Device interfaces of the virtual target: a test (later the kernel surface, for TXR) makes a
// device present as an instance of an interface class, so that the configuration manager
// lists its path and CreateFileW on that path reaches the device.
#pragma once

#include <memory>
#include <string>

#include "platform/core/devices.h"

namespace sim {

// `interface_class` in brace form, for example "{62DAC42B-22C9-4BBA-9C5E-DAB581B14E3E}".
// Instances are listed in registration order. Gone at the next reset.
void register_device_interface(const std::string& interface_class, const std::u16string& path,
                               std::shared_ptr<platform::Device> device);
void unregister_device_interface(const std::u16string& path);

}  // namespace sim
