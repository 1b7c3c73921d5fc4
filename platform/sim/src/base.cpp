#include "platform/core/performance_counter.h"
#include "win32_controls/base_controls.h"
#include "win32_controls/modules_table.h"
#include "sim/sim.h"

namespace sim {

void set_performance_frequency(std::uint64_t hz) { platform::set_performance_frequency(hz); }

std::vector<std::u16string> debugger_output() { return platform::debugger_output(); }

void clear_debugger_output() { platform::clear_debugger_output(); }

bool remove_module_export(const std::string& module, const std::string& export_name) {
  return platform::remove_module_export(module, export_name);
}

}  // namespace sim
