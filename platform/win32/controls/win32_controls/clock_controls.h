// Control of the machine's wall clock, for platform/sim. Internal to the platform.
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <optional>

namespace platform {

// Freezes GetSystemTime at `instant` (UTC); nullopt returns to the host's clock. A reset
// returns to the host's clock.
void set_system_time(std::optional<std::chrono::system_clock::time_point> instant);

}  // namespace platform
