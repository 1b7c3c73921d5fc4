// Events per second through the event decoder: a manifest event with four properties (a
// string, a hexadecimal 32-bit value, a 64-bit value and a boolean) and a message template,
// decoded to text and framed as the consumer frames it (magic and record length in front),
// with the platform's property formatter and with the decoder's own.
#include <benchmark/benchmark.h>

#include <string>

#include "log_writer.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "tdh_parser.h"
#include "testing/event_record_builder.h"
#include "txr_public.h"

namespace {

using decode_testing::EventRecordBuilder;
namespace in = etw::intype;
namespace out = etw::outtype;

etw::ProviderSchema BenchProvider() {
  return decode_testing::OneEventProvider(
      "Conduit-Bench", "{0B5E7A3C-9D01-4E55-9C31-6A1F0C772D1B}", etw::DecodingSource::XmlFile,
      {decode_testing::MakeField("Device", in::UnicodeString), decode_testing::MakeField("Status", in::UInt32, out::HexInt32),
       decode_testing::MakeField("Bytes", in::UInt64), decode_testing::MakeField("Done", in::Boolean)},
      "Device %1 finished with status %2 after %3 bytes (done: %4)");
}

void DecodeToFramedRecord(benchmark::State& state) {
  sim::reset();
  SetLogFilePath((sim::target_root() / "Conduit_logs.txt").string());
  SetLogLevel("3");
  if (state.range(0) == 1) sim::remove_tdh_export("TdhFormatProperty");
  const etw::ProviderSchema provider = BenchProvider();
  sim::install_declared_provider(provider);
  EventRecordBuilder builder(provider);
  builder.Wide(u"disk0").Value<std::uint32_t>(0xC0000001u).Value<std::uint64_t>(123456789).Value<std::uint32_t>(1);
  TdhParserImpl parser;
  std::string framed;
  for (auto _ : state) {
    const std::string body = parser.GetETWData(builder.Record());
    framed.assign(TRACE_RECORD_FRAME_SIZE, '\0');
    framed[0] = static_cast<char>(TRACE_RECORD_MAGIC & 0xFF);
    framed[1] = static_cast<char>(TRACE_RECORD_MAGIC >> 8);
    const std::uint64_t length = body.size();
    for (int i = 0; i < 8; ++i) framed[2 + i] = static_cast<char>(length >> (8 * i));
    framed += body;
    benchmark::DoNotOptimize(framed.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) == 1 ? "own formatter" : "TdhFormatProperty");
}
BENCHMARK(DecodeToFramedRecord)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
