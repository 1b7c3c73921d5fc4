#include "platform/core/faults.h"

#include <atomic>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct ArmedFault {
  unsigned remaining;
  std::uint32_t code;
};

struct FaultPlan {
  std::mutex mutex;
  std::map<std::string, ArmedFault, std::less<>> faults;
};

FaultPlan& plan() {
  static FaultPlan& instance = *new FaultPlan;
  return instance;
}

}  // namespace

// Its own cache line: read by every stand-in call on every thread, written only when faults
// are armed or taken.
alignas(64) constinit std::atomic<bool> detail::g_any_fault_armed{false};

std::optional<std::uint32_t> detail::take_armed_fault(std::string_view function) {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  auto it = p.faults.find(function);
  if (it == p.faults.end()) return std::nullopt;
  const std::uint32_t code = it->second.code;
  if (--it->second.remaining == 0) p.faults.erase(it);
  detail::g_any_fault_armed.store(!p.faults.empty(), std::memory_order_release);
  return code;
}

void arm_fault(std::string function, unsigned count, std::uint32_t code) {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  if (count == 0) {
    p.faults.erase(function);
  } else {
    p.faults[std::move(function)] = ArmedFault{count, code};
  }
  detail::g_any_fault_armed.store(!p.faults.empty(), std::memory_order_release);
}

void clear_faults() {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  p.faults.clear();
  detail::g_any_fault_armed.store(false, std::memory_order_release);
}

}  // namespace platform
