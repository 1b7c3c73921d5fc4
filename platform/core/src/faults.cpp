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
  // Checked without the lock first: almost every call runs with no fault armed.
  std::atomic<bool> any{false};
  std::map<std::string, ArmedFault, std::less<>> faults;
};

FaultPlan& plan() {
  static FaultPlan& instance = *new FaultPlan;
  return instance;
}

}  // namespace

std::optional<std::uint32_t> take_fault(std::string_view function) {
  auto& p = plan();
  if (!p.any.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard lock(p.mutex);
  auto it = p.faults.find(function);
  if (it == p.faults.end()) return std::nullopt;
  const std::uint32_t code = it->second.code;
  if (--it->second.remaining == 0) p.faults.erase(it);
  p.any.store(!p.faults.empty(), std::memory_order_release);
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
  p.any.store(!p.faults.empty(), std::memory_order_release);
}

void clear_faults() {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  p.faults.clear();
  p.any.store(false, std::memory_order_release);
}

}  // namespace platform
