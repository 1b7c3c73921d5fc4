// How the ETW runtime and the provider catalog join the reset phases of platform/core (see
// platform/core/reset.h). sim::reset() calls it before running the phases.
#pragma once

namespace etw {

// stop_running: every session ends and its consumers' ProcessTrace returns;
// drop_process_state: registrations and consumers are forgotten;
// lay_installed_software: the catalog is emptied, as on a machine with nothing installed
// (what a test or the launcher installs, it installs after the reset).
void join_reset_phases();

}  // namespace etw
