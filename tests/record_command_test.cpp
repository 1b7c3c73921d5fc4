// `conduit-cli record` against Conduit hosted on the virtual target: what the engineer sees
// (exit code, messages, the trace file) and what the target is left with (no session).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conduit_client.h"
#include "demo_providers.h"
#include "etw_session_query.h"
#include "evntprov.h"
#include "record_command.h"
#include "sim/sim.h"
#include "testing/cli_run.h"
#include "hosted_target.h"
#include "testing/log_file.h"
#include "winbase.h"

namespace {

using conduit::testing::CliRun;

// The raw provider: its events reach the plain file as their text.
constexpr char kRawGuid[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";
constexpr GUID kRawProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};

class RecordCommand : public conduit::testing::HostedTarget {
 protected:

  CliRun Record(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(m_service->Port()), "record"});
    return conduit::testing::RunCli(std::move(arguments));
  }
  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
  }
  template <typename Condition>
  static bool WaitFor(Condition condition) {
    for (int i = 0; i < 1500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return condition();
  }

};

TEST_F(RecordCommand, ADurationCaptureWritesTheStpFileAndLeavesNoSession) {
  const CliRun run = Record({"--duration", "0.2", "--session", "Timed", kRawGuid});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(IsSessionRunning(u"Timed"));
  EXPECT_NE(run.out.find("recorded session 'Timed' for "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("%ProgramData%\\ETW-Traces\\ETWTRACE_DDMMhhmmss.bin"), std::string::npos) << run.out;
  // The default sink is the STP file, which starts with its preamble once the redirect runs.
  const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
  std::vector<std::filesystem::path> files;
  ASSERT_TRUE(WaitFor([&] {
    files.clear();
    for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
    return files.size() == 1 && std::filesystem::file_size(files.front()) > 0;
  }));
  EXPECT_EQ(files.front().filename().string().rfind("ETWTRACE_", 0), 0u);
  // The service's registration of the GUID is given back before the stop.
  const std::string log = Log();
  const auto disabled = log.find(std::string("INFO # Conduit::DisableProviders # Disabling provider ") + kRawGuid);
  ASSERT_NE(disabled, std::string::npos);
  EXPECT_LT(log.find("Entering  function QLXWindowsService::RedirectTrace"), disabled);
  EXPECT_LT(disabled, log.find("Entering  function QLXWindowsService::StopTraceSession"));
}

// Until Ctrl-C, names and GUIDs mixed, into the plain file: the events written while it waits
// are in the file, and the interrupt ends in a stop.
TEST_F(RecordCommand, AnInterruptDuringTheWaitStopsTheSessionAndExitsZero) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  std::atomic<bool> finished{false};
  CliRun run{};
  std::thread capture([&] {
    run = Record({"--sink", "file", "--session", "Until Stopped", "Conduit-Demo-Events:3:0x2", kRawGuid});
    finished = true;
  });
  EVENT_DESCRIPTOR descriptor{};
  descriptor.Level = 4;
  EXPECT_TRUE(WaitFor([&] { return EventEnabled(provider, &descriptor) || finished; }));
  const auto file = sim::target_root() / "Until Stopped.bin";
  std::size_t expected = 0;
  for (int i = 0; i < 50; ++i) {
    const std::string text = "--event " + std::to_string(i);
    expected += 10 + 3 + text.size() - 2;
    EVENT_DATA_DESCRIPTOR item{};
    EventDataDescCreate(&item, text.data(), static_cast<ULONG>(text.size()));
    EXPECT_EQ(EventWrite(provider, &descriptor, 1, &item), 0u);
  }
  EXPECT_TRUE(WaitFor([&] {
    return finished || (std::filesystem::exists(file) && std::filesystem::file_size(file) >= expected);
  }));
  conduit::host::request_interrupt();
  capture.join();
  EventUnregister(provider);

  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.err.find("interrupted: stopping session 'Until Stopped'"), std::string::npos) << run.err;
  EXPECT_FALSE(IsSessionRunning(u"Until Stopped"));
  EXPECT_GE(std::filesystem::file_size(file), expected);
  EXPECT_NE(run.out.find("%SystemRoot%\\System32\\Until Stopped.bin"), std::string::npos) << run.out;
  EXPECT_NE(Log().find("INFO # Conduit::EnableProviders # Enabling provider Conduit-Demo-Events with Level=3, "
                       "MatchAnyKeyword=2, MatchAllKeyWord=0..."),
            std::string::npos);
}

// The service takes a name it does not know (it enables the zero GUID and answers success),
// so the names are checked before anything starts: a running session of the same name is
// left alone.
TEST_F(RecordCommand, AnUnknownNameFailsBeforeTheStart) {
  conduit::host::ConduitClient client("127.0.0.1", m_service->Port());
  ASSERT_EQ(client.set_sync_type(1).status, 0u);
  ASSERT_EQ(client.start_session("Busy").status, 0u);
  const CliRun run = Record({"--duration", "30", "--session", "Busy", "Conduit-Demo-Evnts", kRawGuid});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("resolve provider names (function 0): not registered on the target: 'Conduit-Demo-Evnts'"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(IsSessionRunning(u"Busy"));
  EXPECT_EQ(Count(Log(), "startTraceSession for provider Busy"), 1u);
  EXPECT_EQ(client.stop_session("Busy").status, 0u);
}

TEST_F(RecordCommand, AFailedEnableStillStopsTheSession) {
  sim::fail_next("EnableTraceEx2", 1, ERROR_ACCESS_DENIED);
  const CliRun run = Record({"--duration", "30", "--session", "Refused", kRawGuid});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("enable by GUID (function 10): failed: Error:: Calling CEtwController::EnableProvider failed "
                         ", Error code : 5"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("session 'Refused' stopped"), std::string::npos) << run.err;
  EXPECT_FALSE(IsSessionRunning(u"Refused"));
  EXPECT_EQ(Log().find("Entering  function QLXWindowsService::RedirectTrace"), std::string::npos);
}

TEST_F(RecordCommand, AStopTheServiceRefusesExitsOne) {
  // Two: the redirect is let go first, and its StopTraceW goes through ControlTraceW as well.
  sim::fail_next("ControlTraceW", 2, ERROR_ACCESS_DENIED);
  const CliRun run = Record({"--duration", "0.1", "--session", "Stubborn", kRawGuid});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("stop (function 3): failed: Error::  Calling CEtwController::StopSession failed , Error "
                         "code : 5"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("session 'Stubborn' may still be running"), std::string::npos) << run.err;
  EXPECT_TRUE(IsSessionRunning(u"Stubborn"));
  conduit::host::ConduitClient client("127.0.0.1", m_service->Port());
  EXPECT_EQ(client.stop_session("Stubborn").status, 0u);
}

// The service goes away during the wait: the stop cannot be sent, on the old connection or a
// new one, and the engineer is told that the session may still run.
TEST_F(RecordCommand, AServiceLostDuringTheWaitExitsThree) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  EVENT_DESCRIPTOR descriptor{};
  descriptor.Level = 4;
  std::atomic<bool> finished{false};
  CliRun run{};
  std::thread capture([&] {
    run = Record({"--sink", "file", "--session", "Orphan", kRawGuid});
    finished = true;
  });
  EXPECT_TRUE(WaitFor([&] {
    return finished || (EventEnabled(provider, &descriptor) && std::filesystem::exists(sim::target_root() / "Orphan.bin"));
  }));
  m_service->Stop();
  conduit::host::request_interrupt();
  capture.join();
  EventUnregister(provider);
  EXPECT_EQ(run.code, 3) << run.err;
  EXPECT_NE(run.err.find("stop (function 3): no answer: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("session 'Orphan' may still be running"), std::string::npos) << run.err;
  EXPECT_TRUE(IsSessionRunning(u"Orphan"));
  // Stopped by hand, the session ends its redirect, whose sink lets go of the file; the next
  // reset must not find the redirect's threads still at work.
  EXPECT_EQ(ControlSessionByName(u"Orphan", EVENT_TRACE_CONTROL_STOP), 0u);
  EXPECT_TRUE(WaitFor([] {
    HANDLE file = CreateFileW(u"Orphan.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
  }));
}

}  // namespace
