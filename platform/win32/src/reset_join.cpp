#include "win32_controls/reset.h"

#include "platform/core/reset.h"
#include "reset_steps.h"

namespace platform::win32 {

void join_reset_phases() {
  add_reset_step(ResetPhase::stop_running, &lift_write_stall);
  add_reset_step(ResetPhase::stop_running, &stop_hosted_service);
  add_reset_step(ResetPhase::stop_running, &close_sockets);
  add_reset_step(ResetPhase::drop_process_state, &clear_debugger_output_step);
  add_reset_step(ResetPhase::drop_process_state, &reset_system_time);
  add_reset_step(ResetPhase::drop_process_state, &reset_etw_session_buffer_defaults);
  add_reset_step(ResetPhase::lay_installed_software, &install_builtin_modules);
}

}  // namespace platform::win32
