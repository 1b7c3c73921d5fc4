// The virtual target's control manager, as tests and the launcher drive it: start a service
// in this process, send it controls, watch its status reports.
//
// A test that runs a service calls host_service() first and then the service's own entry
// (which calls StartServiceCtrlDispatcherW, usually on a thread of the test), for example:
//
//   sim::host_service(u"MySvc", {u"-debug"});
//   std::thread entry([&] { ok = service.Run(); });
//   ASSERT_TRUE(sim::wait_for_service_state(u"MySvc", SERVICE_RUNNING, std::chrono::seconds(10)));
//   sim::send_service_control(u"MySvc", SERVICE_CONTROL_STOP);
//   entry.join();
//
// ServiceMain then runs on a service thread with argv[0] = the service name followed by the
// arguments; controls reach the registered handler on the dispatcher's thread; the
// dispatcher returns TRUE once the service has reported SERVICE_STOPPED and ServiceMain has
// returned (or once ServiceMain returned without ever registering a handler, since such a
// service can never report again). Names are matched case-insensitively. sim::reset()
// forgets the hosting and the reports; it must not run while a dispatcher is still running.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "winsvc.h"

namespace sim {

// Marks this process as started by the control manager for `name`. The service need not be
// installed; when it is, its database entry follows the reports, so other processes see its
// state.
void host_service(const std::u16string& name, std::vector<std::u16string> arguments = {});

// Sends a control to the hosted service as the control manager would (SERVICE_CONTROL_STOP,
// SERVICE_CONTROL_SHUTDOWN, ...), whatever the service accepts. It is queued until the
// service has registered its handler and is delivered on the dispatcher's thread; the call
// does not wait for it. False when `name` is not the hosted service.
bool send_service_control(const std::u16string& name, DWORD control);

// Every SERVICE_STATUS the hosted service passed to SetServiceStatus, in order.
std::vector<SERVICE_STATUS> service_status_reports(const std::u16string& name);

// Waits until the hosted service has reported `state` (at any point since host_service);
// false when `timeout` passes first.
bool wait_for_service_state(const std::u16string& name, DWORD state, std::chrono::milliseconds timeout);

}  // namespace sim
