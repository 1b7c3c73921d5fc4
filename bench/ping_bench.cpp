// Requests per second of the remote API's cheapest call (function 8) over loopback, with
// the service hosted in this process on the virtual target, at log level 3 (errors only)
// and 0 (every entry and exit traced, each entry opening and closing the log file).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>

#include "conduit_client.h"
#include "log_writer.h"
#include "sim/sim.h"
#include "testing/hosted_conduit.h"

namespace {

// The service, started once for all benchmarks and stopped at exit.
conduit::testing::HostedConduit& service() {
  static conduit::testing::HostedConduit& hosted = *[] {
    sim::reset();
    auto* started = new conduit::testing::HostedConduit;
    if (!started->Start()) {
      std::cerr << "ping_bench: the service did not start\n";
      std::exit(1);
    }
    std::atexit([] { service().Stop(); });
    return started;
  }();
  return hosted;
}

void BM_Ping(benchmark::State& state, const char* logLevel) {
  const std::uint16_t port = service().Port();
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
