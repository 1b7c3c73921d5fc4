// Control API of the virtual target, for tests, benchmarks and the launcher. The
// deliverables never include it: they see the machine only through the Windows API.
//
// Thread safety: the functions may be called from any thread, but reset() must not run
// while deliverable code is still running on other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Returns the machine to a fresh boot, in the phases of platform/core/reset.h (stop what
// runs, drop process state, lay installed software afresh; see docs/architecture.md): no
// faults, no hosted service, no handles, default environment, only the built-in modules. Without `root` the machine also gets a fresh, empty target root (a new
// temporary folder, removed at the next reset and at exit); with `root` it keeps what that
// folder holds (registry, service database, files), as a restarted machine would, even
// when `root` is the current one.
void reset(std::optional<std::filesystem::path> root = std::nullopt);

// The folder that holds the machine's persistent state and its ProgramData, Temp and
// Windows\System32 folders.
std::filesystem::path target_root();

// Makes the next `count` calls of the platform function `function` (its Windows name, for
// example "CreateServiceW") fail with `code`: the function's own failure value, with `code`
// as the last error, or as the returned status where the function returns one.
void fail_next(const std::string& function, unsigned count, std::uint32_t code);
// The same for functions that return an NTSTATUS: they return `status`.
void fail_next_status(const std::string& function, unsigned count, std::int32_t status);
void clear_faults();
// Fails the `n`-th call (1: the next) of `function` from now, with `code` as fail_next does;
// the calls before it succeed.
void fail_nth(const std::string& function, unsigned n, std::uint32_t code);
// Whether a failure armed by fail_next or fail_nth for `function` is still to come.
bool fault_pending(const std::string& function);

// The fault points the stand-ins checked since start_recording_faults: each function by its
// Windows name, how it fails (status: it returns an NTSTATUS, for fail_next_status), and how
// often it was called. Calls from a thread that excused itself (excuse_this_thread_from_faults)
// are neither recorded nor failed, so a test's own calls stay out of its sweep.
struct FaultPoint {
  std::string function;
  bool status = false;
  unsigned calls = 0;
};
void start_recording_faults();
std::vector<FaultPoint> stop_recording_faults();
void excuse_this_thread_from_faults(bool excused = true);

// How many handles of every kind (files, threads, events, sockets, keys, ...) are open.
std::size_t open_handle_count();

// Makes the next `count` WriteFile calls transfer at most `bytes` bytes and report success,
// as a write that a filter or device driver completes short: the caller sees TRUE, fewer
// bytes written than asked, and no new last error.
void short_write_next(unsigned count, std::uint32_t bytes);

// While `stalled`, WriteFile on files whose host path begins with `prefix` blocks until the
// stall is lifted (a sink whose device stopped taking data); other files are written as
// usual. Off by default; a reset lifts it. stalled_writes: the writes blocked now.
void stall_writes(const std::filesystem::path& prefix, bool stalled);
unsigned stalled_writes();

// Lets the next `passes` CreateThread calls succeed and makes the one after them fail with
// `code`: reaches the creation of a thread by a thread that was itself just created.
void fail_thread_creation_after(unsigned passes, std::uint32_t code);

// Overrides an environment variable as the target's processes see it; nullopt removes it.
void set_environment_variable(const std::string& name, std::optional<std::string> value);

// The path that GetModuleFileName reports for the process's own executable.
void set_module_path(std::optional<std::filesystem::path> path);

// The rate QueryPerformanceFrequency reports and QueryPerformanceCounter counts at (10 MHz
// after reset). Zero is refused and keeps the default.
void set_performance_frequency(std::uint64_t hz);

// Everything OutputDebugStringW received since the last reset or clear, one entry per call.
std::vector<std::u16string> debugger_output();
void clear_debugger_output();

// Ends the process at once with `code`, without exit handlers (as a death test's child must),
// after removing the temporary root that reset() made in this process.
[[noreturn]] void exit_now(int code);

// Whether a socket of this target listens on `port`: a listener of another process on the
// same port (another target, say) does not count. Asked of the sockets stand-in rather than by
// connecting, so that the check leaves no trace in the service's log.
bool is_listening(unsigned port);
// The ports that sockets of this target listen on.
std::vector<unsigned> listening_ports();

// Hides one export of a stand-in module (for example "tdh.dll") from GetProcAddress until the
// next reset; false when no module of that name is installed.
bool remove_module_export(const std::string& module, const std::string& export_name);

}  // namespace sim

// ETW: the buffer a session gets when its properties leave BufferSize and MaximumBuffers at
// 0 (kilobytes per buffer, number of buffers), so that tests can make a stalled consumer
// lose events quickly. 0 restores the defaults; a reset restores them too.
namespace sim {
void set_etw_session_buffer(std::uint32_t buffer_size_kb, std::uint32_t maximum_buffers);
}  // namespace sim
