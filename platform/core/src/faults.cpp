#include "platform/core/faults.h"

#include <atomic>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct ArmedFault {
  unsigned passes;
  unsigned remaining;
  std::uint32_t code;
};

struct FaultPlan {
  std::mutex mutex;
  std::map<std::string, ArmedFault, std::less<>> faults;
  bool recording = false;
  std::map<std::string, FaultPoint, std::less<>> reached;
};

FaultPlan& plan() {
  static FaultPlan& instance = *new FaultPlan;
  return instance;
}

thread_local bool t_exempt = false;

// Under the plan's lock.
void update_slow_path(const FaultPlan& p) {
  detail::g_any_fault_armed.store(!p.faults.empty() || p.recording, std::memory_order_release);
}

}  // namespace

// Its own cache line: read by every stand-in call on every thread, written only when faults
// are armed or taken.
alignas(64) constinit std::atomic<bool> detail::g_any_fault_armed{false};

std::optional<std::uint32_t> detail::take_armed_fault(std::string_view function, FaultKind kind) {
  if (t_exempt) return std::nullopt;
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  if (p.recording && function.find(':') == std::string_view::npos) {
    auto point = p.reached.find(function);
    if (point == p.reached.end()) point = p.reached.emplace(std::string(function), FaultPoint{std::string(function), kind, 0}).first;
    ++point->second.calls;
  }
  auto it = p.faults.find(function);
  if (it == p.faults.end()) return std::nullopt;
  if (it->second.passes > 0) {
    --it->second.passes;
    return std::nullopt;
  }
  const std::uint32_t code = it->second.code;
  if (--it->second.remaining == 0) p.faults.erase(it);
  update_slow_path(p);
  return code;
}

void arm_fault(std::string function, unsigned count, std::uint32_t code, unsigned passes) {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  if (count == 0) {
    p.faults.erase(function);
  } else {
    p.faults[std::move(function)] = ArmedFault{passes, count, code};
  }
  update_slow_path(p);
}

unsigned armed_fault_count(std::string_view function) {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  auto it = p.faults.find(function);
  return it == p.faults.end() ? 0 : it->second.remaining;
}

void clear_faults() {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  p.faults.clear();
  update_slow_path(p);
}

void start_fault_recording() {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  p.reached.clear();
  p.recording = true;
  update_slow_path(p);
}

std::vector<FaultPoint> stop_fault_recording() {
  auto& p = plan();
  std::lock_guard lock(p.mutex);
  p.recording = false;
  update_slow_path(p);
  std::vector<FaultPoint> points;
  for (auto& [name, point] : p.reached) points.push_back(std::move(point));
  p.reached.clear();
  return points;
}

void exempt_this_thread_from_faults(bool exempt) { t_exempt = exempt; }

}  // namespace platform
