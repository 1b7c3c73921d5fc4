#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <vector>

#include "win32_controls/modules_table.h"
#include "platform/core/faults.h"
#include "platform/core/handles.h"
#include "platform/core/text.h"
#include "reset_steps.h"
#include "platform/core/target.h"

namespace {

struct Module {
  std::string file_name;
  platform::ModuleExports exports;
  std::set<std::string, std::less<>> removed_exports;
  unsigned references = 0;
  // Valid only while loaded; each load after a full unload gets a new value, so a handle
  // kept past its FreeLibrary never reaches the module again.
  std::uintptr_t handle = 0;
  std::string loaded_from;
};

// What a module handle names in the one handle table while the module is loaded.
struct LoadedModule : platform::HandleObject {};

// The loader maps ntdll.dll into every process before its first instruction: it is loaded
// from the start and stays loaded, so GetModuleHandleW finds it without a LoadLibrary.
bool is_mapped_into_every_process(std::string_view file_name) { return platform::same_name(file_name, "ntdll.dll"); }

Module built_in(std::string file_name, platform::ModuleExports exports) {
  Module module{std::move(file_name), std::move(exports), {}, 0, 0, {}};
  if (is_mapped_into_every_process(module.file_name)) {
    module.references = 1;
    module.handle = platform::insert_handle(std::make_shared<LoadedModule>());
    module.loaded_from = (platform::target_root() / "Windows" / "System32" / module.file_name).string();
  }
  return module;
}

struct ModuleTable {
  std::mutex mutex;
  std::vector<Module> modules;
};

std::vector<Module> builtin_modules() {
  std::vector<Module> modules;
  for (auto& [name, exports] : platform::win32::builtin_module_exports()) {
    modules.push_back(built_in(name, std::move(exports)));
  }
  return modules;
}

// A process that never resets (the service run on its own) still finds the machine's
// built-in modules installed.
ModuleTable& table() {
  static ModuleTable& instance = *new ModuleTable{{}, builtin_modules()};
  return instance;
}

using platform::same_name;

Module* find_by_name(std::string_view file_name) {
  for (auto& module : table().modules) {
    if (same_name(module.file_name, file_name)) return &module;
  }
  return nullptr;
}

Module* find_by_handle(HMODULE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0) return nullptr;
  for (auto& module : table().modules) {
    if (module.handle == value) return &module;
  }
  return nullptr;
}

}  // namespace

namespace platform::win32 {

// Lays the installed modules afresh: only the built-in ones, unloaded, with every export.
// Module handles went with the handle table in the drop phase.
void install_builtin_modules() {
  auto modules = builtin_modules();
  std::lock_guard lock(table().mutex);
  table().modules.swap(modules);
}

}  // namespace platform::win32

namespace platform {

void register_module(const std::string& file_name, ModuleExports exports) {
  std::lock_guard lock(table().mutex);
  if (Module* existing = find_by_name(file_name)) {
    existing->exports = std::move(exports);
    existing->removed_exports.clear();
    return;
  }
  table().modules.push_back(Module{file_name, std::move(exports), {}, 0, 0, {}});
}

void unregister_module(const std::string& file_name) {
  std::lock_guard lock(table().mutex);
  auto& modules = table().modules;
  for (const auto& module : modules) {
    if (module.handle != 0 && same_name(module.file_name, file_name)) {
      platform::remove_handle_as<LoadedModule>(module.handle);
    }
  }
  modules.erase(std::remove_if(modules.begin(), modules.end(),
                               [&](const Module& module) { return same_name(module.file_name, file_name); }),
                modules.end());
}

bool remove_module_export(const std::string& file_name, const std::string& export_name) {
  std::lock_guard lock(table().mutex);
  Module* module = find_by_name(file_name);
  if (module == nullptr) return false;
  module->removed_exports.insert(export_name);
  return true;
}

unsigned module_reference_count(const std::string& file_name) {
  std::lock_guard lock(table().mutex);
  const Module* module = find_by_name(file_name);
  return module == nullptr ? 0 : module->references;
}

std::optional<std::string> loaded_module_path(HMODULE handle) {
  std::lock_guard lock(table().mutex);
  const Module* module = find_by_handle(handle);
  if (module == nullptr) return std::nullopt;
  return module->loaded_from;
}

}  // namespace platform

namespace {

// The file name the loader looks for: the last part of the path, with ".dll" appended to a
// name without an extension.
std::string module_file_name(std::string_view path) {
  const auto separator = path.find_last_of("\\/");
  std::string file_name(separator == std::string_view::npos ? path : path.substr(separator + 1));
  if (file_name.find('.') == std::string::npos) file_name += ".dll";
  return file_name;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  PLATFORM_FAIL_IF_ARMED("LoadLibraryA", nullptr);
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string_view path(lpLibFileName);
  const std::string file_name = module_file_name(path);

  std::lock_guard lock(table().mutex);
  Module* module = find_by_name(file_name);
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (module->references++ == 0) {
    module->handle = platform::insert_handle(std::make_shared<LoadedModule>());
    module->loaded_from = std::string(path);
  }
  return reinterpret_cast<HMODULE>(module->handle);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  PLATFORM_FAIL_IF_ARMED("GetModuleHandleW", nullptr);
  // The virtual target has no image of the calling process itself: only modules by name.
  if (lpModuleName == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const std::string file_name = module_file_name(platform::utf16_to_utf8(std::u16string_view(lpModuleName)));
  std::lock_guard lock(table().mutex);
  // A module that is not loaded has no handle; the reference count is left as it is.
  const Module* module = find_by_name(file_name);
  if (module == nullptr || module->handle == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(module->handle);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  PLATFORM_FAIL_IF_ARMED("GetProcAddress", nullptr);
  std::lock_guard lock(table().mutex);
  Module* module = find_by_handle(hModule);
  if (module == nullptr) {
    SetLastError(hModule == nullptr ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Values below 64 Ki are ordinals, not names; reading them as text would crash.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  auto found = module->exports.find(std::string_view(lpProcName));
  if (found == module->exports.end() || module->removed_exports.count(found->first) != 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return found->second;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  PLATFORM_FAIL_IF_ARMED("FreeLibrary", FALSE);
  std::lock_guard lock(table().mutex);
  Module* module = find_by_handle(hLibModule);
  if (module == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (--module->references == 0) {
    platform::remove_handle_as<LoadedModule>(module->handle);
    module->handle = 0;
    module->loaded_from.clear();
  }
  return TRUE;
}
