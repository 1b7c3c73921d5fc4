#include <gtest/gtest.h>

#include <thread>

#include "ntddk.h"
#include "platform/core/performance_counter.h"
#include "sim/kernel.h"
#include "sim/sim.h"

namespace {

class Irql : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
  }
};

TEST_F(Irql, RaiseAndLowerFollowTheRulesAndAResetReturnsToPassive) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old = HIGH_LEVEL;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  // Each thread has its own IRQL.
  KIRQL other_thread = HIGH_LEVEL;
  std::thread([&] { other_thread = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other_thread, PASSIVE_LEVEL);
  EXPECT_DEATH(KeRaiseIrql(APC_LEVEL, &old), "STOP: 0x00000009");
  EXPECT_DEATH(KeLowerIrql(HIGH_LEVEL), "STOP: 0x0000000A");
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  sim::reset();
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Irql, ProcessorsAreSetBySimAndStablePerThread) {
  EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 4u);
  sim::set_active_processor_count(2);
  EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 2u);
  EXPECT_EQ(KeQueryActiveProcessorCountEx(1), 0u);

  sim::set_current_processor(1);
  PROCESSOR_NUMBER number{};
  EXPECT_EQ(KeGetCurrentProcessorNumberEx(&number), 1u);
  EXPECT_EQ(number.Group, 0);
  EXPECT_EQ(number.Number, 1);

  std::thread([] {
    const ULONG first = KeGetCurrentProcessorNumberEx(nullptr);
    EXPECT_LT(first, 2u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(KeGetCurrentProcessorNumberEx(nullptr), first);
  }).join();

  sim::reset();
  EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 4u);
}

TEST_F(Irql, ThePerformanceCounterIsTheMachinesOneClock) {
  sim::set_performance_frequency(1'000'000);
  LARGE_INTEGER frequency{};
  const LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
  const platform::PerformanceCount shared = platform::performance_counter();
  const LARGE_INTEGER after = KeQueryPerformanceCounter(nullptr);
  EXPECT_EQ(frequency.QuadPart, 1'000'000);
  EXPECT_EQ(shared.frequency, 1'000'000);
  EXPECT_LE(before.QuadPart, shared.ticks);
  EXPECT_LE(shared.ticks, after.QuadPart);
  sim::reset();
  KeQueryPerformanceCounter(&frequency);
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
}

}  // namespace
