// The virtual target's machine-wide places: the target root, Windows paths on Linux, the
// process environment and the process's own module path.
// Thread safety: every function may be called from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The folder that holds what a real machine keeps across processes (registry, service
// database, ProgramData, the system directory). CONDUIT_TARGET_ROOT names it; tests and the
// launcher set it through sim. Created on first use with the folders every Windows machine
// has (ProgramData, Temp, Windows\System32).
std::filesystem::path target_root();
// Whether a root was set or made already (target_root() makes the default on first use).
bool target_root_is_set();
void set_target_root(const std::filesystem::path& root);

// The Linux path a Windows path names, with '\' and '/' both separators. "C:\..." is under
// the target root (drive C:, the machine's one volume; another drive letter gives "", a path
// that is not found); a path that starts with a separator is the Linux path it spells (the
// form the stand-ins hand out for the target root, the current directory and ProgramData);
// any other path, "C:name" too, is resolved against the current directory. "." and runs of
// separators name nothing, and ".." is resolved as Windows does at the root of a drive: once
// the path has reached the target root it never leaves it ("C:\..\..\x" is <root>/x, and
// "..\..\..\x" from <root>/Windows/System32 too). A path that never enters the root (a
// test's temporary file) keeps its own "..". The result is absolute; an empty path gives "".
std::string host_path(std::string_view windows_path);

// The process environment as the target sees it: an overlay (set or removed by sim) over
// the real environment. PROGRAMDATA, TEMP, TMP and SystemRoot default to folders inside the
// target root, as every Windows machine defines them. Names are case-insensitive.
std::optional<std::string> environment(std::string_view name);
void set_environment(std::string name, std::optional<std::string> value);

// The path GetModuleFileName reports for the process's own module: /proc/self/exe unless
// sim has set another one (tests place a configuration file next to a chosen path).
std::string module_path();
void set_module_path(std::optional<std::string> path);

// A process that the machine ends abruptly (a bug check) skips its exit handlers: what must
// still happen first (the removal of a temporary target root) is registered here and run by
// run_before_abrupt_end(), once, from the ending thread.
void set_before_abrupt_end(void (*action)());
void run_before_abrupt_end();

}  // namespace platform
