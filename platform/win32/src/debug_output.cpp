#include <mutex>

#include "base_controls.h"
#include "platform_state.h"
#include "winbase.h"

namespace {

struct DebuggerOutput {
  std::mutex mutex;
  std::vector<std::u16string> lines;
};

DebuggerOutput& output() {
  static DebuggerOutput& instance = *new DebuggerOutput;
  return instance;
}

void reset_output() { platform::clear_debugger_output(); }
const bool registered = platform::register_reset(&reset_output);

}  // namespace

namespace platform {

std::vector<std::u16string> debugger_output() {
  (void)registered;
  std::lock_guard lock(output().mutex);
  return output().lines;
}

void clear_debugger_output() {
  std::lock_guard lock(output().mutex);
  output().lines.clear();
}

}  // namespace platform

void OutputDebugStringW(LPCWSTR lpOutputString) {
  PLATFORM_FAIL_IF_ARMED("OutputDebugStringW", );
  if (lpOutputString == nullptr) return;
  std::lock_guard lock(output().mutex);
  output().lines.emplace_back(lpOutputString);
}
