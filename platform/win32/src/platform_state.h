// State of the virtual target that the stand-in's API families share, and the hooks through
// which platform/sim controls it. Internal to the platform: deliverables never include this.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "windef.h"

namespace platform {

// Fault injection. Each stand-in function asks, on entry, whether a fault is armed for its
// name; if so the call fails with the armed code and the count goes down by one.
std::optional<DWORD> take_fault(std::string_view function);
void arm_fault(std::string function, unsigned count, DWORD code);
void clear_faults();

// The folder that holds what a real machine keeps across processes (registry, service
// database, ProgramData, the system directory). CONDUIT_TARGET_ROOT names it; tests and the
// launcher set it through sim. Created on first use.
std::filesystem::path target_root();
void set_target_root(const std::filesystem::path& root);

// A Windows path names a Linux path with '\' turned into '/'.
std::string host_path(std::string_view windows_path);

// Process-wide state of the families is allocated once and never destroyed: threads that
// nobody joins (a service's client threads) may still call in while the process exits, and
// must not find their tables already torn down by static destructors.
//
// Every family that keeps state registers a reset at static-initialisation time; sim::reset
// runs them all so that tests start from a clean machine.
using ResetFunction = void (*)();
bool register_reset(ResetFunction reset);
void reset_all();

// The process environment as the target sees it: an overlay (set or removed by sim) over
// the real environment. PROGRAMDATA, TEMP, TMP and SystemRoot default to folders inside the
// target root, as every Windows machine defines them. Names are case-insensitive.
std::optional<std::string> environment(std::string_view name);
void set_environment(std::string name, std::optional<std::string> value);

// The path GetModuleFileName reports for the process's own module: /proc/self/exe unless
// sim has set another one (tests place a configuration file next to a chosen path).
std::string module_path();
void set_module_path(std::optional<std::string> path);

}  // namespace platform

// Fails the calling stand-in function with the armed code when a fault is armed for it.
#define PLATFORM_FAIL_IF_ARMED(name, failure_value)          \
  do {                                                       \
    if (auto armed_fault_ = ::platform::take_fault(name)) {  \
      ::SetLastError(*armed_fault_);                         \
      return failure_value;                                  \
    }                                                        \
  } while (0)
