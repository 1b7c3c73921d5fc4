#include "platform/core/reset.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "platform/core/devices.h"
#include "platform/core/faults.h"
#include "platform/core/handles.h"
#include "platform/core/performance_counter.h"

namespace platform {

void drop_target_overrides();  // target.cpp

namespace {

struct Phases {
  std::mutex mutex;
  std::array<std::vector<ResetStep>, 3> steps;
};

Phases& phases() {
  static Phases& instance = *new Phases;
  return instance;
}

void run_phase(ResetPhase phase) {
  std::vector<ResetStep> steps;
  {
    std::lock_guard lock(phases().mutex);
    steps = phases().steps[static_cast<std::size_t>(phase)];
  }
  for (auto step : steps) step();
}

}  // namespace

void add_reset_step(ResetPhase phase, ResetStep step) {
  std::lock_guard lock(phases().mutex);
  auto& steps = phases().steps[static_cast<std::size_t>(phase)];
  if (std::find(steps.begin(), steps.end(), step) == steps.end()) steps.push_back(step);
}

void run_reset() {
  run_phase(ResetPhase::stop_running);
  clear_faults();
  drop_target_overrides();
  drop_all_handles();
  drop_all_devices();
  reset_performance_frequency();
  run_phase(ResetPhase::drop_process_state);
  run_phase(ResetPhase::lay_installed_software);
}

}  // namespace platform
