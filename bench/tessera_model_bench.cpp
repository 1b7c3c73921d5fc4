// What a store costs the driver's caller: register stores, channel stores into the capture,
// and a whole SyS-T message as the driver writes it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/core/target.h"
#include "tessera/model.h"

namespace {

// A fresh target root, so the capture lands where the run can remove it.
class Root {
 public:
  Root() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    platform::set_target_root(path_);
    tessera::model().configure(tessera::Config{});
  }
  ~Root() {
    tessera::model().configure(tessera::Config{});  // closes the capture
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path path_;
};

constexpr tessera::Config kConfig{};
constexpr std::uint64_t kChannel = kConfig.aperture_base + 32 * tessera::kChannelWindowLength;

void RegisterStore(benchmark::State& state) {
  Root root;
  std::uint64_t value = 0;
  for (auto _ : state) tessera::model().write(kConfig.csr_base + 0x100, 4, ++value);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RegisterStore);

void ChannelDataStore(benchmark::State& state) {
  Root root;
  std::uint64_t value = 0;
  for (auto _ : state) tessera::model().write(kChannel + tessera::kChannelData, 8, ++value);
  state.SetBytesProcessed(state.iterations() * 8);
}
BENCHMARK(ChannelDataStore);

// Header, 24 payload bytes, flag: the shape of a short message.
void SystMessage(benchmark::State& state) {
  Root root;
  for (auto _ : state) {
    tessera::model().write(kChannel + tessera::kChannelDataTimestamped, 4, 0x0A000046);
    for (int i = 0; i < 3; ++i) tessera::model().write(kChannel + tessera::kChannelData, 8, 0x0807060504030201);
    tessera::model().write(kChannel + tessera::kChannelFlag, 2, 0);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SystMessage);

}  // namespace

BENCHMARK_MAIN();
