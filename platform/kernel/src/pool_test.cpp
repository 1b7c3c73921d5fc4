#include <gtest/gtest.h>

#include "ntddk.h"
#include "sim/kernel.h"
#include "sim/sim.h"

namespace {

constexpr ULONG kTag = 0x74736554;  // 'Test'
constexpr ULONG kOtherTag = 0x72687441;

class Pool : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
  }
};

TEST_F(Pool, BlocksAreZeroedAndCountedByTagUntilFreed) {
  auto* first = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
  void* second = ExAllocatePool2(POOL_FLAG_PAGED, 4096, kOtherTag);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(first[i], 0);
  auto outstanding = sim::outstanding_pool_allocations();
  ASSERT_EQ(outstanding.size(), 2u);
  EXPECT_EQ(outstanding[0].tag, kTag);
  EXPECT_EQ(outstanding[0].size, 64u);
  EXPECT_EQ(outstanding[1].tag, kOtherTag);

  ExFreePoolWithTag(first, kTag);
  ExFreePool(second);
  EXPECT_TRUE(sim::outstanding_pool_allocations().empty());

  ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);
  sim::reset();
  EXPECT_TRUE(sim::outstanding_pool_allocations().empty());
}

TEST_F(Pool, InvalidRequestsAndInjectedFaultsReturnNullOrRaiseWhenAsked) {
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 0), nullptr);
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 0, kTag), nullptr);
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_UNINITIALIZED, 16, kTag), nullptr);
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, 16, kTag), nullptr);

  sim::fail_next("ExAllocatePool2", 1, 0);
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag), nullptr);
  sim::fail_next("ExAllocatePool2", 1, 0);
  NTSTATUS raised = STATUS_SUCCESS;
  __try {
    ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_RAISE_ON_FAILURE, 16, kTag);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    raised = GetExceptionCode();
  }
  EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(sim::outstanding_pool_allocations().empty());
}

TEST_F(Pool, FreeingWithAnotherTagTwiceOrAtHighIrqlBugChecks) {
  void* block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, kOtherTag), "STOP: 0x000000C2");
  ExFreePoolWithTag(block, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, kTag), "STOP: 0x000000C4");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePool2(POOL_FLAG_PAGED, 16, kTag);
      },
      "STOP: 0x000000C4");
}

}  // namespace
