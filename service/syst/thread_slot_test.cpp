#include "thread_slot.h"

#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "testing/log_file.h"

namespace {

class ThreadSlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
  }
  std::unique_ptr<LogFile> log_;
};

TEST_F(ThreadSlotTest, EachThreadSeesOnlyItsOwnPointer) {
  ThreadSlot slot;
  int mine = 0;
  int theirs = 0;
  ASSERT_EQ(slot.CreateThreadData(&mine), 0u);
  std::thread([&] {
    EXPECT_EQ(slot.GetThreadData(), nullptr);
    EXPECT_EQ(slot.CreateThreadData(&theirs), 0u);
    EXPECT_EQ(slot.GetThreadData(), &theirs);
    EXPECT_EQ(slot.FreeThreadData(), 0u);
  }).join();
  EXPECT_EQ(slot.GetThreadData(), &mine);
  EXPECT_EQ(slot.CreateThreadData(&theirs), 0u);  // a second store replaces the first
  EXPECT_EQ(slot.GetThreadData(), &theirs);
  EXPECT_EQ(slot.FreeThreadData(), 0u);
  EXPECT_EQ(slot.GetThreadData(), nullptr);
}

TEST_F(ThreadSlotTest, FailuresAreLoggedAndReportedAs87) {
  ThreadSlot slot;
  int value = 0;
  EXPECT_EQ(slot.CreateThreadData(nullptr), 87u);
  EXPECT_TRUE(log_->Contains("_threadIndex , data invalid, _threadIndex : "));
  sim::fail_next("LocalAlloc", 1, 8);
  EXPECT_EQ(slot.CreateThreadData(&value), 87u);
  EXPECT_TRUE(log_->Contains("LocalAlloc Failed , 8"));
  sim::fail_next("TlsSetValue", 1, 5);
  EXPECT_EQ(slot.CreateThreadData(&value), 87u);
  EXPECT_TRUE(log_->Contains("TlsSetValue error , 5"));
  EXPECT_EQ(slot.GetThreadData(), nullptr);

  sim::fail_next("TlsAlloc", 1, 8);
  ThreadSlot broken;
  EXPECT_TRUE(log_->Contains("TlsAlloc Failed , 8"));
  EXPECT_EQ(broken.CreateThreadData(&value), 87u);
  EXPECT_EQ(broken.GetThreadData(), nullptr);
  EXPECT_EQ(broken.FreeThreadData(), 87u);
}

}  // namespace
