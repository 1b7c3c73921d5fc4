#include "platform/core/target.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

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

bool target_root_is_set() {
  std::lock_guard lock(state().mutex);
  return state().root.has_value();
}

void set_target_root(const std::filesystem::path& root) {
  std::lock_guard lock(state().mutex);
  state().root = root;
  lay_out(root);
}

namespace {

// The names of a '/'-separated path; runs of separators and "." name nothing.
void append_names(std::vector<std::string>& names, std::string_view path) {
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(begin, end - begin);
    if (!name.empty() && name != ".") names.emplace_back(name);
    begin = end + 1;
  }
}

std::vector<std::string> names_of(std::string_view path) {
  std::vector<std::string> names;
  append_names(names, path);
  return names;
}

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::string host_path(std::string_view windows_path) {
  if (windows_path.empty()) return std::string();
  std::string path(windows_path);
  std::replace(path.begin(), path.end(), '\\', '/');

  // Where the path starts: "C:\..." at the root (the target's one volume), a "/..." path at
  // the Linux root (the form the stand-in hands out for its own folders: the target root,
  // the current directory, ProgramData), anything else (and "C:x") in the current directory.
  const std::filesystem::path root = std::filesystem::absolute(target_root()).lexically_normal();
  std::string_view rest = path;
  const bool drive = path.size() >= 2 && path[1] == ':' && is_drive_letter(path[0]);
  if (drive) {
    if (path[0] != 'C' && path[0] != 'c') return std::string();  // a volume the machine does not have
    rest.remove_prefix(2);
  }
  std::vector<std::string> names;
  if (!rest.empty() && rest.front() == '/') {
    if (drive) names = names_of(root.string());
  } else {
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    if (error) return std::string();
    names = names_of(current.string());
  }
  append_names(names, rest);

  // ".." is resolved as Windows resolves it: once the path has reached the target root (the
  // root of drive C:), it stays at or below it, as ".." at the root of a drive stays at the
  // root. The root is known by its own path and by the path its symbolic links resolve to,
  // which is the form the current directory takes.
  std::vector<std::vector<std::string>> roots{names_of(root.string())};
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(root, error);
  if (!error && resolved != root) roots.push_back(names_of(resolved.string()));

  std::vector<std::string> kept;
  const auto reached_root = [&] { return std::find(roots.begin(), roots.end(), kept) != roots.end(); };
  bool inside = reached_root();  // a root of "/"
  std::size_t floor = 0;
  for (const std::string& name : names) {
    if (name == "..") {
      if (kept.size() > floor) kept.pop_back();
      continue;
    }
    kept.push_back(name);
    if (!inside && reached_root()) {
      inside = true;
      floor = kept.size();
    }
  }
  std::string out;
  for (const std::string& name : kept) out += "/" + name;
  return out.empty() ? std::string("/") : out;
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

namespace {
std::atomic<void (*)()> g_before_abrupt_end{nullptr};
}  // namespace

void set_before_abrupt_end(void (*action)()) { g_before_abrupt_end.store(action); }

void run_before_abrupt_end() {
  if (void (*action)() = g_before_abrupt_end.exchange(nullptr)) action();
}

}  // namespace platform
