// How the kernel surface joins the reset phases of platform/core (see
// platform/core/reset.h).
#include "kernel_controls/kernel.h"
#include "kernel_internal.h"
#include "platform/core/reset.h"

namespace platform::kernel {
namespace {

void stop_driver() {
  if (driver_loaded()) unload_driver();
}

void drop_kernel_state() {
  clear_raises();
  forget_callback_objects();
  forget_pool();
  forget_mappings();
  forget_debug_print_state();
  reset_thread_states();
}

}  // namespace

void join_reset_phases() {
  add_reset_step(ResetPhase::stop_running, &stop_driver);
  add_reset_step(ResetPhase::drop_process_state, &drop_kernel_state);
}

void raise_next(std::string function, std::int32_t code) { arm_raise(std::move(function), code); }

}  // namespace platform::kernel
