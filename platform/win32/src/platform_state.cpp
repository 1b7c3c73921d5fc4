#include "platform_state.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "winbase.h"

namespace platform {
namespace {

struct ArmedFault {
  unsigned remaining;
  DWORD code;
};

std::mutex& state_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Checked without the lock first: almost every call runs with no fault armed.
std::atomic<bool> g_any_fault{false};
std::map<std::string, ArmedFault, std::less<>>& faults() {
  static auto& map = *new std::map<std::string, ArmedFault, std::less<>>;
  return map;
}

std::optional<std::filesystem::path>& root_slot() {
  static auto& root = *new std::optional<std::filesystem::path>;
  return root;
}

std::string upper(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::map<std::string, std::optional<std::string>>& env_overlay() {
  static auto& map = *new std::map<std::string, std::optional<std::string>>;
  return map;
}

std::optional<std::string>& module_path_slot() {
  static auto& path = *new std::optional<std::string>;
  return path;
}

// The folders every Windows machine has, so that code which writes there finds them.
void lay_out(const std::filesystem::path& root) {
  std::error_code ignored;
  for (const char* folder : {"ProgramData", "Temp", "Windows/System32"}) {
    std::filesystem::create_directories(root / folder, ignored);
  }
}

std::vector<ResetFunction>& resets() {
  static auto& list = *new std::vector<ResetFunction>;
  return list;
}

}  // namespace

std::optional<DWORD> take_fault(std::string_view function) {
  if (!g_any_fault.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard lock(state_mutex());
  auto it = faults().find(function);
  if (it == faults().end()) return std::nullopt;
  DWORD code = it->second.code;
  if (--it->second.remaining == 0) faults().erase(it);
  if (faults().empty()) g_any_fault.store(false, std::memory_order_release);
  return code;
}

void arm_fault(std::string function, unsigned count, DWORD code) {
  std::lock_guard lock(state_mutex());
  if (count == 0) {
    faults().erase(function);
  } else {
    faults()[std::move(function)] = ArmedFault{count, code};
  }
  g_any_fault.store(!faults().empty(), std::memory_order_release);
}

void clear_faults() {
  std::lock_guard lock(state_mutex());
  faults().clear();
  g_any_fault.store(false, std::memory_order_release);
}

std::filesystem::path target_root() {
  std::lock_guard lock(state_mutex());
  auto& root = root_slot();
  if (!root) {
    const char* configured = std::getenv("CONDUIT_TARGET_ROOT");
    root = configured && *configured ? std::filesystem::path(configured)
                                     : std::filesystem::current_path() / "conduit-target-root";
    lay_out(*root);
  }
  return *root;
}

void set_target_root(const std::filesystem::path& root) {
  std::lock_guard lock(state_mutex());
  root_slot() = root;
  lay_out(root);
}

std::string host_path(std::string_view windows_path) {
  std::string out(windows_path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

bool register_reset(ResetFunction reset) {
  std::lock_guard lock(state_mutex());
  resets().push_back(reset);
  return true;
}

void reset_all() {
  std::vector<ResetFunction> list;
  {
    std::lock_guard lock(state_mutex());
    list = resets();
    faults().clear();
    g_any_fault.store(false, std::memory_order_release);
    env_overlay().clear();
    module_path_slot().reset();
  }
  for (auto reset : list) reset();
}

std::optional<std::string> environment(std::string_view name) {
  const std::string key = upper(name);
  {
    std::lock_guard lock(state_mutex());
    auto it = env_overlay().find(key);
    if (it != env_overlay().end()) return it->second;
  }
  // The real environment is matched case-insensitively, as Windows does.
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view pair(*entry);
    auto eq = pair.find('=');
    if (eq != std::string_view::npos && upper(pair.substr(0, eq)) == key) return std::string(pair.substr(eq + 1));
  }
  const auto root = target_root();
  if (key == "PROGRAMDATA") return (root / "ProgramData").string();
  if (key == "TEMP" || key == "TMP") return (root / "Temp").string();
  if (key == "SYSTEMROOT" || key == "WINDIR") return (root / "Windows").string();
  return std::nullopt;
}

void set_environment(std::string name, std::optional<std::string> value) {
  std::lock_guard lock(state_mutex());
  env_overlay()[upper(name)] = std::move(value);
}

std::string module_path() {
  {
    std::lock_guard lock(state_mutex());
    if (module_path_slot()) return *module_path_slot();
  }
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

void set_module_path(std::optional<std::string> path) {
  std::lock_guard lock(state_mutex());
  module_path_slot() = std::move(path);
}

}  // namespace platform
