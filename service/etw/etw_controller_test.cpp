// The controller against the virtual target's ETW runtime, with the platform's refusals
// injected where the runtime would not refuse.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_base.h"

#include "etw_controller.h"
#include "evntrace.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "testing/host_test_support.h"
#include "util.h"

namespace {

constexpr GUID kProvider = {0x0A0B0C0D, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class EtwControllerTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    m_controller = CEtwController::getInstance();
    ASSERT_NE(m_controller, nullptr);
  }
  void TearDown() override {
    CEtwController::deleteInstance();
    sim::reset();
    HostTest::TearDown();
  }

  // Whether the platform has a running session of that name.
  static bool Running(LPCWSTR name) {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2048, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    return ControlTraceW(0, name, properties, EVENT_TRACE_CONTROL_QUERY) == ERROR_SUCCESS;
  }

  CEtwController* m_controller = nullptr;
};

TEST_F(EtwControllerTest, PropertiesBlockIsARealTimeSessionWithTheNameBehind) {
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 10, 0xCD);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  m_controller->InitSessionProperties(properties, static_cast<ULONG>(block.size()));
  EXPECT_EQ(properties->Wnode.BufferSize, block.size());
  EXPECT_EQ(properties->Wnode.Flags, 0x00020000u);
  EXPECT_EQ(properties->Wnode.ClientContext, 1u);
  EXPECT_EQ(properties->LogFileMode, 0x00800100u);
  EXPECT_EQ(properties->MaximumFileSize, 1u);
  EXPECT_EQ(properties->LoggerNameOffset, 120u);
  EXPECT_EQ(properties->LogFileNameOffset, 0u);
  EXPECT_EQ(properties->BufferSize, 0u);
  EXPECT_EQ(block.back(), 0);  // the name area is zeroed
}

TEST_F(EtwControllerTest, StartStopAndNameMatching) {
  EXPECT_EQ(m_controller->StopSession(TEXT("Never")), 1u);  // stop before any start
  EXPECT_EQ(m_controller->StartSession(TEXT("")), 87u);
  ASSERT_EQ(m_controller->StartSession(TEXT("Mixed Case")), 0u);
  EXPECT_TRUE(Running(TEXT("Mixed Case")));
  const TRACEHANDLE handle = m_controller->GetSessionHandle(TEXT("mixed case"));
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(m_controller->GetSessionHandle(TEXT("Other")), 0u);
  EXPECT_EQ(m_controller->StopSession(TEXT("Other")), 87u);
  EXPECT_NE(Log().find("ERROR # CEtwController::StopSession # Invalid session name: Other does not match the session "
                       "started."),
            std::string::npos);
  EXPECT_TRUE(Running(TEXT("Mixed Case")));
  EXPECT_EQ(m_controller->StopSession(TEXT("MIXED CASE")), 0u);
  EXPECT_FALSE(Running(TEXT("Mixed Case")));
  // The name and handle stay: a second stop asks the platform, which knows no such session.
  EXPECT_EQ(m_controller->GetSessionHandle(TEXT("Mixed Case")), handle);
  EXPECT_EQ(m_controller->StopSession(TEXT("Mixed Case")), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
  EXPECT_NE(Log().find("INFO # Exiting CEtwController::StopSession (Mixed Case) with status 4201. \n"),
            std::string::npos);
}

TEST_F(EtwControllerTest, NameOf1024CharactersIsRefusedAndNothingStarts) {
  const WString longest(1023, TEXT('n'));
  EXPECT_EQ(m_controller->StartSession(longest.c_str()), 0u);
  const WString tooLong(1024, TEXT('n'));
  EXPECT_EQ(m_controller->StartSession(tooLong.c_str()), 87u);
  EXPECT_NE(Log().find("ERROR # CEtwController::StartSession # StringCchCopy() failed with hr= 0x        8007007a.\n"),
            std::string::npos);
  EXPECT_FALSE(Running(tooLong.c_str()));
}

// A session of the name runs already (left from an earlier run): stopped by name, started anew.
TEST_F(EtwControllerTest, RestartOfARunningNameStopsItFirst) {
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
  m_controller->InitSessionProperties(reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data()),
                                      static_cast<ULONG>(block.size()));
  TRACEHANDLE leftover = 0;
  ASSERT_EQ(StartTraceW(&leftover, TEXT("Left"), reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data())), 0u);
  EXPECT_EQ(m_controller->StartSession(TEXT("LEFT")), 0u);
  EXPECT_TRUE(Running(TEXT("Left")));
  EXPECT_NE(m_controller->GetSessionHandle(TEXT("left")), leftover);

  // The stop refused: its status is returned and the message names the session.
  sim::fail_next("ControlTraceW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_controller->StartSession(TEXT("Left")), static_cast<ULONG>(ERROR_ACCESS_DENIED));
  EXPECT_NE(Log().find("ERROR # CEtwController::StartSession # Session (Left) already exists: Trying "
                       "ControlTrace(Stop) failed with 5."),
            std::string::npos);
  // Exactly one retry: a second 183 is the answer.
  sim::fail_next("StartTraceW", 2, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(m_controller->StartSession(TEXT("Left")), static_cast<ULONG>(ERROR_ALREADY_EXISTS));
}

TEST_F(EtwControllerTest, FailedStartRecordsTheNameWithTheOldHandle) {
  ASSERT_EQ(m_controller->StartSession(TEXT("A")), 0u);
  const TRACEHANDLE a = m_controller->GetSessionHandle(TEXT("A"));
  sim::fail_next("StartTraceW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_controller->StartSession(TEXT("B")), static_cast<ULONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(m_controller->GetSessionHandle(TEXT("B")), a);
  EXPECT_EQ(m_controller->GetSessionHandle(TEXT("A")), 0u);
  EXPECT_NE(Log().find("ERROR # CEtwController::StartSession # StartTrace() failed with 5\n"), std::string::npos);
}

TEST_F(EtwControllerTest, PropertiesThatCannotBeAllocatedStartNothing) {
  sim::fail_next("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(m_controller->StartSession(TEXT("Mem")), static_cast<ULONG>(ERROR_OUTOFMEMORY));
  EXPECT_FALSE(Running(TEXT("Mem")));
  EXPECT_NE(Log().find("Unable to allocate 128 bytes for properties structure."), std::string::npos);
  ASSERT_EQ(m_controller->StartSession(TEXT("Mem")), 0u);
  sim::fail_next("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(m_controller->StopSession(TEXT("Mem")), static_cast<ULONG>(ERROR_OUTOFMEMORY));
  EXPECT_TRUE(Running(TEXT("Mem")));
}

TEST_F(EtwControllerTest, EnableGoesToTheControllersSession) {
  // Before any start the handle is 0 and the platform refuses it.
  EXPECT_EQ(m_controller->EnableProvider(kProvider, 4, 0, 0, nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(m_controller->StartSession(TEXT("E")), 0u);
  static std::vector<ULONG> s_seen;
  s_seen.clear();
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(
                &kProvider,
                [](LPCGUID, ULONG enabled, UCHAR level, ULONGLONG any, ULONGLONG all, PEVENT_FILTER_DESCRIPTOR, PVOID) {
                  s_seen.insert(s_seen.end(), {enabled, level, static_cast<ULONG>(any), static_cast<ULONG>(all)});
                },
                nullptr, &provider),
            0u);
  EXPECT_EQ(m_controller->EnableProvider(kProvider, 5, 0xF0, 0x10, nullptr), 0u);
  EXPECT_EQ(m_controller->DisableProvider(kProvider), 0u);
  EXPECT_EQ(s_seen, (std::vector<ULONG>{1, 5, 0xF0, 0x10, 0, 0, 0, 0}));
  EventUnregister(provider);
}

TEST_F(EtwControllerTest, RedirectWithoutSinkIsAnInvalidHandle) {
  EXPECT_EQ(m_controller->RedirectTrace(TEXT("S"), nullptr), static_cast<ULONG>(ERROR_INVALID_HANDLE));
}


// Counts what reaches it; the redirect's share of it shows in use_count.
class CountingSink : public DeviceBase {
 public:
  DWORD Initialize(LPCWSTR) override { return 0; }
  DWORD Write(LPVOID, DWORD length, LPDWORD written, LPOVERLAPPED) override {
    bytes += length;
    *written = length;
    return 0;
  }
  std::atomic<unsigned long long> bytes{0};
};

// Waits until only the test holds the sink: the redirect's adapter is gone.
bool AdapterReleased(const std::shared_ptr<CountingSink>& sink) {
  return sim::wait_for([&] { return sink.use_count() == 1; });
}

// Events of the provider whose user data travels raw, so every one gives a record.
constexpr GUID kRawProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};

// Starts `name`, enables the raw provider in it and redirects it into `sink`.
void StartRawRedirect(CEtwController& controller, LPCWSTR name, const std::shared_ptr<DeviceBase>& sink) {
  ASSERT_EQ(controller.StartSession(name), 0u);
  ASSERT_EQ(controller.EnableProvider(kRawProvider, 5, 0, 0, nullptr), 0u);
  ASSERT_EQ(controller.RedirectTrace(name, sink), 0u);
}

void WriteStrings(REGHANDLE provider, int count) {
  EVENT_DESCRIPTOR descriptor{};
  descriptor.Level = 4;
  char data[] = "an event of the redirect";
  EVENT_DATA_DESCRIPTOR item{};
  EventDataDescCreate(&item, data, sizeof(data));
  for (int i = 0; i < count; ++i) EventWrite(provider, &descriptor, 1, &item);
}

TEST_F(EtwControllerTest, RedirectOfASessionThatDoesNotExistFailsAndLeavesNoRedirect) {
  auto sink = std::make_shared<CountingSink>();
  EXPECT_EQ(m_controller->RedirectTrace(TEXT("Nowhere"), sink), 1359u);
  EXPECT_NE(Log().find("ERROR # CEtwController::RedirectTrace # Invalid session name: Nowhere is not the session "
                       "started."),
            std::string::npos);
  EXPECT_EQ(sink.use_count(), 1);
  // The started session's name, but the session was ended behind the controller's back.
  ASSERT_EQ(m_controller->StartSession(TEXT("Gone")), 0u);
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  ASSERT_EQ(ControlTraceW(0, TEXT("Gone"), properties, EVENT_TRACE_CONTROL_STOP), 0u);
  EXPECT_EQ(m_controller->RedirectTrace(TEXT("Gone"), sink), 1359u);
  EXPECT_NE(Log().find("ERROR # CEtwController::RedirectTrace # CEtwAdapter::ProcessTrace() failed with 1359!!!"),
            std::string::npos);
  EXPECT_EQ(sink.use_count(), 1);
}

TEST_F(EtwControllerTest, RedirectOfAnotherRunningSessionIsRefusedAndTheCurrentRedirectGoesOn) {
  // A session of the machine that this controller did not start.
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  m_controller->InitSessionProperties(properties, static_cast<ULONG>(block.size()));
  TRACEHANDLE other = 0;
  ASSERT_EQ(StartTraceW(&other, TEXT("Other"), properties), 0u);
  ASSERT_EQ(m_controller->StartSession(TEXT("Mine")), 0u);
  auto sink = std::make_shared<CountingSink>();
  ASSERT_EQ(m_controller->RedirectTrace(TEXT("mine"), sink), 0u);  // case ignored
  ASSERT_EQ(sink.use_count(), 2);
  auto stray = std::make_shared<CountingSink>();
  EXPECT_EQ(m_controller->RedirectTrace(TEXT("Other"), stray), 1359u);
  EXPECT_EQ(stray.use_count(), 1);
  EXPECT_EQ(sink.use_count(), 2) << "the refused redirect dropped the current one";
  ASSERT_EQ(m_controller->StopSession(TEXT("Mine")), 0u);
  EXPECT_TRUE(AdapterReleased(sink));
  m_controller->InitSessionProperties(properties, static_cast<ULONG>(block.size()));
  EXPECT_EQ(ControlTraceW(0, TEXT("Other"), properties, EVENT_TRACE_CONTROL_STOP), 0u);
}

// The adapter is shared between the controller and its consumer thread: whichever lets go
// last destroys it, and neither touches it afterwards.
TEST_F(EtwControllerTest, RedirectHandOverIsSafeWhicheverSideEndsFirst) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  auto sink = std::make_shared<CountingSink>();

  // The session ends under the redirect while the controller still holds it; the next start
  // then drops a redirect whose threads are gone.
  ASSERT_NO_FATAL_FAILURE(StartRawRedirect(*m_controller, TEXT("A"), sink));
  WriteStrings(provider, 50);
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
  ASSERT_EQ(ControlTraceW(0, TEXT("A"), properties, EVENT_TRACE_CONTROL_STOP), 0u);
  for (int i = 0; i < 3000 && sink->bytes.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(sink->bytes.load(), 0u);
  ASSERT_EQ(m_controller->StartSession(TEXT("B")), 0u);
  EXPECT_TRUE(AdapterReleased(sink));

  // The controller drops the redirect (a start of another session) while the old session
  // goes on: the drop closes the consumer, so its threads end at once, not with the session,
  // and the start returns when the adapter and its share of the sink are gone.
  ASSERT_EQ(m_controller->EnableProvider(kRawProvider, 5, 0, 0, nullptr), 0u);
  ASSERT_EQ(m_controller->RedirectTrace(TEXT("B"), sink), 0u);
  const unsigned long long before = sink->bytes.load();
  for (int i = 0; i < 3000 && sink->bytes.load() == before; ++i) {
    WriteStrings(provider, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(sink->bytes.load(), before);
  ASSERT_EQ(m_controller->StartSession(TEXT("C")), 0u);
  EXPECT_TRUE(Running(TEXT("B")));
  EXPECT_EQ(sink.use_count(), 1) << "the dropped redirect still holds the sink";
  ASSERT_EQ(ControlTraceW(0, TEXT("B"), properties, EVENT_TRACE_CONTROL_STOP), 0u);

  // A stop ends the redirect with the session, before it answers.
  ASSERT_EQ(m_controller->RedirectTrace(TEXT("C"), sink), 0u);
  ASSERT_EQ(m_controller->StopSession(TEXT("C")), 0u);
  EXPECT_EQ(sink.use_count(), 1);
  EventUnregister(provider);
}

// Holds every write until released, and counts the frames written.
class HeldSink : public DeviceBase {
 public:
  DWORD Initialize(LPCWSTR) override { return 0; }
  DWORD Write(LPVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED) override {
    std::unique_lock lock(m_mutex);
    m_held = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_released; });
    // Frames: 0xBF 0xAE, a 64-bit length, the record.
    const auto* bytes = static_cast<const BYTE*>(buffer);
    for (DWORD at = 0; at + 10 <= length; ++m_frames) {
      unsigned long long size = 0;
      for (int i = 7; i >= 0; --i) size = size << 8 | bytes[at + 2 + i];
      at += static_cast<DWORD>(10 + size);
    }
    *written = length;
    return 0;
  }
  void WaitUntilHeld() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_held; });
  }
  void Release() {
    std::lock_guard lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }
  int Frames() {
    std::lock_guard lock(m_mutex);
    return m_frames;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_held = false;
  bool m_released = false;
  int m_frames = 0;
};

// A redirect whose sink does not finish its write within the drop's wait is logged and kept:
// a new redirect is refused while it writes, and accepted once it has written its queue.
TEST_F(EtwControllerTest, ARedirectThatDoesNotEndInTimeKeepsTheNextOneWaiting) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  auto held = std::make_shared<HeldSink>();
  ASSERT_NO_FATAL_FAILURE(StartRawRedirect(*m_controller, TEXT("Slow"), held));
  WriteStrings(provider, 1);
  held->WaitUntilHeld();
  m_controller->SetRedirectEndWaitForTesting(20);
  ASSERT_EQ(m_controller->StopSession(TEXT("Slow")), 0u);
  EXPECT_NE(Log().find("ERROR # CEtwController::DropRedirect # The redirect of Slow did not end within 20 ms: its "
                       "sink stays in use until it does."),
            std::string::npos);
  EXPECT_GT(held.use_count(), 1);

  ASSERT_EQ(m_controller->StartSession(TEXT("Slow")), 0u);
  auto next = std::make_shared<CountingSink>();
  EXPECT_EQ(m_controller->RedirectTrace(TEXT("Slow"), next), 170u);
  EXPECT_NE(Log().find("ERROR # CEtwController::RedirectTrace # The previous redirect of Slow has not ended: its "
                       "sink is still in use."),
            std::string::npos);
  EXPECT_EQ(next.use_count(), 1);

  held->Release();
  m_controller->SetRedirectEndWaitForTesting(CEtwController::kRedirectEndWait);
  EXPECT_EQ(m_controller->RedirectTrace(TEXT("Slow"), next), 0u);
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_GE(held->Frames(), 1);
  EXPECT_EQ(m_controller->StopSession(TEXT("Slow")), 0u);
  EventUnregister(provider);
}

// A close of the processing handle that fails leaves the platform's loop running until the
// session stops: the stop does not wait for the loop in vain, and once it has stopped the
// session the redirect has ended, its sink written and released.
TEST_F(EtwControllerTest, AFailedCloseOfTheConsumerEndsTheRedirectWithTheSessionStop) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  auto sink = std::make_shared<CountingSink>();
  ASSERT_NO_FATAL_FAILURE(StartRawRedirect(*m_controller, TEXT("Closing"), sink));
  WriteStrings(provider, 3);
  ASSERT_TRUE(sim::wait_for([&] { return sink->bytes.load() > 0; }));
  m_controller->SetRedirectEndWaitForTesting(2000);
  sim::fail_next("CloseTrace", 1, ERROR_INVALID_HANDLE);
  ASSERT_EQ(m_controller->StopSession(TEXT("Closing")), 0u);
  EXPECT_NE(Log().find("ERROR # CEtwAdapter::CloseConsumer # CloseTrace() failed with 6."), std::string::npos);
  EXPECT_EQ(Log().find("did not end within"), std::string::npos);
  EXPECT_EQ(sink.use_count(), 1);
  EventUnregister(provider);
}

// The platform stops sessions by name: a stop leaves alone a session that another owner
// started under the name, after this service's session of that name ended or after this
// service's start of the name failed.
TEST_F(EtwControllerTest, AStopLeavesTheSessionOfAnotherOwnerUnderTheName) {
  std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  const auto startForeign = [&](LPCWSTR name) {
    m_controller->InitSessionProperties(properties, static_cast<ULONG>(block.size()));
    TRACEHANDLE foreign = 0;
    ASSERT_EQ(StartTraceW(&foreign, name, properties), 0u);
  };
  ASSERT_EQ(m_controller->StartSession(TEXT("Shared")), 0u);
  m_controller->InitSessionProperties(properties, static_cast<ULONG>(block.size()));
  ASSERT_EQ(ControlTraceW(0, TEXT("Shared"), properties, EVENT_TRACE_CONTROL_STOP), 0u);
  startForeign(TEXT("Shared"));
  EXPECT_EQ(m_controller->StopSession(TEXT("Shared")), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
  EXPECT_TRUE(Running(TEXT("Shared")));
  EXPECT_NE(Log().find("ERROR # CEtwController::StopSession # The session Shared running now was not started by "
                       "this service: it is left running."),
            std::string::npos);

  // The start of a name that another owner holds fails when that session cannot be stopped:
  // the controller records the name with its earlier session's handle.
  ASSERT_EQ(m_controller->StartSession(TEXT("Mine")), 0u);
  sim::fail_next("ControlTraceW", 1, ERROR_ACCESS_DENIED);
  ASSERT_EQ(m_controller->StartSession(TEXT("Shared")), static_cast<ULONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(m_controller->StopSession(TEXT("Shared")), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
  EXPECT_TRUE(Running(TEXT("Shared")));
  EXPECT_TRUE(Running(TEXT("Mine")));
}

TEST_F(EtwControllerTest, SessionsStartAndStopWhileEventsFlow) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop.load()) WriteStrings(provider, 10);
  });
  auto sink = std::make_shared<CountingSink>();
  for (int round = 0; round < 30; ++round) {
    const WString name = round % 2 == 0 ? TEXT("Stress Even") : TEXT("Stress Odd");
    ASSERT_NO_FATAL_FAILURE(StartRawRedirect(*m_controller, name.c_str(), sink));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    if (round % 3 == 0) {
      ASSERT_EQ(m_controller->RedirectTrace(name.c_str(), sink), 0u);
    }
    if (round % 4 != 1) {
      ASSERT_EQ(m_controller->StopSession(name.c_str()), 0u);
    }
  }
  // Events do reach the sink through all this: one more session, held until they have (the
  // short rounds above may end before a slow build delivers anything).
  ASSERT_NO_FATAL_FAILURE(StartRawRedirect(*m_controller, TEXT("Stress Last"), sink));
  for (int waited = 0; sink->bytes.load() == 0 && waited < 1000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(sink->bytes.load(), 0u);
  ASSERT_EQ(m_controller->StopSession(TEXT("Stress Last")), 0u);
  CEtwController::deleteInstance();
  m_controller = nullptr;
  stop.store(true);
  writer.join();
  // The sessions left running end, and with them their redirects.
  for (LPCWSTR name : {TEXT("Stress Even"), TEXT("Stress Odd")}) {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 64, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    ControlTraceW(0, name, properties, EVENT_TRACE_CONTROL_STOP);
  }
  EXPECT_TRUE(AdapterReleased(sink));
}

}  // namespace
