#include "sim/devices.h"

#include <cstdio>
#include <stdexcept>

#include "win32_controls/etw_controls.h"
#include "sim/sim.h"

namespace sim {
namespace {

platform::InterfaceClass parse_class(const std::string& text) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                  &b[3], &b[4], &b[5], &b[6], &b[7]) != 11) {
    throw std::invalid_argument("interface class is not a brace-form GUID: " + text);
  }
  platform::InterfaceClass out{};
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(d1 >> (8 * i));
  for (int i = 0; i < 2; ++i) out[4 + i] = static_cast<std::uint8_t>(d2 >> (8 * i));
  for (int i = 0; i < 2; ++i) out[6 + i] = static_cast<std::uint8_t>(d3 >> (8 * i));
  for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<std::uint8_t>(b[i]);
  return out;
}

}  // namespace

void register_device_interface(const std::string& interface_class, const std::u16string& path,
                               std::shared_ptr<platform::Device> device) {
  platform::register_device_interface(parse_class(interface_class), path, std::move(device));
}

void unregister_device_interface(const std::u16string& path) { platform::unregister_device_interface(path); }

void set_etw_session_buffer(std::uint32_t buffer_size_kb, std::uint32_t maximum_buffers) {
  platform::win32::set_etw_session_buffer_defaults(buffer_size_kb, maximum_buffers);
}

}  // namespace sim
