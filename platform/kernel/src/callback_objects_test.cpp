#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ntddk.h"
#include "sim/kernel.h"
#include "sim/sim.h"

namespace {

struct Calls {
  std::atomic<int> count{0};
  std::atomic<PVOID> argument1{nullptr};
  std::atomic<PVOID> argument2{nullptr};
};

VOID Count(PVOID context, PVOID argument1, PVOID argument2) {
  auto* calls = static_cast<Calls*>(context);
  calls->argument1 = argument1;
  calls->argument2 = argument2;
  ++calls->count;
}

NTSTATUS Open(const WCHAR* name_text, BOOLEAN create, BOOLEAN allow_multiple, PCALLBACK_OBJECT* object,
              ULONG attributes = OBJ_CASE_INSENSITIVE) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, name_text);
  OBJECT_ATTRIBUTES object_attributes;
  InitializeObjectAttributes(&object_attributes, &name, attributes, nullptr, nullptr);
  return ExCreateCallback(object, &object_attributes, create, allow_multiple);
}

TEST(CallbackObjects, NamedObjectsOpenWithoutRegardToCaseAndCountTheirReferences) {
  sim::reset();
  PCALLBACK_OBJECT object = nullptr;
  EXPECT_EQ(Open(u"\\Callback\\TxrTest", FALSE, TRUE, &object), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Open(u"\\Callback\\TxrTest", TRUE, FALSE, &object), STATUS_SUCCESS);
  PCALLBACK_OBJECT again = nullptr;
  ASSERT_EQ(Open(u"\\CALLBACK\\txrtest", FALSE, TRUE, &again), STATUS_SUCCESS);
  EXPECT_EQ(again, object);

  // One callback only, as created.
  Calls first;
  Calls second;
  PVOID registration = ExRegisterCallback(object, &Count, &first);
  ASSERT_NE(registration, nullptr);
  EXPECT_EQ(ExRegisterCallback(object, &Count, &second), nullptr);
  int argument = 0;
  EXPECT_TRUE(sim::notify_callback(u"\\callback\\TXRTEST", &argument, nullptr));
  EXPECT_EQ(first.count, 1);
  EXPECT_EQ(first.argument1, &argument);
  EXPECT_EQ(sim::callback_registrations(u"\\Callback\\TxrTest"), 1u);
  ExUnregisterCallback(registration);
  EXPECT_EQ(sim::callback_registrations(u"\\Callback\\TxrTest"), 0u);

  // Not permanent: gone with the last reference.
  ObDereferenceObject(again);
  EXPECT_EQ(Open(u"\\Callback\\TxrTest", FALSE, TRUE, &again), STATUS_SUCCESS);
  ObDereferenceObject(again);
  ObDereferenceObject(object);
  EXPECT_EQ(Open(u"\\Callback\\TxrTest", FALSE, TRUE, &object), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(sim::notify_callback(u"\\Callback\\TxrTest", nullptr, nullptr));

  UNICODE_STRING empty{};
  OBJECT_ATTRIBUTES unnamed;
  InitializeObjectAttributes(&unnamed, &empty, 0, nullptr, nullptr);
  EXPECT_EQ(ExCreateCallback(&object, &unnamed, TRUE, TRUE), STATUS_UNSUCCESSFUL);
}

TEST(CallbackObjects, PermanentObjectsOutliveTheirReferencesUntilTheReset) {
  sim::reset();
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\Kept", TRUE, TRUE, &object, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT), STATUS_SUCCESS);
  ObDereferenceObject(object);
  EXPECT_EQ(Open(u"\\Callback\\Kept", FALSE, TRUE, &object), STATUS_SUCCESS);
  sim::fail_next_status("ExCreateCallback", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Open(u"\\Callback\\Kept", FALSE, TRUE, &object), STATUS_INSUFFICIENT_RESOURCES);
  sim::reset();
  EXPECT_EQ(Open(u"\\Callback\\Kept", FALSE, TRUE, &object), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(CallbackObjects, RegistrationsAndNotificationsFromManyThreadsEachReachEveryCallback) {
  sim::reset();
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\Busy", TRUE, TRUE, &object), STATUS_SUCCESS);
  Calls always;
  PVOID kept = ExRegisterCallback(object, &Count, &always);
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        Calls mine;
        PVOID registration = ExRegisterCallback(object, &Count, &mine);
        ExNotifyCallback(object, nullptr, nullptr);
        ExUnregisterCallback(registration);
        EXPECT_GE(mine.count, 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(always.count, kThreads * kRounds);
  ExUnregisterCallback(kept);
  ObDereferenceObject(object);
}

struct Blocking {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
};

VOID Block(PVOID context, PVOID, PVOID) {
  auto* blocking = static_cast<Blocking*>(context);
  blocking->entered = true;
  while (!blocking->release) std::this_thread::yield();
  blocking->finished = true;
}

TEST(CallbackObjects, UnregisteringWaitsForACallRunningOnAnotherThread) {
  sim::reset();
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Open(u"\\Callback\\Slow", TRUE, TRUE, &object), STATUS_SUCCESS);
  Blocking blocking;
  PVOID registration = ExRegisterCallback(object, &Block, &blocking);
  std::thread notifier([&] { ExNotifyCallback(object, nullptr, nullptr); });
  while (!blocking.entered) std::this_thread::yield();
  std::atomic<bool> unregistering{false};
  bool finished_before_return = false;
  std::thread unregisterer([&] {
    unregistering = true;
    ExUnregisterCallback(registration);
    finished_before_return = blocking.finished;
  });
  while (!unregistering) std::this_thread::yield();
  // Gives the unregistration time to reach its wait; the outcome does not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  blocking.release = true;
  unregisterer.join();
  notifier.join();
  EXPECT_TRUE(finished_before_return);
  ObDereferenceObject(object);
}

}  // namespace
