// Conduit hosted in this process on the virtual target, as the control manager starts it:
// a free port stored where the service reads it, the service marked as hosted, its entry
// point run on a thread of its own. Used by the service-object tests, the end-to-end tests
// and the benchmark. Call after sim::reset(); the destructor stops a service still running.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "conduit_main.h"
#include "sim/registry.h"
#include "sim/services.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "testing/free_port.h"
#include "winsvc.h"

namespace conduit::testing {

class HostedConduit {
 public:
  using Entry = std::function<int()>;

  // The service's own entry point, as the executable runs it with no switch.
  static int RunEntryPoint() {
    WCHAR name[] = TEXT("Conduit.exe");
    WCHAR* arguments[] = {name, nullptr};
    return wmain(1, arguments);
  }

  HostedConduit() : m_port(FreeServicePort()) {
    sim::set_registry_dword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera", "ETWConduit_PortNumber", m_port);
  }
  ~HostedConduit() { Stop(); }
  HostedConduit(const HostedConduit&) = delete;
  HostedConduit& operator=(const HostedConduit&) = delete;

  unsigned short Port() const { return m_port; }

  // Runs `entry` until the service reports running and, unless told not to wait for it,
  // its port accepts connections. False when either does not happen within 10 s, or at once
  // when the service reports it stopped or its entry point returns (a start that failed).
  bool Start(Entry entry = RunEntryPoint, bool waitForListener = true) {
    sim::host_service(CONDUIT_SERVICE_NAME);
    m_returned = false;
    m_entry = std::thread([this, entry = std::move(entry)] {
      m_exitCode = entry();
      m_returned = true;
    });
    const auto reported = [](DWORD state) {
      return sim::wait_for_service_state(CONDUIT_SERVICE_NAME, state, std::chrono::milliseconds(0));
    };
    const auto ended = [&] { return m_returned.load() || reported(SERVICE_STOPPED); };
    sim::wait_for([&] { return reported(SERVICE_RUNNING) || ended(); }, std::chrono::seconds(10));
    if (!reported(SERVICE_RUNNING)) return false;
    if (!waitForListener) return true;
    sim::wait_for([&] { return sim::is_listening(m_port) || ended(); }, std::chrono::seconds(10));
    return sim::is_listening(m_port);
  }

  // Sends the stop control and waits for the entry point; its result, or -1 when it was not
  // running.
  int Stop() {
    if (!m_entry.joinable()) return -1;
    sim::send_service_control(CONDUIT_SERVICE_NAME, SERVICE_CONTROL_STOP);
    m_entry.join();
    return m_exitCode;
  }

 private:
  unsigned short m_port;
  std::thread m_entry;
  int m_exitCode = -1;
  std::atomic<bool> m_returned{false};
};

}  // namespace conduit::testing
