// Payload throughput of the SyS-T/STP path, each beside memcpy of the same bytes in the
// same run:
// - write_trace_data through the STP writer into memory;
// - the same into the STP file sink (a file in the page cache);
// - stpdump's decoder (packet parser, message reassembly, ETW decoding) on the result;
// - the whole stpdump command with --stats on a 64 MiB capture file.
// The buffer is what the redirect hands a sink: 8 MiB of framed ETW records whose text is
// 400 bytes long (499-byte payloads).
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "device_mipi_stp2file.h"
#include "log_writer.h"
#include "shm_root.h"
#include "sim/sim.h"
#include "stp_parser.h"
#include "stp_writer.h"
#include "stpdump_app.h"
#include "stream_decoder.h"
#include "syst.h"
#include "testing/trace_record_builder.h"

namespace {

using syst_testing::Bytes;

constexpr std::size_t kBufferSize = 8 << 20;
constexpr std::size_t kTextBytes = 400;  // 60 shows the cost per message rather than per byte

struct Workload {
  Bytes buffer;
  std::size_t payload_bytes = 0;
};

const Workload& Records() {
  static const Workload workload = [] {
    Workload w;
    const std::string text(kTextBytes, 'e');
    const Bytes record = syst_testing::FrameRecord(0, syst_testing::EtwPayload({}, text));
    while (w.buffer.size() + record.size() <= kBufferSize) {
      syst_testing::Append(w.buffer, record);
      w.payload_bytes += record.size() - TRACE_RECORD_HEADER_SIZE;
    }
    return w;
  }();
  return workload;
}

// The writer's output into memory: a reused buffer, bytes copied as a file would get them.
Bytes g_memory;
std::size_t g_memoryUsed = 0;
void IntoMemory(const std::uint8_t* bytes, std::size_t count) {
  if (g_memoryUsed + count > g_memory.size()) g_memoryUsed = 0;
  std::memcpy(g_memory.data() + g_memoryUsed, bytes, count);
  g_memoryUsed += count;
}
std::uint64_t Clock() { return 0; }

void PrepareMachine() {
  // ProgramData, where the sink writes, in tmpfs when there is one.
  static const bench_support::ShmRoot root("conduit-stp-bench");
  static const bool prepared = [] {
    if (root.path.empty()) {
      sim::reset();
    } else {
      sim::reset(root.path);
    }
    SetLogFilePath((sim::target_root() / "Conduit_logs.txt").string());
    SetLogLevel("3");
    return true;
  }();
  (void)prepared;
}

void BM_Memcpy(benchmark::State& state) {
  const Workload& w = Records();
  Bytes target(w.buffer.size());
  for (auto _ : state) {
    std::memcpy(target.data(), w.buffer.data(), w.buffer.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.payload_bytes));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_WriteTraceDataIntoMemory(benchmark::State& state) {
  PrepareMachine();
  Bytes buffer = Records().buffer;
  g_memory.assign(16 << 20, 0);
  auto writer = std::make_unique<StpWriter>();
  writer->frequency = 10'000'000;
  writer->read_clock = &Clock;
  writer->output = &IntoMemory;
  writer->Preamble();
  for (std::uint32_t type = 0; type <= 3; ++type) init_mipisyst_handle(writer.get(), type);
  for (auto _ : state) {
    benchmark::DoNotOptimize(write_trace_data(buffer.data(), buffer.size()));
    writer->Drain();
  }
  for (std::uint32_t type = 0; type <= 4; ++type) release_mipisyst_handles(type);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Records().payload_bytes));
}
BENCHMARK(BM_WriteTraceDataIntoMemory)->Unit(benchmark::kMillisecond);

void BM_StpFileSink(benchmark::State& state) {
  PrepareMachine();
  Bytes buffer = Records().buffer;
  std::filesystem::path path;
  {
    DeviceMipiSTP2File sink;
    sink.Initialize(u"bench");
    for (auto _ : state) {
      DWORD written = 0;
      sink.Write(buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr);
      if (written != buffer.size()) state.SkipWithError("the walk did not consume the buffer");
    }
    std::string narrow;
    for (WCHAR c : sink.FilePath()) narrow.push_back(c == u'\\' ? '/' : static_cast<char>(c));
    path = narrow;
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Records().payload_bytes));
}
BENCHMARK(BM_StpFileSink)->Unit(benchmark::kMillisecond);

// The STP bytes of one buffer, made once.
const Bytes& StpStream() {
  static const Bytes stream = [] {
    PrepareMachine();
    Bytes buffer = Records().buffer;
    g_memory.assign(16 << 20, 0);
    g_memoryUsed = 0;
    auto writer = std::make_unique<StpWriter>();
    writer->frequency = 10'000'000;
    writer->read_clock = &Clock;
    writer->output = &IntoMemory;
    writer->Preamble();
    for (std::uint32_t type = 0; type <= 3; ++type) init_mipisyst_handle(writer.get(), type);
    write_trace_data(buffer.data(), buffer.size());
    writer->Flush();
    for (std::uint32_t type = 0; type <= 4; ++type) release_mipisyst_handles(type);
    return Bytes(g_memory.begin(), g_memory.begin() + static_cast<std::ptrdiff_t>(g_memoryUsed));
  }();
  return stream;
}

struct CountingSink : stpdump::ItemSink {
  std::uint64_t messages = 0;
  void on_message(const stpdump::Message&) override { ++messages; }
  void on_loss(const stpdump::Loss&) override {}
  void on_skip(const stpdump::Skip&) override {}
};

void BM_MemcpyStp(benchmark::State& state) {
  const Bytes& stream = StpStream();
  Bytes target(stream.size());
  for (auto _ : state) {
    std::memcpy(target.data(), stream.data(), stream.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_MemcpyStp)->Unit(benchmark::kMillisecond);

void BM_StpDecode(benchmark::State& state) {
  const Bytes& stream = StpStream();
  for (auto _ : state) {
    CountingSink sink;
    stpdump::StreamDecoder decoder(sink);
    stpdump::StpParser parser(decoder);
    for (std::size_t at = 0; at < stream.size(); at += 1 << 20) {
      parser.feed(stream.data() + at, std::min<std::size_t>(1 << 20, stream.size() - at));
    }
    parser.finish();
    decoder.finish();
    benchmark::DoNotOptimize(sink.messages);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_StpDecode)->Unit(benchmark::kMillisecond);

// The whole stpdump command on a 64 MiB capture file (eight of the streams above, one after
// another, each with its own ASYNC) with --stats: file reading, packet parser, message
// reassembly, ETW decoding and counting, as a user runs it.
void BM_StpdumpStats(benchmark::State& state) {
  const Bytes& stream = StpStream();
  static const bench_support::ShmRoot folder("conduit-stpdump-bench");
  const std::filesystem::path file =
      (folder.path.empty() ? std::filesystem::temp_directory_path() : folder.path) / "capture.stp";
  std::uint64_t size = 0;
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    while (size + stream.size() <= (64u << 20)) {
      out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
      size += stream.size();
    }
  }
  const std::string path = file.string();
  const char* argv[] = {"stpdump", path.c_str(), "--stats"};
  for (auto _ : state) {
    std::ostringstream out;
    std::ostringstream err;
    if (stpdump::run_stpdump(3, argv, out, err) != 0) state.SkipWithError("stpdump failed");
    benchmark::DoNotOptimize(out.str().size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  if (folder.path.empty()) std::filesystem::remove(file);
}
BENCHMARK(BM_StpdumpStats)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
