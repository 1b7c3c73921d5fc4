// Controls of the file family, for platform/sim. Internal to the platform.
// Thread safety: every function may be called from any thread.
#pragma once

#include <string>

namespace platform {

// While stalled, WriteFile on a file whose host path begins with `host_prefix` waits (as a
// write to a device that has stopped taking data) until the stall is lifted; writes to other
// files go on. Off by default; a reset lifts it.
void stall_file_writes(const std::string& host_prefix, bool stalled);
// WriteFile calls waiting in a stall now.
unsigned stalled_file_writes();

}  // namespace platform
