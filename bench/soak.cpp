// Soak: Conduit hosted in this process (the service allows one session at a time): events
// written at a steady rate for the whole run while the session "Soak" is started, redirected
// and stopped over and over, its sink switched in turn between the STP file, the plain file
// and the hardware (TXR loaded for the Tessera model). In one STP cycle the sink is stalled
// (sim::stall_writes on its file) until the redirect's queue passes the 400 MiB cap and the
// redirect skips, then released.
//
// Every event carries its sequence number (the manifest provider in its first property, the
// raw DUX provider in its user data), so each capture is checked event by event: each
// provider's events once and in order, gap-free except for the span the redirect skipped,
// which lies at its skip notice and is exactly what is missing; written = received + that
// span + what was written while no redirect ran (between a stop and the next redirect).
// Memory is the process's heap in use (mallinfo2: arenas and mmapped blocks) and its RSS,
// sampled every 50 ms: before the stall, at the peak, after the release once the queue was
// written, and at the end with every session stopped.
//
// While the sink is stalled the raw events carry 8 KiB instead of 64 bytes, so that the cap is
// reached within seconds at the same event rate (at the steady size it would take minutes).
//
// Usage: soak [--minutes M] [--seconds S] [--rate EVENTS_PER_SECOND] [--cycle SECONDS]
// Exit status 0 when every check held, 1 otherwise.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "conduit_client.h"
#include "evntprov.h"
#include "evntrace.h"
#include "log_writer.h"
#include "record_parser.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "stp_parser.h"
#include "stream_decoder.h"
#include "tessera/model.h"
#include "testing/event_record_builder.h"
#include "testing/hosted_conduit.h"
#include "txr_boot.h"

namespace {

using bench_support::FileClosed;
using bench_support::kMiB;
using bench_support::Memory;
using bench_support::MemoryNow;
using bench_support::MiB;

using Clock = std::chrono::steady_clock;

constexpr char kSession[] = "Soak";
constexpr char16_t kSessionWide[] = u"Soak";
constexpr char kProviderName[] = "Conduit-Soak";
constexpr char kManifestGuidText[] = "{5C1D2E3F-8A9B-4C7D-9E0F-1A2B3C4D5E6F}";
constexpr char kRawGuidText[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";
constexpr char kSkipNotice[] = ">>>>>>>WARNING::[MAX MEMORY REACHED] Conduit Max memory exceeded";
constexpr char kResumeNotice[] = ">>>>>>>WARNING::[MAX MEMORY REACHED] Resuming Traces";
constexpr char kRawMarker[] = "SOAK";
constexpr std::size_t kSteadyRawBytes = 64;
constexpr std::size_t kStallRawBytes = 8192;
constexpr double kCapBytes = 400.0 * kMiB;

enum Provider { kManifest = 0, kRaw = 1 };
const char* const kProviderLabel[] = {"manifest", "raw"};

GUID GuidOf(const char* text) { return decode_testing::ToGuid(*etw::parse_guid_text(text)); }

etw::ProviderSchema ManifestProvider() {
  namespace in = etw::intype;
  using decode_testing::MakeField;
  return decode_testing::OneEventProvider(kProviderName, kManifestGuidText, etw::DecodingSource::XmlFile,
                                          {MakeField("Sequence", in::UInt64), MakeField("Device", in::UnicodeString)},
                                          "Soak event sequence %1 on %2");
}

// ---- memory ----

class MemoryMonitor {
 public:
  MemoryMonitor() : m_thread([this] { Run(); }) {}
  ~MemoryMonitor() {
    m_stop = true;
    m_thread.join();
  }
  Memory Peak() {
    std::lock_guard lock(m_mutex);
    return m_peak;
  }

 private:
  void Run() {
    while (!m_stop) {
      const Memory now = MemoryNow();
      {
        std::lock_guard lock(m_mutex);
        m_peak.heap = std::max(m_peak.heap, now.heap);
        m_peak.rss = std::max(m_peak.rss, now.rss);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  Memory m_peak;
  std::thread m_thread;
};

// ---- the event source ----

// Writes `rate` events per second, manifest and raw in turn, each with its provider's next
// sequence number. An event EventWrite refuses is remembered: it never entered a session.
class Writer {
 public:
  Writer(REGHANDLE manifest, REGHANDLE raw, double rate) : m_handles{manifest, raw}, m_rate(rate) {}
  void Start() {
    m_thread = std::thread([this] { Run(); });
  }
  void Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }
  void SetRawBytes(std::size_t bytes) { m_rawBytes = bytes; }
  std::uint64_t Written(Provider p) const { return m_next[p].load(); }
  const std::vector<std::uint64_t>& Refused(Provider p) const { return m_refused[p]; }
  double Seconds() const { return m_seconds; }

 private:
  void Run() {
    const auto start = Clock::now();
    std::uint64_t total = 0;
    std::string raw;
    while (!m_stop) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const auto due = static_cast<std::uint64_t>(elapsed * m_rate);
      for (; total < due && !m_stop; ++total) {
        const Provider p = total % 2 == 0 ? kManifest : kRaw;
        const std::uint64_t sequence = m_next[p].load();
        EVENT_DESCRIPTOR descriptor{};
        descriptor.Id = 1;
        descriptor.Level = 4;
        ULONG status = 0;
        if (p == kManifest) {
          const WCHAR device[] = TEXT("disk0");
          EVENT_DATA_DESCRIPTOR items[2];
          EventDataDescCreate(&items[0], &sequence, sizeof sequence);
          EventDataDescCreate(&items[1], device, sizeof device);
          status = EventWrite(m_handles[p], &descriptor, 2, items);
        } else {
          // The raw provider's first two bytes are not part of the record.
          raw.assign("--");
          raw.append(kRawMarker);
          raw.append(reinterpret_cast<const char*>(&sequence), sizeof sequence);
          raw.resize(2 + m_rawBytes.load(), 'r');
          EVENT_DATA_DESCRIPTOR item;
          EventDataDescCreate(&item, raw.data(), static_cast<ULONG>(raw.size()));
          status = EventWrite(m_handles[p], &descriptor, 1, &item);
        }
        if (status != 0) m_refused[p].push_back(sequence);
        m_next[p].store(sequence + 1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }

  REGHANDLE m_handles[2];
  double m_rate;
  std::atomic<bool> m_stop{false};
  std::atomic<std::size_t> m_rawBytes{kSteadyRawBytes};
  std::atomic<std::uint64_t> m_next[2] = {0, 0};
  std::vector<std::uint64_t> m_refused[2];
  double m_seconds = 0;
  std::thread m_thread;
};

// ---- reading a capture ----

// The sequence numbers of a capture, per provider in capture order, and where the redirect's
// notices fall among them.
struct Capture : stpdump::ItemSink {
  std::vector<std::uint64_t> sequences[2];
  std::uint64_t skipNotices = 0;
  std::uint64_t resumeNotices = 0;
  std::uint64_t undecodable = 0;
  std::uint64_t bytesSkipped = 0;
  // Per skip: the index into `sequences` of each provider's first event after the skip notice.
  std::vector<std::array<std::size_t, 2>> skipsAt;

  void on_message(const stpdump::Message& message) override {
    if (message.cls == stpdump::MessageClass::Undecodable) {
      ++undecodable;
    } else if (message.cls == stpdump::MessageClass::RawData) {
      const auto& bytes = message.payload;
      if (bytes.size() >= 4 + 8 && std::memcmp(bytes.data(), kRawMarker, 4) == 0) {
        std::uint64_t sequence = 0;
        std::memcpy(&sequence, bytes.data() + 4, sizeof sequence);
        sequences[kRaw].push_back(sequence);
      } else {
        ++undecodable;
      }
    } else if (message.cls == stpdump::MessageClass::EtwEvent) {
      const std::string& text = message.event.text;
      if (text.rfind(kSkipNotice, 0) == 0) {
        ++skipNotices;
        skipsAt.push_back({sequences[0].size(), sequences[1].size()});
      } else if (text.rfind(kResumeNotice, 0) == 0) {
        ++resumeNotices;
      } else if (const auto at = text.find("sequence "); text.rfind(kProviderName, 0) == 0 && at != std::string::npos) {
        sequences[kManifest].push_back(std::strtoull(text.c_str() + at + 9, nullptr, 10));
      } else {
        ++undecodable;
      }
    }
  }
  void on_loss(const stpdump::Loss&) override {}
  void on_skip(const stpdump::Skip& skip) override { bytesSkipped += skip.bytes; }
};

Capture ReadCapture(const std::filesystem::path& path, bool records) {
  Capture capture;
  stpdump::StreamDecoder decoder(capture);
  stpdump::StpParser stp(decoder);
  stpdump::RecordParser plain(decoder);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chunk(16 << 20);
  while (in) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk.data());
    records ? plain.feed(bytes, got) : stp.feed(bytes, got);
  }
  records ? plain.finish() : stp.finish();
  decoder.finish();
  return capture;
}

// ---- the platform, as a controller sees it ----

bool SessionDrained(const char16_t* name) {
  std::vector<unsigned char> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 1024 * sizeof(WCHAR), 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  properties->LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES) + 1024 * sizeof(WCHAR);
  if (ControlTraceW(0, reinterpret_cast<LPCWSTR>(name), properties, EVENT_TRACE_CONTROL_QUERY) != 0) return false;
  return properties->FreeBuffers == properties->NumberOfBuffers;
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) files.push_back(entry.path());
  return files;
}

std::filesystem::path TraceFolder() { return sim::target_root() / "ProgramData" / "ETW-Traces"; }
std::filesystem::path PlainFolder() { return sim::target_root() / "Windows" / "System32"; }

// ---- checks ----

struct Failures {
  int count = 0;
  void Fail(const std::string& what) {
    ++count;
    std::cout << "FAILED: " << what << "\n";
  }
};

bool StartCapture(conduit::host::ConduitClient& client, const char* session, std::uint32_t sink) {
  return client.set_sync_type(sink).status == 0 && client.start_session(session).status == 0 &&
         client.enable_providers_by_guid(session, {{kManifestGuidText, 5, 0, 0}, {kRawGuidText, 5, 0, 0}}).status ==
             0 &&
         client.redirect(session).status == 0;
}

// A capture: each provider's events in order and once, and gap-free except where the
// redirect skipped: there the gap lies between the skip notice and the event after it.
struct Checked {
  std::uint64_t received = 0;
  std::uint64_t missing = 0;      // inside the capture's first..last of each provider
  std::uint64_t skippedSpan = 0;  // the gaps at the skip notices
  std::uint64_t first[2] = {0, 0}, last[2] = {0, 0};
};

Checked CheckCapture(const Capture& capture, const std::string& label, Failures& failures) {
  Checked checked;
  for (int p = 0; p < 2; ++p) {
    const auto& s = capture.sequences[p];
    checked.received += s.size();
    if (s.empty()) {
      failures.Fail(label + ": no " + kProviderLabel[p] + " event");
      continue;
    }
    checked.first[p] = s.front();
    checked.last[p] = s.back();
    std::vector<std::size_t> skipAt;
    for (const auto& at : capture.skipsAt) skipAt.push_back(at[p]);
    for (std::size_t i = 1; i < s.size(); ++i) {
      if (s[i] <= s[i - 1]) {
        failures.Fail(label + ": " + kProviderLabel[p] + " events duplicated or out of order");
        break;
      }
      const std::uint64_t gap = s[i] - s[i - 1] - 1;
      checked.missing += gap;
      if (std::find(skipAt.begin(), skipAt.end(), i) != skipAt.end()) {
        checked.skippedSpan += gap;
      } else if (gap != 0) {
        failures.Fail(label + ": " + kProviderLabel[p] + " events " + std::to_string(s[i - 1] + 1) + " to " +
                      std::to_string(s[i] - 1) + " lost outside a skipped span");
      }
    }
  }
  if (capture.undecodable + capture.bytesSkipped != 0) failures.Fail(label + ": undecodable input in the capture");
  return checked;
}

struct Options {
  double seconds = 180;
  double rate = 20000;
  double cycle = 10;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const double value = std::strtod(argv[i + 1], nullptr);
    if (name == "--minutes") {
      options.seconds = value * 60;
    } else if (name == "--seconds") {
      options.seconds = value;
    } else if (name == "--rate") {
      options.rate = value;
    } else if (name == "--cycle") {
      options.cycle = value;
    } else {
      std::cerr << "usage: soak [--minutes M] [--seconds S] [--rate EVENTS_PER_SECOND] [--cycle SECONDS]\n";
      std::exit(2);
    }
  }
  if (options.seconds < 20 || options.rate < 100 || options.cycle < 1) {
    std::cerr << "soak: at least 20 s, 100 events/s and a 1 s cycle\n";
    std::exit(2);
  }
  return options;
}

struct StallResult {
  bool capReached = false;
  bool drained = false;
  Memory before, peak, after;
  double fillSeconds = 0, drainSeconds = 0;
};

// Stalls the main sink until the queue stops growing above the cap, then releases it and
// waits until the heap is back near where it was.
StallResult Stall(const std::filesystem::path& mainFile, Writer& writer, MemoryMonitor& monitor) {
  StallResult result;
  result.before = MemoryNow();
  const auto prefix = std::filesystem::absolute(mainFile).lexically_normal();
  writer.SetRawBytes(kStallRawBytes);
  sim::stall_writes(prefix, true);
  const auto start = Clock::now();
  double previous = 0;
  int steady = 0;
  // Skipping shows as a heap that holds still above the cap while the events keep coming.
  result.capReached = sim::wait_for(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const double heap = MemoryNow().heap;
        steady = heap > result.before.heap + kCapBytes && heap - previous < kMiB ? steady + 1 : 0;
        previous = heap;
        return steady >= 8 && sim::stalled_writes() > 0;
      },
      std::chrono::seconds(240));
  result.fillSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.SetRawBytes(kSteadyRawBytes);
  sim::stall_writes(prefix, false);
  const auto released = Clock::now();
  result.peak = monitor.Peak();
  result.drained =
      sim::wait_for([&] { return MemoryNow().heap < result.before.heap + 16 * kMiB; }, std::chrono::seconds(240));
  result.drainSeconds = std::chrono::duration<double>(Clock::now() - released).count();
  result.after = MemoryNow();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  Failures failures;
  // A temporary root on disk: the main capture grows to a few hundred MiB.
  sim::reset();
  sim::set_etw_session_buffer(1024, 64);
  sim::install_declared_provider(ManifestProvider());
  // The plain file sink writes into the service's working directory; a service started by
  // the control manager has System32 there, the hosted one has this process's.
  std::filesystem::create_directories(PlainFolder());
  std::filesystem::current_path(PlainFolder());
  auto service = std::make_unique<conduit::testing::HostedConduit>();
  if (!service->Start()) {
    std::cerr << "soak: the service did not start\n";
    return 1;
  }
  SetLogLevel("3");
  conduit::host::ConduitClient client("127.0.0.1", service->Port());
  std::ostringstream console;
  const bool hardware = conduit::target::load_txr(false, console).empty();
  if (!hardware) std::cout << "TXR did not load: the churn uses the two file sinks only\n";
  const GUID manifestGuid = GuidOf(kManifestGuidText);
  const GUID rawGuid = GuidOf(kRawGuidText);
  REGHANDLE manifest = 0, raw = 0;
  EventRegister(&manifestGuid, nullptr, nullptr, &manifest);
  EventRegister(&rawGuid, nullptr, nullptr, &raw);

  MemoryMonitor monitor;
  const Memory atStart = MemoryNow();
  Writer writer(manifest, raw, options.rate);
  writer.Start();
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration<double>(options.seconds);
  const auto stallFrom = start + std::chrono::duration<double>(options.seconds * 0.2);
  const auto cycle = std::chrono::duration<double>(options.cycle);

  // One session at a time: the session is started, redirected and stopped over and over,
  // its sink switched every time; the writer never pauses.
  const std::uint32_t sinks[] = {3, 1, 2};
  std::optional<StallResult> stall;
  std::uint64_t received = 0, missing = 0, skippedSpan = 0, skipNotices = 0, resumeNotices = 0;
  std::uint64_t betweenCaptures = 0;  // written while no redirect ran (between a stop and the next redirect)
  std::uint64_t previousLast[2] = {0, 0};
  bool anyCapture = false;
  double largest = 0;
  int cycles = 0;
  for (int i = 0; Clock::now() + cycle < deadline || !stall; ++i) {
    const std::uint32_t sink = sinks[i % (hardware ? 3 : 2)];
    const bool stallHere = !stall && sink == 3 && Clock::now() >= stallFrom;
    const std::string label = "cycle " + std::to_string(i) + " (sink " + std::to_string(sink) + ")";
    const auto before = FilesIn(TraceFolder());
    if (sink == 2) tessera::model().close_capture();
    if (!StartCapture(client, kSession, sink)) {
      failures.Fail(label + ": did not start");
      client.stop_session(kSession);
      continue;
    }
    std::optional<std::filesystem::path> file;
    const auto newTraceFile = [&] {
      for (const auto& f : FilesIn(TraceFolder())) {
        if (std::find(before.begin(), before.end(), f) == before.end()) file = f;
      }
      return file.has_value();
    };
    if (stallHere) {
      if (!sim::wait_for(newTraceFile)) failures.Fail(label + ": no STP file to stall");
      std::this_thread::sleep_for(std::chrono::seconds(1));
      stall = Stall(*file, writer, monitor);
    }
    std::this_thread::sleep_for(cycle);
    if (!sim::wait_for([] { return SessionDrained(kSessionWide); }) || client.stop_session(kSession).status != 0) {
      failures.Fail(label + ": did not drain or stop");
    }
    if (sink == 3) {
      if (!sim::wait_for([&] { return newTraceFile() && FileClosed(*file); })) file.reset();
    } else if (sink == 1) {
      file = PlainFolder() / (std::string(kSession) + ".bin");
      if (!sim::wait_for([&] { return FileClosed(*file); })) file.reset();
    } else {
      // The hardware capture is whole once it stops growing after the stop.
      std::uintmax_t previous = 1;
      int still = 0;
      sim::wait_for([&] {
        tessera::model().flush_capture();
        const auto path = tessera::model().capture_path();
        std::error_code error;
        const std::uintmax_t size = path ? std::filesystem::file_size(*path, error) : 0;
        still = size == previous ? still + 1 : 0;
        previous = size;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return still >= 20;
      });
      file = tessera::model().close_capture();
    }
    if (!file) {
      failures.Fail(label + ": no capture");
      continue;
    }
    largest = std::max(largest, static_cast<double>(std::filesystem::file_size(*file)));
    const Capture capture = ReadCapture(*file, sink == 1);
    const Checked checked = CheckCapture(capture, label, failures);
    received += checked.received;
    missing += checked.missing;
    skippedSpan += checked.skippedSpan;
    skipNotices += capture.skipNotices;
    resumeNotices += capture.resumeNotices;
    if (stallHere && (capture.skipNotices != 1 || capture.resumeNotices != 1)) {
      failures.Fail(label + ": not one skip and one resume notice");
    } else if (!stallHere && capture.skipNotices + capture.resumeNotices != 0) {
      failures.Fail(label + ": a notice without a stall");
    }
    for (int p = 0; p < 2; ++p) {
      const std::uint64_t from = anyCapture ? previousLast[p] + 1 : 0;
      if (checked.first[p] < from) failures.Fail(label + ": events of the capture before seen again");
      betweenCaptures += checked.first[p] - from;
      previousLast[p] = checked.last[p];
    }
    anyCapture = true;
    std::filesystem::remove(*file);
    ++cycles;
  }
  std::this_thread::sleep_until(deadline);
  writer.Stop();
  const Memory atEnd = MemoryNow();
  std::uint64_t written = 0, refused = 0, afterLast = 0;
  for (int p = 0; p < 2; ++p) {
    const auto provider = static_cast<Provider>(p);
    written += writer.Written(provider);
    refused += writer.Refused(provider).size();
    afterLast += writer.Written(provider) - (anyCapture ? previousLast[p] + 1 : 0);
  }
  if (refused != 0) failures.Fail("EventWrite refused events");
  if (missing != skippedSpan) failures.Fail("the events missing are not the skipped span");
  if (written != received + missing + betweenCaptures + afterLast) failures.Fail("the events do not add up");
  if (!stall || !stall->capReached) failures.Fail("the stalled redirect never held still above the cap");
  if (stall && !stall->drained) failures.Fail("the heap did not return to its level before the stall");

  const Memory peak = monitor.Peak();
  std::cout << "soak: " << options.seconds << " s, " << options.rate << " events/s requested ("
            << static_cast<double>(written) / writer.Seconds() << " written), TXR " << (hardware ? "loaded" : "absent")
            << "\n";
  std::cout << "captures: " << cycles << " of " << options.cycle << " s, sinks 3, 1" << (hardware ? ", 2" : "")
            << " in turn (largest " << MiB(largest) << ")\n";
  std::cout << "events: written " << written << " (manifest " << writer.Written(kManifest) << ", raw "
            << writer.Written(kRaw) << "), refused by EventWrite " << refused << ", received " << received
            << ", lost inside the captures " << missing << " = skipped span " << skippedSpan << " (skip notices "
            << skipNotices << ", resume notices " << resumeNotices << "), written while no redirect ran "
            << betweenCaptures + afterLast << "\n";
  if (stall) {
    std::cout << "stall: cap reached " << (stall->capReached ? "yes" : "no") << " after " << stall->fillSeconds
              << " s, heap back " << stall->drainSeconds << " s after the release\n";
    std::cout << "memory (heap in use / RSS): start " << MiB(atStart.heap) << " / " << MiB(atStart.rss)
              << "; before the stall " << MiB(stall->before.heap) << " / " << MiB(stall->before.rss) << "; peak "
              << MiB(stall->peak.heap) << " / " << MiB(stall->peak.rss) << "; after the release "
              << MiB(stall->after.heap) << " / " << MiB(stall->after.rss) << "; end (session stopped) "
              << MiB(atEnd.heap) << " / " << MiB(atEnd.rss) << "; run peak " << MiB(peak.heap) << " / " << MiB(peak.rss)
              << "\n";
  }

  EventUnregister(manifest);
  EventUnregister(raw);
  service.reset();
  std::ostringstream unloaded;
  conduit::target::unload_txr(unloaded);
  std::cout << (failures.count == 0 ? "soak: every check held\n" : "soak: FAILED\n");
  return failures.count == 0 ? 0 : 1;
}
