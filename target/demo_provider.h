// The demo provider of conduit-target: a thread of the target's own that registers an ETW
// provider and writes a short text event every 200 ms, so that a session the host starts
// through Conduit has something to enable by GUID. Its enable callback prints when a
// session enables or disables it.
#pragma once

#include <atomic>
#include <thread>

namespace conduit::target {

inline constexpr char kDemoProviderGuid[] = "{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81}";

class DemoProvider {
 public:
  DemoProvider();
  ~DemoProvider();  // unregisters and joins
  DemoProvider(const DemoProvider&) = delete;
  DemoProvider& operator=(const DemoProvider&) = delete;

 private:
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace conduit::target
