// The control manager's side of a service hosted in this process, as platform/sim drives
// it. Internal to the platform: deliverables never include this.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "winsvc.h"

namespace platform::services {

// Marks the process as started by the control manager for `name`; a later
// StartServiceCtrlDispatcherW runs that service with argv = {name, arguments...}. Replaces
// any earlier hosting, and with it the recorded reports.
void host(std::u16string name, std::vector<std::u16string> arguments);

// Queues a control for the hosted service's handler, without the checks ControlService
// makes. False when `name` is not the hosted service.
bool post_control(const std::u16string& name, DWORD control);

// Every status the hosted service has reported since host(), in order.
std::vector<SERVICE_STATUS> reports(const std::u16string& name);

// True once the hosted service has reported `state` since host(); false after `timeout`.
bool wait_for_state(const std::u16string& name, DWORD state, std::chrono::milliseconds timeout);

}  // namespace platform::services
