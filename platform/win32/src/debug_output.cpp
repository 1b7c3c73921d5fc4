#include <mutex>

#include "win32_controls/base_controls.h"
#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "reset_steps.h"
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


}  // namespace

namespace platform {

std::vector<std::u16string> debugger_output() {
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

namespace platform::win32 {

void clear_debugger_output_step() { clear_debugger_output(); }

}  // namespace platform::win32
