// Debug print: DbgPrintEx with the components' filter state (DbgSetDebugFilterState) and
// debug-print callbacks (DbgSetDebugPrintCallback). What passes the filter is kept as the
// kernel debugger's output, which sim reads.
#include <algorithm>
#include <cstdarg>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "format.h"
#include "kernel_controls/kernel.h"
#include "kernel_internal.h"

namespace platform::kernel {
namespace {

// Windows sends at most this much of one message.
constexpr std::size_t kMaxMessageBytes = 512;
// The debugger's buffer is bounded; the oldest messages go first.
constexpr std::size_t kMaxKeptMessages = 100000;
// Component ids are indexes into the kernel's table of filter masks.
constexpr ULONG kMaxComponentId = 200;
// The default mask every message is also tested against (Kd_WIN2000_Mask): errors.
constexpr ULONG kAlwaysOnMask = 1u << DPFLTR_ERROR_LEVEL;

struct DebugPrint {
  std::mutex mutex;
  std::map<ULONG, ULONG> component_masks;
  std::vector<PDEBUG_PRINT_CALLBACK> callbacks;
  std::deque<std::string> output;
};

DebugPrint& state() {
  static DebugPrint& instance = *new DebugPrint;
  return instance;
}

// A Level of 0 to 31 names one bit; a larger one is a mask (without DPFLTR_MASK's bit).
ULONG level_mask(ULONG level) { return level <= 31 ? (1u << level) : (level & ~static_cast<ULONG>(DPFLTR_MASK)); }

}  // namespace

std::vector<std::string> debugger_output() {
  std::lock_guard lock(state().mutex);
  return std::vector<std::string>(state().output.begin(), state().output.end());
}

void forget_debug_print_state() {
  std::lock_guard lock(state().mutex);
  state().component_masks.clear();
  state().callbacks.clear();
  state().output.clear();
}

}  // namespace platform::kernel

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  KERNEL_ENTRY("DbgPrintEx");
  using namespace platform::kernel;
  if (Format == nullptr) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  std::vector<PDEBUG_PRINT_CALLBACK> callbacks;
  {
    std::lock_guard lock(state().mutex);
    const auto component = state().component_masks.find(ComponentId);
    const ULONG component_mask = component == state().component_masks.end() ? 0 : component->second;
    if ((level_mask(Level) & (component_mask | kAlwaysOnMask)) == 0) return STATUS_SUCCESS;
    callbacks = state().callbacks;
  }
  va_list arguments;
  va_start(arguments, Format);
  std::string message = format_narrow(Format, arguments);
  va_end(arguments);
  if (message.size() > kMaxMessageBytes - 1) message.resize(kMaxMessageBytes - 1);
  {
    std::lock_guard lock(state().mutex);
    if (state().output.size() == kMaxKeptMessages) state().output.pop_front();
    state().output.push_back(message);
  }
  for (PDEBUG_PRINT_CALLBACK callback : callbacks) {
    std::string copy = message;
    STRING text{static_cast<USHORT>(copy.size()), static_cast<USHORT>(copy.size() + 1), copy.data()};
    callback(&text, ComponentId, Level);
  }
  return STATUS_SUCCESS;
}

NTSTATUS DbgSetDebugFilterState(ULONG ComponentId, ULONG Level, BOOLEAN State) {
  KERNEL_STATUS_ENTRY("DbgSetDebugFilterState");
  using namespace platform::kernel;
  if (ComponentId > kMaxComponentId) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(state().mutex);
  ULONG& mask = state().component_masks[ComponentId];
  if (State) mask |= level_mask(Level);
  else mask &= ~level_mask(Level);
  return STATUS_SUCCESS;
}

NTSTATUS DbgSetDebugPrintCallback(PDEBUG_PRINT_CALLBACK DebugPrintCallback, BOOLEAN Enable) {
  KERNEL_STATUS_ENTRY("DbgSetDebugPrintCallback");
  using namespace platform::kernel;
  if (DebugPrintCallback == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(state().mutex);
  auto& callbacks = state().callbacks;
  const auto found = std::find(callbacks.begin(), callbacks.end(), DebugPrintCallback);
  if (Enable) {
    if (found != callbacks.end()) return STATUS_INVALID_PARAMETER;
    callbacks.push_back(DebugPrintCallback);
  } else {
    if (found == callbacks.end()) return STATUS_INVALID_PARAMETER;
    callbacks.erase(found);
  }
  return STATUS_SUCCESS;
}
