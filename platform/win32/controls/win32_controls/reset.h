// How the user-mode stand-in joins the reset phases of platform/core (see
// platform/core/reset.h for the contract). sim::reset() calls it before running the phases.
#pragma once

namespace platform::win32 {

// Adds the stand-in's steps: stop the hosted service and close every socket; clear debugger
// output, the system-time override and the ETW session-buffer defaults; install the
// built-in modules (tdh.dll) afresh.
void join_reset_phases();

}  // namespace platform::win32
