// Controls of the base family's in-memory state, for platform/sim. Internal to the platform.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Everything OutputDebugStringW received since the last reset or clear, one entry per call.
std::vector<std::u16string> debugger_output();
void clear_debugger_output();

}  // namespace platform
