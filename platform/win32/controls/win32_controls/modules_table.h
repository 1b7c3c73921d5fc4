// The process-wide table of stand-in modules (DLLs) behind LoadLibraryA, GetProcAddress and
// FreeLibrary. A family that provides a library (tdh.dll, ...) registers it with its exports;
// LoadLibraryA finds it by file name, case-insensitively, whatever folder the caller names.
// Internal to the platform.
//
// A reset lays the installed software afresh: every module is unloaded (its handles go with
// the handle table), modules registered since are dropped and the built-in ones (tdh.dll)
// come back with all their exports.
// Thread safety: every function may be called from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "winbase.h"

namespace platform {

// Export names are matched case-sensitively, as GetProcAddress does.
using ModuleExports = std::map<std::string, FARPROC, std::less<>>;

// Adds the module, or replaces the exports of a module of that name.
void register_module(const std::string& file_name, ModuleExports exports);
// Removes the module: LoadLibraryA then fails with ERROR_MOD_NOT_FOUND. Handles already
// handed out stop being valid.
void unregister_module(const std::string& file_name);
// Hides one export until the next reset (or re-registration); false when the module is
// unknown.
bool remove_module_export(const std::string& file_name, const std::string& export_name);
// How many LoadLibraryA calls are not yet matched by FreeLibrary; 0 for unknown modules.
unsigned module_reference_count(const std::string& file_name);
// The path a loaded module was loaded from, for GetModuleFileName; nullopt when the handle
// names no loaded module.
std::optional<std::string> loaded_module_path(HMODULE module);

}  // namespace platform
