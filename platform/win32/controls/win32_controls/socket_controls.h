// Controls of the sockets stand-in, for platform/sim. Internal to the platform.
// Thread safety: every function may be called from any thread.
#pragma once

#include <vector>

namespace platform::win32 {

// The ports that sockets of this target listen on now (not other processes' listeners).
std::vector<unsigned> listening_ports();

}  // namespace platform::win32
