// Requests per second of the remote API's cheapest call (function 8) over loopback, with
// the service hosted in this process on the virtual target, at log level 3 (errors only)
// and 0 (every entry and exit traced, each entry opening and closing the log file).
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "conduit_client.h"
#include "support/free_port.h"
#include "conduit_main.h"
#include "log_writer.h"
#include "sim/registry.h"
#include "sim/services.h"
#include "sim/sim.h"
#include "winsvc.h"

namespace {

constexpr char16_t kServiceName[] = u"Orvix(R) Trace Redirect Service";

// The service, started once for all benchmarks and stopped at exit.
class HostedService {
 public:
  HostedService() {
    sim::reset();
    m_port = conduit::testing::free_service_port();
    sim::set_registry_dword("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera", "ETWConduit_PortNumber", m_port);
    sim::host_service(kServiceName);
    m_entry = std::thread([] {
      WCHAR name[] = u"Conduit.exe";
      WCHAR* args[] = {name, nullptr};
      wmain(1, args);
    });
    sim::wait_for_service_state(kServiceName, SERVICE_RUNNING, std::chrono::seconds(10));
    // The accept thread may still be binding: retry the first connection briefly.
    for (int attempt = 0; attempt < 200; ++attempt) {
      try {
        conduit::host::ConduitClient probe("127.0.0.1", static_cast<std::uint16_t>(m_port));
        probe.ping();
        break;
      } catch (const conduit::host::ConnectionError&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
  ~HostedService() {
    sim::send_service_control(kServiceName, SERVICE_CONTROL_STOP);
    m_entry.join();
  }
  std::uint16_t port() const { return static_cast<std::uint16_t>(m_port); }

 private:
  unsigned m_port = 0;
  std::thread m_entry;
};

HostedService& service() {
  static HostedService hosted;
  return hosted;
}

void BM_Ping(benchmark::State& state, const char* logLevel) {
  const std::uint16_t port = service().port();
  if (state.thread_index() == 0) SetLogLevel(logLevel);
  conduit::host::ConduitClient client("127.0.0.1", port);
  for (auto _ : state) {
    auto response = client.ping();
    if (response.function != 2) state.SkipWithError("unexpected response");
  }
  state.counters["requests_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_Ping, log_level_3, "3")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_CAPTURE(BM_Ping, log_level_0, "0")->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
