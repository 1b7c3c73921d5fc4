#include "sim/clock.h"

#include "win32_controls/clock_controls.h"

namespace sim {

void set_system_time(std::optional<std::chrono::system_clock::time_point> instant) {
  platform::set_system_time(instant);
}

}  // namespace sim
