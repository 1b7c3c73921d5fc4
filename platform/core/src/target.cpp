#include "platform/core/target.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/core/reset.h"
#include "platform/core/text.h"

namespace platform {
namespace {

// Process-wide state is allocated once and never destroyed: threads that nobody joins (a
// service's client threads) may still call in while the process exits, and must not find it
// already torn down by static destructors.
struct TargetState {
  std::mutex mutex;
  std::optional<std::filesystem::path> root;
  std::map<std::string, std::optional<std::string>> environment;  // by folded name
  std::optional<std::string> module_path;
};

TargetState& state() {
  static TargetState& instance = *new TargetState;
  return instance;
}

// The folders every Windows machine has, so that code which writes there finds them.
void lay_out(const std::filesystem::path& root) {
  std::error_code ignored;
  for (const char* folder : {"ProgramData", "Temp", "Windows/System32"}) {
    std::filesystem::create_directories(root / folder, ignored);
  }
}

}  // namespace

std::filesystem::path target_root() {
  std::lock_guard lock(state().mutex);
  auto& root = state().root;
  if (!root) {
    const char* configured = std::getenv("CONDUIT_TARGET_ROOT");
    root = configured && *configured ? std::filesystem::path(configured)
                                     : std::filesystem::current_path() / "conduit-target-root";
    lay_out(*root);
  }
  return *root;
}

void set_target_root(const std::filesystem::path& root) {
  std::lock_guard lock(state().mutex);
  state().root = root;
  lay_out(root);
}

std::string host_path(std::string_view windows_path) {
  std::string out(windows_path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::optional<std::string> environment(std::string_view name) {
  const std::string key = fold_name(name);
  {
    std::lock_guard lock(state().mutex);
    auto it = state().environment.find(key);
    if (it != state().environment.end()) return it->second;
  }
  // The real environment is matched case-insensitively, as Windows does.
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view pair(*entry);
    auto eq = pair.find('=');
    if (eq != std::string_view::npos && fold_name(pair.substr(0, eq)) == key) return std::string(pair.substr(eq + 1));
  }
  const auto root = target_root();
  if (key == "programdata") return (root / "ProgramData").string();
  if (key == "temp" || key == "tmp") return (root / "Temp").string();
  if (key == "systemroot" || key == "windir") return (root / "Windows").string();
  return std::nullopt;
}

void set_environment(std::string name, std::optional<std::string> value) {
  std::lock_guard lock(state().mutex);
  state().environment[fold_name(name)] = std::move(value);
}

std::string module_path() {
  {
    std::lock_guard lock(state().mutex);
    if (state().module_path) return *state().module_path;
  }
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

void set_module_path(std::optional<std::string> path) {
  std::lock_guard lock(state().mutex);
  state().module_path = std::move(path);
}

// The target's part of drop_process_state, called by run_reset.
void drop_target_overrides() {
  std::lock_guard lock(state().mutex);
  state().environment.clear();
  state().module_path.reset();
}

}  // namespace platform
