// Events per second through the virtual target's ETW runtime, from the provider's write to a
// real-time consumer's callback: one writer thread (the benchmark's), one session, one
// consumer thread. Each iteration writes a batch and waits until the consumer has seen it,
// so the time covers delivery, not only the writes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "etw/runtime.h"
#include "evntrace.h"
#include "sim/sim.h"
#include "winbase.h"

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

// The same path through the Windows surface the service uses: EventWrite on a registered
// provider, a session started with StartTraceW, ProcessTrace on a consumer thread with an
// EVENT_RECORD callback.
std::atomic<std::int64_t> g_surface_delivered{0};

void CountRecord(PEVENT_RECORD) { g_surface_delivered.fetch_add(1, std::memory_order_release); }

void BM_EventWriteToProcessTraceCallback(benchmark::State& state) {
  sim::reset();
  const GUID provider_guid = {0xC0DE0002, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  properties->Wnode.ClientContext = 1;
  properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
  properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  TRACEHANDLE session = 0;
  if (StartTraceW(&session, u"surface bench", properties) != ERROR_SUCCESS) {
    state.SkipWithError("StartTraceW failed");
    return;
  }
  REGHANDLE provider = 0;
  EventRegister(&provider_guid, nullptr, nullptr, &provider);
  EnableTraceEx2(session, &provider_guid, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 5, 0, 0, 0, nullptr);
  EVENT_TRACE_LOGFILEW logfile{};
  logfile.LoggerName = const_cast<LPWSTR>(u"surface bench");
  logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
  logfile.EventRecordCallback = &CountRecord;
  TRACEHANDLE consumer = OpenTraceW(&logfile);
  g_surface_delivered = 0;
  std::thread consumer_thread([&] { ProcessTrace(&consumer, 1, nullptr, nullptr); });

  const auto payload_size = static_cast<ULONG>(state.range(0));
  std::uint8_t payload[256] = {};
  EVENT_DESCRIPTOR descriptor{};
  descriptor.Id = 1;
  descriptor.Level = 4;
  descriptor.Keyword = 0x1;
  std::int64_t written = 0;
  std::int64_t refused = 0;
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kBatch; ++i) {
      EVENT_DATA_DESCRIPTOR data[2];
      EventDataDescCreate(&data[0], &i, sizeof i);
      EventDataDescCreate(&data[1], payload, payload_size);
      if (EventWrite(provider, &descriptor, 2, data) != ERROR_SUCCESS) ++refused;
    }
    written += kBatch;
    while (g_surface_delivered.load(std::memory_order_acquire) + refused < written) std::this_thread::yield();
  }
  ControlTraceW(session, nullptr, properties, EVENT_TRACE_CONTROL_STOP);
  consumer_thread.join();
  CloseTrace(consumer);
  EventUnregister(provider);
  state.SetItemsProcessed(written);
  state.counters["lost"] = static_cast<double>(refused);
}
BENCHMARK(BM_EventWriteToProcessTraceCallback)->Arg(16)->Arg(128)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
