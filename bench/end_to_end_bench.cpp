// Events per second from EventWrite to the MIPI STP file, and through the hardware: Conduit
// hosted in this process,
// driven over its protocol as the host tool drives it (sink 3, start, enable by GUID,
// redirect), N events written by one or two threads as fast as they go, then the time until
// every event is in the file: the session's buffer drained (every event went through the
// consumer's callback), the session stopped, the sink closed. Each iteration is one whole
// capture.
//
// The hardware runs (BM_EventWriteToHardware) use sink 2 instead: TXR is loaded for the
// Tessera device, the redirect's buffers go to TXR's write path, and the Tessera model
// packetises the channel stores into its capture; the capture is complete when the session
// has stopped and the capture stopped growing, and is then closed and read back.
//
// Two providers:
// - "manifest": a declared manifest provider with four properties and a message template,
//   so every event is decoded to text on the consumer thread (the decoder's whole path);
// - "raw": the DUX provider {4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}, whose events travel as
//   their user data (64 bytes here) without decoding.
//
// Counters: events_per_second (N over the capture's time), delivered_per_second (the events
// in the file over the same time), events_in_file (what stpdump's decoder finds), session_events_lost (the session's EventsLost from a query before the
// stop), redirect_skip_notices (the redirect's memory-cap notices in the file) and missing
// (N minus the events in the file).
//
// The session gets the largest buffer the platform allows (64 MiB: 1024 KiB x 64 buffers):
// the writers outrun the decoder, and the session must hold what the consumer has not taken
// yet, or the session loses events before the redirect sees them. 64 MiB holds about 700,000
// of the manifest events (96 bytes each in the buffer) and 500,000 raw ones (128 bytes).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "conduit_client.h"
#include "evntprov.h"
#include "evntrace.h"
#include "log_writer.h"
#include "shm_root.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "stp_parser.h"
#include "stream_decoder.h"
#include "testing/event_record_builder.h"
#include "testing/hosted_conduit.h"
#include "tessera/model.h"
#include "txr_boot.h"

namespace {

using bench_support::FileClosed;

using Clock = std::chrono::steady_clock;

constexpr int kEvents = 200000;
constexpr char kSession[] = "E2E Bench";
constexpr char16_t kSessionWide[] = u"E2E Bench";

constexpr char kManifestGuidText[] = "{0B5E7A3C-9D01-4E55-9C31-6A1F0C772D1C}";
constexpr char kRawGuidText[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";

etw::ProviderSchema ManifestProvider() {
  namespace in = etw::intype;
  namespace out = etw::outtype;
  using decode_testing::MakeField;
  return decode_testing::OneEventProvider(
      "Conduit-E2E-Bench", kManifestGuidText, etw::DecodingSource::XmlFile,
      {MakeField("Device", in::UnicodeString), MakeField("Status", in::UInt32, out::HexInt32),
       MakeField("Bytes", in::UInt64), MakeField("Done", in::Boolean)},
      "Device %1 finished with status %2 after %3 bytes (done: %4)");
}

GUID GuidOf(const char* text) { return decode_testing::ToGuid(*etw::parse_guid_text(text)); }

// The service and its client, started once for every benchmark and stopped at exit.
struct Machine {
  bench_support::ShmRoot root{"conduit-e2e-bench"};
  std::unique_ptr<conduit::testing::HostedConduit> service;
  std::unique_ptr<conduit::host::ConduitClient> client;
  REGHANDLE manifest = 0;
  REGHANDLE raw = 0;

  std::filesystem::path TraceFolder() const { return sim::target_root() / "ProgramData" / "ETW-Traces"; }
  std::filesystem::path CaptureFolder() const { return sim::target_root() / "Tessera"; }
};

Machine& machine() {
  static Machine& instance = *[] {
    auto* m = new Machine;
    if (m->root.path.empty()) {
      sim::reset();
    } else {
      sim::reset(m->root.path);
    }
    sim::set_etw_session_buffer(1024, 64);
    sim::install_declared_provider(ManifestProvider());
    m->service = std::make_unique<conduit::testing::HostedConduit>();
    if (!m->service->Start()) {
      std::cerr << "end_to_end_bench: the service did not start\n";
      std::exit(1);
    }
    SetLogLevel("3");
    m->client = std::make_unique<conduit::host::ConduitClient>("127.0.0.1", m->service->Port());
    std::ostringstream console;
    if (!conduit::target::load_txr(false, console).empty()) {
      std::cerr << "end_to_end_bench: TXR did not load\n";
      std::exit(1);
    }
    const GUID manifest = GuidOf(kManifestGuidText);
    const GUID raw = GuidOf(kRawGuidText);
    EventRegister(&manifest, nullptr, nullptr, &m->manifest);
    EventRegister(&raw, nullptr, nullptr, &m->raw);
    std::atexit([] {
      Machine& done = machine();
      EventUnregister(done.manifest);
      EventUnregister(done.raw);
      done.client.reset();
      done.service.reset();
      std::ostringstream unloaded;
      conduit::target::unload_txr(unloaded);
    });
    return m;
  }();
  return instance;
}

enum Kind { kManifest = 0, kRaw = 1 };

void WriteEvents(REGHANDLE provider, Kind kind, int first, int count) {
  EVENT_DESCRIPTOR descriptor{};
  descriptor.Id = 1;
  descriptor.Level = 4;
  const WCHAR device[] = TEXT("disk0");
  // The raw provider's first two bytes are not part of the record.
  const std::string raw = "--" + std::string(62, 'r');
  for (int i = first; i < first + count; ++i) {
    if (kind == kManifest) {
      const ULONG status = 0xC0000001u;
      const ULONGLONG bytes = 123456789ull + static_cast<ULONGLONG>(i);
      const ULONG done = i & 1;
      EVENT_DATA_DESCRIPTOR items[4];
      EventDataDescCreate(&items[0], device, sizeof device);
      EventDataDescCreate(&items[1], &status, sizeof status);
      EventDataDescCreate(&items[2], &bytes, sizeof bytes);
      EventDataDescCreate(&items[3], &done, sizeof done);
      EventWrite(provider, &descriptor, 4, items);
    } else {
      EVENT_DATA_DESCRIPTOR item;
      EventDataDescCreate(&item, raw.data(), static_cast<ULONG>(raw.size()));
      EventWrite(provider, &descriptor, 1, &item);
    }
  }
}

// The session's state through the platform's query, as a controller reads it.
struct SessionState {
  bool found = false;
  bool drained = false;
  ULONG eventsLost = 0;
};

SessionState QuerySession() {
  std::vector<unsigned char> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 1024 * sizeof(WCHAR), 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  properties->LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES) + 1024 * sizeof(WCHAR);
  SessionState state;
  if (ControlTraceW(0, reinterpret_cast<LPCWSTR>(kSessionWide), properties, EVENT_TRACE_CONTROL_QUERY) != 0) {
    return state;
  }
  state.found = true;
  state.drained = properties->FreeBuffers == properties->NumberOfBuffers;
  state.eventsLost = properties->EventsLost;
  return state;
}

template <typename Condition>
bool WaitFor(Condition condition) {
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (Clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

struct FileCount : stpdump::ItemSink {
  std::uint64_t events = 0;
  std::uint64_t skipNotices = 0;
  std::uint64_t lostNotices = 0;
  void on_message(const stpdump::Message& message) override {
    if (message.cls == stpdump::MessageClass::RawData) ++events;
    if (message.cls == stpdump::MessageClass::EtwEvent && message.event.id == 1 &&
        message.event.text.rfind("Conduit-E2E-Bench-->", 0) == 0) {
      ++events;
    }
  }
  void on_loss(const stpdump::Loss& loss) override {
    if (loss.what.rfind("redirect skipped", 0) == 0) {
      ++skipNotices;
    } else {
      ++lostNotices;
    }
  }
  void on_skip(const stpdump::Skip&) override {}
};

FileCount CountFile(const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes(std::filesystem::file_size(path));
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  FileCount count;
  stpdump::StreamDecoder decoder(count);
  stpdump::StpParser parser(decoder);
  parser.feed(bytes.data(), bytes.size());
  parser.finish();
  decoder.finish();
  return count;
}

enum Sink { kStpFile = 3, kHardware = 2 };

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) files.push_back(entry.path());
  return files;
}

// The capture is complete once nothing more reaches it: the session has stopped, so the
// redirect's last buffer is the last write TXR gets. The time that counts is the moment the
// capture last grew, not the quiet period that shows it is complete.
Clock::time_point CaptureSettled() {
  std::uintmax_t previous = ~std::uintmax_t{0};
  Clock::time_point grew = Clock::now();
  for (int stable = 0; stable < 20;) {
    tessera::model().flush_capture();
    const auto path = tessera::model().capture_path();
    std::error_code error;
    const std::uintmax_t size = path ? std::filesystem::file_size(*path, error) : 0;
    if (size != previous) {
      grew = Clock::now();
      stable = 0;
    } else {
      ++stable;
    }
    previous = size;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return grew;
}

void RunCaptures(benchmark::State& state, Sink sink) {
  Machine& m = machine();
  const auto kind = static_cast<Kind>(state.range(0));
  const int writers = static_cast<int>(state.range(1));
  const REGHANDLE provider = kind == kManifest ? m.manifest : m.raw;
  const char* guid = kind == kManifest ? kManifestGuidText : kRawGuidText;
  const std::filesystem::path folder = sink == kStpFile ? m.TraceFolder() : m.CaptureFolder();
  if (m.client->set_sync_type(sink).status != 0) {
    state.SkipWithError("the sink was refused");
    return;
  }
  double seconds = 0;
  std::uint64_t inFile = 0, lost = 0, skips = 0;
  for (auto _ : state) {
    tessera::model().close_capture();
    for (const auto& stale : FilesIn(folder)) std::filesystem::remove(stale);
    if (m.client->start_session(kSession).status != 0 ||
        m.client->enable_providers_by_guid(kSession, {{guid, 5, 0, 0}}).status != 0 ||
        m.client->redirect(kSession).status != 0) {
      state.SkipWithError("the capture did not start");
      return;
    }
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
      threads.emplace_back(WriteEvents, provider, kind, w * (kEvents / writers), kEvents / writers);
    }
    for (auto& thread : threads) thread.join();
    SessionState session;
    const bool drained = WaitFor([&] {
      session = QuerySession();
      return session.found && session.drained;
    });
    if (!drained || m.client->stop_session(kSession).status != 0) {
      state.SkipWithError("the session did not drain or stop");
      return;
    }
    std::vector<std::filesystem::path> files;
    bool closed = false;
    Clock::time_point end;
    if (sink == kStpFile) {
      closed = WaitFor([&] {
        files = FilesIn(folder);
        return files.size() == 1 && FileClosed(files.front());
      });
      end = Clock::now();
    } else {
      end = CaptureSettled();
      closed = tessera::model().close_capture().has_value();
      files = FilesIn(folder);
      closed = closed && files.size() == 1;
    }
    if (!closed) {
      state.SkipWithError("the trace was not complete");
      return;
    }
    const double elapsed = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    const FileCount count = CountFile(files.front());
    inFile += count.events;
    skips += count.skipNotices;
    lost += session.eventsLost;
  }
  const auto iterations = static_cast<double>(state.iterations());
  const double total = static_cast<double>(kEvents) * iterations;
  state.counters["events_per_second"] = benchmark::Counter(total / seconds);
  state.counters["delivered_per_second"] = benchmark::Counter(static_cast<double>(inFile) / seconds);
  state.counters["events_in_file"] = benchmark::Counter(static_cast<double>(inFile) / iterations);
  state.counters["missing"] = benchmark::Counter((total - static_cast<double>(inFile)) / iterations);
  state.counters["session_events_lost"] = benchmark::Counter(static_cast<double>(lost) / iterations);
  state.counters["redirect_skip_notices"] = benchmark::Counter(static_cast<double>(skips) / iterations);
  state.SetLabel(std::string(kind == kManifest ? "manifest" : "raw") + ", " + std::to_string(writers) +
                 (writers == 1 ? " writer" : " writers"));
}

void BM_EventWriteToStpFile(benchmark::State& state) { RunCaptures(state, kStpFile); }
void BM_EventWriteToHardware(benchmark::State& state) { RunCaptures(state, kHardware); }

BENCHMARK(BM_EventWriteToHardware)
    ->ArgsProduct({{kManifest, kRaw}, {1, 2}})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EventWriteToStpFile)
    ->ArgsProduct({{kManifest, kRaw}, {1, 2}})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
