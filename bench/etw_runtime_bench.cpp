// Events per second through the virtual target's ETW runtime, from the provider's write to a
// real-time consumer's callback: one writer thread (the benchmark's), one session, one
// consumer thread. Each iteration writes a batch and waits until the consumer has seen it,
// so the time covers delivery, not only the writes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "etw/runtime.h"

namespace {

constexpr etw::Guid kProvider{0xC0DE0001, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
constexpr std::int64_t kBatch = 10'000;

void BM_WriteToConsumerCallback(benchmark::State& state) {
  etw::Runtime runtime;
  const auto payload_size = static_cast<std::uint32_t>(state.range(0));
  const etw::SessionResult session = runtime.start_session(u"bench session");
  const etw::RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  runtime.enable_provider(session.info.handle, kProvider, etw::EnableSettings{5, 0, 0, {}});

  std::atomic<std::int64_t> delivered{0};
  std::atomic<std::int64_t> lost_notices{0};
  const etw::OpenResult consumer = runtime.open_consumer(u"bench session");
  std::thread consumer_thread([&] {
    runtime.process(consumer.handle, [&](const etw::EventView& view) {
      if (view.provider_id == etw::kRealTimeLostEventGuid) {
        lost_notices.fetch_add(1, std::memory_order_relaxed);
      } else {
        delivered.fetch_add(1, std::memory_order_release);
      }
    });
  });

  std::uint8_t payload[256] = {};
  etw::EventDescriptor descriptor;
  descriptor.id = 1;
  descriptor.level = 4;
  descriptor.keyword = 0x1;
  std::int64_t written = 0;
  std::int64_t refused = 0;
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kBatch; ++i) {
      const etw::DataDescriptor data[] = {etw::data_of(&i, sizeof i), etw::data_of(payload, payload_size)};
      if (runtime.write(provider, descriptor, data) != etw::Status::ok) ++refused;
    }
    written += kBatch;
    while (delivered.load(std::memory_order_acquire) + refused < written) std::this_thread::yield();
  }

  runtime.stop_session(session.info.handle);
  consumer_thread.join();
  state.SetItemsProcessed(written);
  state.counters["lost"] = static_cast<double>(refused);
  state.counters["lost_notices"] = static_cast<double>(lost_notices.load());
}
BENCHMARK(BM_WriteToConsumerCallback)->Arg(16)->Arg(128)->UseRealTime()->Unit(benchmark::kMillisecond);

// The cost of a write that no session listens to.
void BM_WriteWithoutListener(benchmark::State& state) {
  etw::Runtime runtime;
  const etw::RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  std::uint64_t value = 0;
  const etw::DataDescriptor data[] = {etw::data_of(&value, sizeof value)};
  for (auto _ : state) benchmark::DoNotOptimize(runtime.write(provider, etw::EventDescriptor{}, data));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteWithoutListener);

}  // namespace

BENCHMARK_MAIN();
