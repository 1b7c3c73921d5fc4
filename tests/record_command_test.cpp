// `conduit-cli record` against Conduit hosted on the virtual target: what the engineer sees
// (exit code, messages, the trace file) and what the target is left with (no session).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_app.h"
#include "conduit_client.h"
#include "demo_providers.h"
#include "etw_session_query.h"
#include "evntprov.h"
#include "record_command.h"
#include "sim/sim.h"
#include "sim/wait.h"
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

  CliRun Record(std::vector<std::string> arguments, bool json = false) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(m_service->Port()), "record"});
    if (json) arguments.insert(arguments.begin(), "--json");
    return conduit::testing::run_cli_in_process(std::move(arguments));
  }
  // A plain-file record of the raw provider running on a thread of its own, from the moment
  // its session is enabled and its file exists (or it ended) until Join().
  class BackgroundRecord {
   public:
    BackgroundRecord(RecordCommand& test, const std::string& session) {
      EXPECT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &m_provider), 0u);
      m_descriptor.Level = 4;
      m_thread = std::thread([this, &test, session] {
        m_run = test.Record({"--sink", "file", "--session", session, kRawGuid});
        m_finished = true;
      });
      const auto file = sim::target_root() / (session + ".bin");
      EXPECT_TRUE(sim::wait_for(
          [&] { return m_finished || (EventEnabled(m_provider, &m_descriptor) && std::filesystem::exists(file)); }));
    }
    bool Finished() const { return m_finished.load(); }
    const CliRun& Join() {
      m_thread.join();
      EventUnregister(m_provider);
      return m_run;
    }

   private:
    REGHANDLE m_provider = 0;
    EVENT_DESCRIPTOR m_descriptor{};
    std::atomic<bool> m_finished{false};
    CliRun m_run{};
    std::thread m_thread;
  };

  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
  }

};

TEST_F(RecordCommand, ADurationCaptureWritesTheStpFileAndLeavesNoSession) {
  const CliRun run = Record({"--duration", "0.2", "--session", "Timed", kRawGuid});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(IsSessionRunning(u"Timed"));
  EXPECT_NE(run.out.find("recorded session 'Timed' for "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("%ProgramData%\\ETW-Traces\\ETWTRACE_DDMMhhmmss.bin"), std::string::npos) << run.out;
  // The host's guess misses the number the service adds to a name that is taken: it says so.
  EXPECT_NE(run.out.find("guesses ETWTRACE_"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("adds _1, _2, ... before .bin when that name is taken"), std::string::npos) << run.out;
  // The default sink is the STP file, which starts with its preamble once the redirect runs.
  const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
  std::vector<std::filesystem::path> files;
  ASSERT_TRUE(sim::wait_for([&] {
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

  // In JSON the trace is a structure, the guess labelled as one.
  const CliRun json = Record({"--duration", "0.1", "--session", "Timed", kRawGuid}, true);
  ASSERT_EQ(json.code, 0) << json.err;
  const auto trace = nlohmann::json::parse(json.out).at("trace");
  EXPECT_EQ(trace.at("sink"), "stp");
  EXPECT_EQ(trace.at("folder"), "%ProgramData%\\ETW-Traces");
  EXPECT_EQ(trace.at("file_name_pattern"), "ETWTRACE_DDMMhhmmss.bin");
  EXPECT_EQ(trace.at("file_name_guess").get<std::string>().rfind("ETWTRACE_", 0), 0u);
  EXPECT_NE(trace.at("guess_note").get<std::string>().find("_1"), std::string::npos);
}

// Without --session every run has a name of its own, so the plain file sink's SESSION.bin of
// an earlier run is never overwritten.
TEST_F(RecordCommand, WithoutASessionNameEachRunRecordsIntoAFileOfItsOwn) {
  const CliRun first = Record({"--sink", "file", "--duration", "0.1", kRawGuid});
  ASSERT_EQ(first.code, 0) << first.err;
  const CliRun second = Record({"--sink", "file", "--duration", "0.1", kRawGuid}, true);
  ASSERT_EQ(second.code, 0) << second.err;
  const auto answer = nlohmann::json::parse(second.out);
  const std::string session = answer.at("session");
  EXPECT_EQ(session.rfind("conduit-record-", 0), 0u) << session;
  EXPECT_EQ(session.find(':'), std::string::npos) << session;
  EXPECT_EQ(answer.at("trace").at("file_name"), session + ".bin");
  EXPECT_EQ(first.out.find(session), std::string::npos) << first.out;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(sim::target_root())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("conduit-record-", 0) == 0 && entry.path().extension() == ".bin") files.push_back(name);
  }
  EXPECT_EQ(files.size(), 2u);
  EXPECT_NE(std::find(files.begin(), files.end(), session + ".bin"), files.end());
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
  EXPECT_TRUE(sim::wait_for([&] { return EventEnabled(provider, &descriptor) || finished; }));
  const auto file = sim::target_root() / "Until Stopped.bin";
  std::size_t expected = 0;
  for (int i = 0; i < 50; ++i) {
    const std::string text = "--event " + std::to_string(i);
    expected += 10 + 3 + text.size() - 2;
    EVENT_DATA_DESCRIPTOR item{};
    EventDataDescCreate(&item, text.data(), static_cast<ULONG>(text.size()));
    EXPECT_EQ(EventWrite(provider, &descriptor, 1, &item), 0u);
  }
  EXPECT_TRUE(sim::wait_for([&] {
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

  // A WPP provider is not listed by name: the refusal says how such providers are enabled,
  // and `enable` refuses the name as `record` does.
  const CliRun wpp = Record({"--duration", "30", "--session", "Busy", "Conduit-Demo-Wpp"});
  EXPECT_EQ(wpp.code, 1);
  EXPECT_NE(wpp.err.find("not registered on the target: 'Conduit-Demo-Wpp'"), std::string::npos) << wpp.err;
  EXPECT_NE(wpp.err.find("WPP, TraceLogging and raw providers on Windows, are enabled by GUID: give the {GUID}"),
            std::string::npos)
      << wpp.err;
  const CliRun enable =
      conduit::testing::run_cli_in_process({"--port", std::to_string(m_service->Port()), "enable", "Busy", "Conduit-Demo-Wpp"});
  EXPECT_EQ(enable.code, 1);
  EXPECT_NE(enable.err.find("not registered on the target: 'Conduit-Demo-Wpp'"), std::string::npos) << enable.err;
  EXPECT_EQ(Log().find("Enabling provider Conduit-Demo-Wpp"), std::string::npos);
  EXPECT_EQ(client.stop_session("Busy").status, 0u);
}

// The service's text for the hardware sink without TXR says only that the device is not
// managed by the OS; `record` and `start` say which sinks work instead.
TEST_F(RecordCommand, TheHardwareSinkWithoutTxrSaysWhichSinksWork) {
  const CliRun run = Record({"--sink", "hw", "--duration", "30", "--session", "Wired", kRawGuid});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("TXR device is not configured to be managed by OS"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("the target has no TXR device, which the hardware sink (2) writes through: use --sink stp "
                         "(MIPI STP file) or --sink file (plain file)"),
            std::string::npos)
      << run.err;
  const std::string port = std::to_string(m_service->Port());
  ASSERT_EQ(conduit::testing::run_cli_in_process({"--port", port, "sink", "2"}).code, 0);
  const CliRun start = conduit::testing::run_cli_in_process({"--port", port, "--json", "start", "Wired"});
  EXPECT_EQ(start.code, 1);
  EXPECT_NE(start.err.find("choose another sink first (conduit-cli sink 3"), std::string::npos) << start.err;
  EXPECT_NE(nlohmann::json::parse(start.out).value("hint", std::string()).find("no TXR device"), std::string::npos)
      << start.out;
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

// The service resets a peer it does not admit without a word: the engineer is told of the
// admission rule, not of a bare reset.
TEST_F(RecordCommand, AHostTheServiceDoesNotAdmitIsToldTheAdmissionRule) {
  const CliRun run = conduit::testing::run_cli_in_process(
      {"--port", std::to_string(m_service->Port()), "--source", "127.0.0.2", "record", "--duration", "1", kRawGuid});
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.err.find("Conduit answers only peers at 127.0.0.1 and 169.x.x.x"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("or what listens there is not Conduit"), std::string::npos) << run.err;
  EXPECT_TRUE(
      sim::wait_for([] { return Log().find("Client Connection is denied from IP : 127.0.0.2") != std::string::npos; }));
}

// Another client's start of another name replaces the session (the service runs one at a
// time) and ends its capture: the stop finds no session of that name, and says so.
TEST_F(RecordCommand, ASessionReplacedByAnotherClientsStartExitsFourAndSaysSo) {
  BackgroundRecord capture(*this, "Mine");
  conduit::host::ConduitClient other("127.0.0.1", m_service->Port());
  EXPECT_EQ(other.start_session("Theirs").status, 0u);
  conduit::host::request_interrupt();
  const CliRun& run = capture.Join();

  EXPECT_EQ(run.code, conduit::host::kExitSessionReplaced) << run.err;
  EXPECT_NE(run.err.find("session 'Mine' was replaced by another client's session: the stop was answered "
                         "\"Error:: Session not started , Error code : 87\""),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("its capture ended early, at some time in the "), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("may still be running"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("recorded session 'Mine' into the plain file sink until another client's session replaced "
                         "it, within "),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(IsSessionRunning(u"Theirs"));
  EXPECT_EQ(other.stop_session("Theirs").status, 0u);
}

// The service goes away during the wait: the record notices it without waiting for the end
// (here: none, until Ctrl-C), tries the stop on a new connection, which cannot be made, and
// tells the engineer that the session may still run.
TEST_F(RecordCommand, AServiceLostDuringTheWaitEndsTheRecordAndExitsThree) {
  BackgroundRecord capture(*this, "Orphan");
  m_service->Stop();
  const bool endedByItself = sim::wait_for([&] { return capture.Finished(); });
  conduit::host::request_interrupt();  // only so that a record that did not notice ends
  const CliRun& run = capture.Join();
  EXPECT_TRUE(endedByItself);
  EXPECT_EQ(run.code, 3) << run.err;
  EXPECT_NE(run.err.find("wait: lost the target at "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" s after the redirect: the connection was closed"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("stop (function 3): no answer: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("session 'Orphan' may still be running"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("(until the target was lost)"), std::string::npos) << run.out;
  EXPECT_TRUE(IsSessionRunning(u"Orphan"));
  // Stopped by hand, the session ends its redirect, whose sink lets go of the file; the next
  // reset must not find the redirect's threads still at work.
  EXPECT_EQ(ControlSessionByName(u"Orphan", EVENT_TRACE_CONTROL_STOP), 0u);
  EXPECT_TRUE(sim::wait_for([] {
    HANDLE file = CreateFileW(u"Orphan.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
  }));
}

// A target that stops answering without closing (here: its answer to the wait's ping is
// never sent) is found by the ping's time-out; the stop goes over a new connection.
TEST_F(RecordCommand, ATargetThatFallsSilentIsFoundByThePingAndTheSessionStopped) {
  conduit::host::RecordPlan plan;
  plan.session = "Silent";
  plan.sink = conduit::host::SinkType::PlainFile;
  plan.byGuid.push_back({kRawGuid, 4, 0, 0});
  plan.pingEvery = std::chrono::milliseconds(20);
  const auto connect = [&] {
    return std::make_unique<conduit::host::ConduitClient>("127.0.0.1", m_service->Port(),
                                                           std::chrono::milliseconds(300));
  };
  auto client = connect();
  std::ostringstream out, err;
  std::atomic<bool> finished{false};
  int code = -1;
  std::thread capture([&] {
    code = conduit::host::run_record(plan, *client, connect, {out, err});
    finished = true;
  });
  // Sink, start, enable and redirect have been answered: the next answer is a ping's.
  EXPECT_TRUE(sim::wait_for([&] { return finished || Count(Log(), "INFO # send data") >= 4; }));
  sim::fail_next("send", 1, WSAECONNRESET);
  const bool endedByItself = sim::wait_for([&] { return finished.load(); });
  conduit::host::request_interrupt();  // only so that a record that did not notice ends
  capture.join();
  EXPECT_TRUE(endedByItself);
  EXPECT_EQ(code, 3) << err.str();
  EXPECT_NE(err.str().find("s after the redirect: no answer to a ping (function 8): 127.0.0.1:"), std::string::npos)
      << err.str();
  EXPECT_EQ(err.str().find("stop (function 3)"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("session 'Silent' stopped"), std::string::npos) << err.str();
  EXPECT_FALSE(IsSessionRunning(u"Silent"));
}

}  // namespace
