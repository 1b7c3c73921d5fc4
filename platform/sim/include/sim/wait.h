// Waiting in a test for something another thread makes happen: poll the condition until it
// holds or the bound runs out, then answer whether it holds. The bound only keeps a broken
// build from hanging; a passing test never comes near it, so it says nothing about speed.
//
//   ASSERT_TRUE(sim::wait_for([&] { return sink->Writes() == 2; }));
#pragma once

#include <chrono>
#include <thread>

namespace sim {

template <typename Condition>
bool wait_for(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace sim
