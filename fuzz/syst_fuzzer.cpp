// Feeds arbitrary bytes to the SyS-T encoder as the redirect hands it a buffer of framed
// records (write_trace_data), through the STP packet writer into memory. Whatever the buffer
// holds, the walk must neither crash nor read outside it, and the packet stream it writes
// must stay whole: stpdump's decoder reads it back without skipping a byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "log_writer.h"
#include "stp_capture.h"
#include "stp_writer.h"
#include "syst.h"

namespace {

std::vector<std::uint8_t> g_output;
void IntoMemory(const std::uint8_t* bytes, std::size_t count) { g_output.insert(g_output.end(), bytes, bytes + count); }
std::uint64_t g_clock = 0;
std::uint64_t Clock() { return g_clock += 1000; }


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (SetLogLevel("4"), true);
  (void)quiet;
  g_output.clear();
  auto writer = std::make_unique<StpWriter>();
  writer->frequency = 10'000'000;
  writer->read_clock = &Clock;
  writer->output = &IntoMemory;
  writer->Preamble();
  for (std::uint32_t type = 0; type <= 3; ++type) init_mipisyst_handle(writer.get(), type);
  // The walk rewrites fields inside ETW records: a copy, as the redirect's buffer is its own.
  std::vector<std::uint8_t> buffer(data, data + size);
  (void)write_trace_data(buffer.data(), buffer.size());
  writer->Flush();
  for (std::uint32_t type = 0; type <= 4; ++type) release_mipisyst_handles(type);

  if (!stp_testing::decode_stp(g_output).skips.empty()) std::abort();
  return 0;
}
