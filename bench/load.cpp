// Load: Conduit hosted in this process with one session redirecting to the STP file (a
// manifest provider written at a steady 2,000 events/s), and 64 clients, each on its own
// connection, sending requests back to back for the duration: ping, the processor frequency,
// the provider list, a manifest, an enable and a disable by GUID (each client its own GUID,
// on the redirecting session) and the sink type. Counted: answered (status 0 and the
// expected function), failed (any other answer), unanswered (the connection broke or the
// time-out ran out; the client then connects afresh). Memory is the process's heap in use
// (mallinfo2) and RSS: before the clients, at the peak, and after they have gone.
//
// Usage: load [--seconds S] [--clients N]. Exit status 0 when every request was answered.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "conduit_client.h"
#include "evntprov.h"
#include "log_writer.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "testing/event_record_builder.h"
#include "testing/hosted_conduit.h"

namespace {

using bench_support::Memory;
using bench_support::MemoryNow;
using bench_support::MiB;

using Clock = std::chrono::steady_clock;
constexpr char kSession[] = "Load Session";
constexpr char kProviderName[] = "Conduit-Load";
constexpr char kProviderGuidText[] = "{6E2F3A4B-9C8D-4E7F-8A1B-2C3D4E5F6A7B}";

etw::ProviderSchema Provider() {
  namespace in = etw::intype;
  using decode_testing::MakeField;
  return decode_testing::OneEventProvider(kProviderName, kProviderGuidText, etw::DecodingSource::XmlFile,
                                          {MakeField("Sequence", in::UInt64)}, "Load event %1");
}

enum Kind { kPing, kFrequency, kProviders, kManifest, kEnable, kDisable, kSinkType, kKinds };
const char* const kKindName[kKinds] = {"ping", "frequency", "providers", "manifest", "enable", "disable", "sink type"};

struct Counts {
  std::atomic<std::uint64_t> answered[kKinds] = {};
  std::atomic<std::uint64_t> failed[kKinds] = {};
  std::atomic<std::uint64_t> unanswered[kKinds] = {};
};

// Each client's own provider GUID for its enables and disables.
std::string ClientGuid(int client) {
  char text[64];
  std::snprintf(text, sizeof text, "{7A000000-0000-4000-8000-0000000000%02X}", client & 0xFF);
  return text;
}

bool Answered(Kind kind, const conduit::host::Envelope& response) {
  if (kind == kPing) return response.status == 0 && response.function == 2;
  return response.status == 0;
}

void RunClient(int index, std::uint16_t port, Clock::time_point deadline, Counts& counts) {
  const std::string guid = ClientGuid(index);
  std::unique_ptr<conduit::host::ConduitClient> client;
  for (int n = index; Clock::now() < deadline; ++n) {
    const auto kind = static_cast<Kind>(n % kKinds);
    try {
      if (!client) client = std::make_unique<conduit::host::ConduitClient>("127.0.0.1", port);
      conduit::host::Envelope response;
      switch (kind) {
        case kPing:
          response = client->ping();
          break;
        case kFrequency:
          response = client->max_processor_frequency();
          break;
        case kProviders:
          response = client->all_providers();
          break;
        case kManifest:
          response = client->provider_manifests({kProviderName});
          break;
        case kEnable:
          response = client->enable_providers_by_guid(kSession, {{guid, 4, 0, 0}});
          break;
        case kDisable:
          response = client->disable_providers_by_guid(kSession, {guid});
          break;
        default:
          response = client->set_sync_type(3);
          break;
      }
      (Answered(kind, response) ? counts.answered : counts.failed)[kind]++;
    } catch (const std::exception&) {
      counts.unanswered[kind]++;
      client.reset();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  int clients = 64;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--seconds") {
      seconds = std::strtod(argv[i + 1], nullptr);
    } else if (name == "--clients") {
      clients = std::atoi(argv[i + 1]);
    } else {
      std::cerr << "usage: load [--seconds S] [--clients N]\n";
      return 2;
    }
  }
  if (seconds <= 0 || clients <= 0 || clients > 255) {
    std::cerr << "load: a positive duration and 1 to 255 clients\n";
    return 2;
  }
  sim::reset();
  sim::install_declared_provider(Provider());
  // The service writes into its working directory; a service started by the control manager
  // has System32 there, the hosted one has this process's.
  const auto system32 = sim::target_root() / "Windows" / "System32";
  std::filesystem::create_directories(system32);
  std::filesystem::current_path(system32);
  auto service = std::make_unique<conduit::testing::HostedConduit>();
  if (!service->Start()) {
    std::cerr << "load: the service did not start\n";
    return 1;
  }
  SetLogLevel("3");
  conduit::host::ConduitClient control("127.0.0.1", service->Port());
  if (control.set_sync_type(3).status != 0 || control.start_session(kSession).status != 0 ||
      control.enable_providers_by_guid(kSession, {{kProviderGuidText, 5, 0, 0}}).status != 0 ||
      control.redirect(kSession).status != 0) {
    std::cerr << "load: the redirect did not start\n";
    return 1;
  }
  const GUID guid = decode_testing::ToGuid(*etw::parse_guid_text(kProviderGuidText));
  REGHANDLE provider = 0;
  EventRegister(&guid, nullptr, nullptr, &provider);

  std::atomic<bool> stop{false};
  // The redirect's steady stream: 2,000 events/s, two every millisecond.
  std::thread writer([&] {
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Id = 1;
    descriptor.Level = 4;
    for (std::uint64_t sequence = 0; !stop;) {
      for (int i = 0; i < 2; ++i, ++sequence) {
        EVENT_DATA_DESCRIPTOR item;
        EventDataDescCreate(&item, &sequence, sizeof sequence);
        EventWrite(provider, &descriptor, 1, &item);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  Memory peak;
  std::thread monitor([&] {
    while (!stop) {
      const Memory now = MemoryNow();
      peak.heap = std::max(peak.heap, now.heap);
      peak.rss = std::max(peak.rss, now.rss);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  const Memory before = MemoryNow();
  Counts counts;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) threads.emplace_back(RunClient, c, service->Port(), deadline, std::ref(counts));
  for (auto& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  // The service's connection threads end once they see their peers gone.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Memory after = MemoryNow();
  stop = true;
  writer.join();
  monitor.join();
  const bool stopped = control.stop_session(kSession).status == 0;

  std::uint64_t answered = 0, failed = 0, unanswered = 0;
  std::cout << "load: " << clients << " clients for " << elapsed << " s against a redirecting session\n";
  for (int k = 0; k < kKinds; ++k) {
    answered += counts.answered[k];
    failed += counts.failed[k];
    unanswered += counts.unanswered[k];
    std::cout << "  " << kKindName[k] << ": answered " << counts.answered[k] << ", failed " << counts.failed[k]
              << ", unanswered " << counts.unanswered[k] << "\n";
  }
  std::cout << "requests answered " << answered << " (" << static_cast<double>(answered) / elapsed << "/s), failed "
            << failed << ", unanswered " << unanswered << "\n";
  std::cout << "memory (heap in use / RSS): before " << MiB(before.heap) << " / " << MiB(before.rss) << "; peak "
            << MiB(peak.heap) << " / " << MiB(peak.rss) << "; after " << MiB(after.heap) << " / " << MiB(after.rss)
            << "\n";
  EventUnregister(provider);
  service.reset();
  return failed == 0 && unanswered == 0 && stopped ? 0 : 1;
}
