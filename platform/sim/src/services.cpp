#include "sim/services.h"

#include "win32_controls/service_control_host.h"

namespace sim {

void host_service(const std::u16string& name, std::vector<std::u16string> arguments) {
  platform::services::host(name, std::move(arguments));
}

bool send_service_control(const std::u16string& name, DWORD control) {
  return platform::services::post_control(name, control);
}

std::vector<SERVICE_STATUS> service_status_reports(const std::u16string& name) {
  return platform::services::reports(name);
}

bool wait_for_service_state(const std::u16string& name, DWORD state, std::chrono::milliseconds timeout) {
  return platform::services::wait_for_state(name, state, timeout);
}

}  // namespace sim
