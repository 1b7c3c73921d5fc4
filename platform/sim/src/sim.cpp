#include "sim/sim.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "etw/reset.h"
#include "kernel_controls/kernel.h"
#include "platform/core/faults.h"
#include "platform/core/handles.h"
#include "platform/core/reset.h"
#include "platform/core/target.h"
#include "tessera/model.h"
#include "win32_controls/file_controls.h"
#include "win32_controls/reset.h"
#include "win32_controls/socket_controls.h"
#include "win32_controls/tdh_controls.h"

namespace sim {
namespace {

// Temporary roots made by reset(), removed when the next reset replaces them and at exit,
// so that test runs leave nothing behind. Never destroyed: the exit handler below runs after
// every static destructor.
struct OwnedRoot {
  std::mutex mutex;
  std::optional<std::filesystem::path> root;
  pid_t owner = 0;  // the process that made it: a forked child shares it and must leave it
};
OwnedRoot& owned() {
  static OwnedRoot& instance = *new OwnedRoot;
  return instance;
}

void remove_owned_root() {
  OwnedRoot& o = owned();
  std::lock_guard lock(o.mutex);
  if (o.root && o.owner == ::getpid()) {
    std::error_code ignored;
    std::filesystem::remove_all(*o.root, ignored);
    o.root.reset();
  }
}

// Registered before any other static object of the program is made, so that it runs after
// every static destructor: a singleton of the service that still logs while it goes (into
// the root) finds the root there, instead of falling back to a file in the working folder.
struct RemoveRootAtExit {
  RemoveRootAtExit() { std::atexit(remove_owned_root); }
};
[[maybe_unused]] RemoveRootAtExit g_remove_root_at_exit __attribute__((init_priority(101)));

std::filesystem::path make_temporary_root() {
  std::error_code error;
  auto base = std::filesystem::temp_directory_path(error);
  if (error) base = std::filesystem::current_path();
  std::string pattern = (base / "conduit-sim-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  return pattern;
}

}  // namespace

void reset(std::optional<std::filesystem::path> root) {
  // A bug check ends the process without its exit handlers (a death test's child among
  // them): the temporary root goes first all the same.
  platform::set_before_abrupt_end(remove_owned_root);
  // The first reset of a process: the reset steps below may look at the machine, which would
  // lay a default root in the working folder. A temporary one serves them instead (and goes
  // like any replaced root).
  if (!platform::target_root_is_set()) {
    const std::filesystem::path first = make_temporary_root();
    {
      std::lock_guard lock(owned().mutex);
      owned().root = first;
      owned().owner = ::getpid();
    }
    platform::set_target_root(first);
  }
  // Every stand-in joins the phases explicitly, in the order they depend on each other: the
  // driver unloads (kernel) before ETW sessions end, while its provider can still unregister.
  platform::win32::join_reset_phases();
  platform::kernel::join_reset_phases();
  tessera::join_reset_phases();
  etw::join_reset_phases();
  platform::win32::join_tdh_reset_phases();
  // A fresh machine has none of the providers installed on the previous one.
  if (!root) platform::win32::forget_machine_providers();
  platform::run_reset();
  // Keeping the current root (a simulated restart of the machine's processes) must not
  // delete it, even when reset() made it.
  bool keeps_owned_root = false;
  if (root) {
    std::lock_guard lock(owned().mutex);
    std::error_code ignored;
    keeps_owned_root = owned().root && std::filesystem::equivalent(*owned().root, *root, ignored);
  }
  if (!keeps_owned_root) remove_owned_root();
  if (root) {
    std::filesystem::create_directories(*root);
    platform::set_target_root(*root);
  } else {
    auto fresh = make_temporary_root();
    {
      std::lock_guard lock(owned().mutex);
      owned().root = fresh;
      owned().owner = ::getpid();
    }
    platform::set_target_root(fresh);
  }
}

std::filesystem::path target_root() { return platform::target_root(); }

void exit_now(int code) {
  remove_owned_root();
  std::_Exit(code);
}

void fail_next(const std::string& function, unsigned count, std::uint32_t code) {
  platform::arm_fault(function, count, code);
}

void fail_next_status(const std::string& function, unsigned count, std::int32_t status) {
  platform::arm_fault(function, count, static_cast<std::uint32_t>(status));
}

void clear_faults() { platform::clear_faults(); }

void fail_nth(const std::string& function, unsigned n, std::uint32_t code) {
  platform::arm_fault(function, 1, code, n > 0 ? n - 1 : 0);
}

bool fault_pending(const std::string& function) { return platform::armed_fault_count(function) > 0; }

void start_recording_faults() { platform::start_fault_recording(); }

std::vector<FaultPoint> stop_recording_faults() {
  std::vector<FaultPoint> points;
  for (platform::FaultPoint& point : platform::stop_fault_recording()) {
    points.push_back(FaultPoint{std::move(point.function), point.kind == platform::FaultKind::status, point.calls});
  }
  return points;
}

void excuse_this_thread_from_faults(bool excused) { platform::exempt_this_thread_from_faults(excused); }

std::size_t open_handle_count() { return platform::handle_count(); }

// Both ride on the fault plan under names of their own that the stand-ins check (files.cpp,
// threads.cpp), so a reset or clear_faults disarms them with everything else.
void short_write_next(unsigned count, std::uint32_t bytes) { platform::arm_fault("WriteFile:short", count, bytes); }

void stall_writes(const std::filesystem::path& prefix, bool stalled) {
  platform::stall_file_writes(prefix.string(), stalled);
}

unsigned stalled_writes() { return platform::stalled_file_writes(); }

void fail_thread_creation_after(unsigned passes, std::uint32_t code) {
  platform::arm_fault("CreateThread:pass", passes, 0);
  platform::arm_fault("CreateThread", 1, code);
}

void set_environment_variable(const std::string& name, std::optional<std::string> value) {
  platform::set_environment(name, std::move(value));
}

void set_module_path(std::optional<std::filesystem::path> path) {
  platform::set_module_path(path ? std::optional<std::string>(path->string()) : std::nullopt);
}

bool is_listening(unsigned port) {
  const std::vector<unsigned> ports = platform::win32::listening_ports();
  return std::find(ports.begin(), ports.end(), port) != ports.end();
}

std::vector<unsigned> listening_ports() { return platform::win32::listening_ports(); }

}  // namespace sim
