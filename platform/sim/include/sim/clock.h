// Wall-clock control of the virtual target, for tests that depend on the date and time
// (file names made of the time of day, for example).
#pragma once

#include <chrono>
#include <optional>

namespace sim {

// Freezes the machine's clock at `instant` (UTC, which is also the target's local time)
// until the next call or reset; nullopt lets it run with the host's clock again.
void set_system_time(std::optional<std::chrono::system_clock::time_point> instant);

}  // namespace sim
