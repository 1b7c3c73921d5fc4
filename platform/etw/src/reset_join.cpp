#include "etw/reset.h"

#include "etw/catalog.h"
#include "etw/runtime.h"
#include "platform/core/reset.h"

namespace etw {
namespace {

void stop_sessions() { runtime().stop_all_sessions(); }
void drop_registrations() { runtime().drop_process_state(); }
void install_catalog_afresh() { catalog().reset(); }

}  // namespace

void join_reset_phases() {
  platform::add_reset_step(platform::ResetPhase::stop_running, &stop_sessions);
  platform::add_reset_step(platform::ResetPhase::drop_process_state, &drop_registrations);
  platform::add_reset_step(platform::ResetPhase::lay_installed_software, &install_catalog_afresh);
}

}  // namespace etw
