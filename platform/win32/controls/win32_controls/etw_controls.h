// Controls of the user-mode ETW surface, for platform/sim. Internal to the platform.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace platform::win32 {

// The buffer a session gets when its properties leave BufferSize / MaximumBuffers at 0 (as
// the service does): kilobytes per buffer and number of buffers. 0 restores the runtime's
// defaults; a reset restores them too.
void set_etw_session_buffer_defaults(std::uint32_t buffer_size_kb, std::uint32_t maximum_buffers);

}  // namespace platform::win32
