// The executables as separate processes: conduit-target serving conduit-cli, and the
// conduit executable installing and removing itself across processes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_app.h"
#include "sim/wait.h"
#include "testing/free_port.h"
#include "testing/stp_capture.h"
#include "testing/trace_record_builder.h"

namespace {

namespace fs = std::filesystem;

fs::path fresh_folder(const char* stem) {
  std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
  EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
  return pattern;
}

// A child process whose standard output is read line by line.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) {
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(pipeFds[1], 1);
      ::dup2(pipeFds[1], 2);
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
      for (const auto& assignment : environment) ::putenv(const_cast<char*>(assignment.c_str()));
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    m_out = ::fdopen(pipeFds[0], "r");
  }
  ~Child() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out) ::fclose(m_out);
  }

  // The next line holding `text`, or the empty string at the end of the output.
  std::string line_with(const std::string& text) {
    std::array<char, 4096> line;
    while (std::fgets(line.data(), line.size(), m_out)) {
      std::string s(line.data());
      m_all += s;
      if (s.find(text) != std::string::npos) return s;
    }
    return {};
  }
  std::string rest() {
    line_with("\x01never\x01");
    return m_all;
  }
  int signal_and_wait(int signal) {
    ::kill(m_pid, signal);
    return wait();
  }
  int wait() {
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t m_pid = -1;
  FILE* m_out = nullptr;
  std::string m_all;
};

int cli(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<const char*> argv{"conduit-cli"};
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream o, e;
  int code = conduit::host::run_cli(static_cast<int>(argv.size()), argv.data(), o, e);
  if (out) *out = o.str() + e.str();
  return code;
}

TEST(ConduitTarget, ServesTheCliAndStopsCleanlyOnSigint) {
  const fs::path root = fresh_folder("conduit-target-test");
  const std::string port = std::to_string(conduit::testing::FreeServicePort());
  {
    Child target({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", port});
    ASSERT_EQ(target.line_with("conduit-target: listening"), "conduit-target: listening on 127.0.0.1:" + port + "\n");
    std::string out;
    EXPECT_EQ(cli({"--port", port, "ping"}, &out), 0);
    EXPECT_EQ(out, "conduit\n");
    EXPECT_EQ(cli({"--port", port, "sink", "0"}, &out), 1);
    EXPECT_NE(out.find("Invalid Sync type provided"), std::string::npos) << out;
    EXPECT_EQ(cli({"--port", port, "--json", "raw", "00000000 ffffffff 00000000 00000000 00000000"}, &out), 1);
    EXPECT_NE(out.find("\"status\":1"), std::string::npos) << out;
    EXPECT_EQ(cli({"--port", port, "raw", "00000000 0c000000 00000000 00000000 00000000"}, &out), 1);
    EXPECT_NE(out.find("result text: No such function supported\n"), std::string::npos) << out;
    EXPECT_EQ(target.signal_and_wait(SIGINT), 0);
  }
  // The port stays in the registry of the reused root, as on a real machine.
  {
    Child target({CONDUIT_TARGET_PATH, "--root", root.string()});
    ASSERT_EQ(target.line_with("conduit-target: listening"), "conduit-target: listening on 127.0.0.1:" + port + "\n");
    EXPECT_EQ(target.signal_and_wait(SIGTERM), 0);
  }
  fs::remove_all(root);
}

TEST(ConduitTarget, SaysWhenItsOwnServiceCannotListenAndRefusesARootInUse) {
  const fs::path root = fresh_folder("conduit-target-first");
  const fs::path otherRoot = fresh_folder("conduit-target-second");
  const std::string port = std::to_string(conduit::testing::FreeServicePort());
  Child first({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", port, "--no-txr"});
  ASSERT_NE(first.line_with("conduit-target: listening"), "");
  {
    // The port is the first target's: the second must not take that target's answers for
    // its own service's.
    Child second({CONDUIT_TARGET_PATH, "--root", otherRoot.string(), "--port", port, "--no-txr"});
    const std::string refused = second.line_with("did not start listening");
    EXPECT_NE(refused.find("bind failed with error: 10048"), std::string::npos) << second.rest();
    EXPECT_NE(refused.find("in use by another process"), std::string::npos) << refused;
    EXPECT_EQ(second.line_with("listening on 127.0.0.1"), "");
    EXPECT_NE(second.wait(), 0);
  }
  {
    const std::string otherPort = std::to_string(conduit::testing::FreeServicePort());
    Child third({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", otherPort, "--no-txr"});
    EXPECT_NE(third.line_with("is in use by another conduit-target"), "") << third.rest();
    EXPECT_EQ(third.wait(), 1);
  }
  // The first target's service and log were left alone.
  std::string out;
  EXPECT_EQ(cli({"--port", port, "ping"}, &out), 0) << out;
  std::ifstream log(root / "ProgramData" / "Conduit_logs.txt");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("INFO # CConduitBase::Run # serviceName = Orvix(R) Trace Redirect Service"), std::string::npos);
  EXPECT_EQ(first.signal_and_wait(SIGINT), 0);
  fs::remove_all(root);
  fs::remove_all(otherRoot);
}

TEST(ConduitTarget, WritesDemoEventsWithoutBeingAsked) {
  const fs::path root = fresh_folder("conduit-target-demo");
  const std::string port = std::to_string(conduit::testing::FreeServicePort());
  {
    Child target({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", port});
    ASSERT_FALSE(target.line_with("conduit-target: listening").empty());
    for (std::vector<std::string> command : {std::vector<std::string>{"sink", "1"}, {"start", "Demo"},
                                             {"enable-guid", "Demo", "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}"},
                                             {"redirect", "Demo"}}) {
      command.insert(command.begin(), {"--port", port});
      ASSERT_EQ(cli(command), 0) << command[2];
    }
    // The service writes the plain file in its working directory.
    const fs::path file = root / "Windows" / "System32" / "Demo.bin";
    std::optional<std::vector<syst_testing::ReadRecord>> records;
    sim::wait_for([&] {
      records = syst_testing::SplitFrames(stp_testing::read_whole_file(file));
      return records && !records->empty();
    });
    EXPECT_EQ(cli({"--port", port, "stop", "Demo"}), 0);
    ASSERT_TRUE(records && !records->empty());
    EXPECT_EQ(records->front().type, 2);
    const std::string text(records->front().payload.begin(), records->front().payload.end());
    EXPECT_EQ(text.rfind("dux round ", 0), 0u) << text;
    EXPECT_EQ(target.signal_and_wait(SIGINT), 0);
  }
  fs::remove_all(root);
}

TEST(ConduitTarget, RunsTargetSideActionsAndLeavesAWholeCaptureAtTheStop) {
  const fs::path root = fresh_folder("conduit-target-actions");
  const fs::path script = root.string() + ".actions";
  std::ofstream(script) << "# kernel debug output into the Tessera\n"
                           "debug-output on\n"
                           "debug-filter on 77:0x22\n"  // levels 1 (warning) and 5, not 3 (info)
                           "dbgprint 77 1 a warning from 77\n"
                           "dbgprint 77 3 info from 77, filtered out\n"
                           "dbgprint 12 abc not a level\n"
                           "pool\n"
                           "capture\n"
                           "frobnicate\n";
  const std::string port = std::to_string(conduit::testing::FreeServicePort());
  std::string output;
  {
    Child target({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", port, "--script", script.string()});
    EXPECT_EQ(target.line_with("conduit-target: TXR loaded"),
              "conduit-target: TXR loaded for the Tessera (PCI device, powered off in sleep, configuration word 0x4); "
              "its provider Orvix-Tessera {C9CB79C1-31AD-4193-BD19-4D2A9018904C}\n");
    EXPECT_EQ(target.line_with("conduit-target: debug-output"), "conduit-target: debug-output on\n");
    EXPECT_EQ(target.line_with("conduit-target: dbgprint"), "conduit-target: dbgprint: usage: dbgprint COMPONENT LEVEL TEXT...\n");
    EXPECT_NE(target.line_with("conduit-target: TXR pool tag \"TxrM\": "), "");
    EXPECT_NE(target.line_with("conduit-target: Tessera capture " + (root / "Tessera").string()), "");
    EXPECT_EQ(target.line_with("conduit-target: frobnicate"), "conduit-target: frobnicate: unknown command (help lists them)\n");
    EXPECT_EQ(target.signal_and_wait(SIGINT), 0);
    output = target.rest();
  }
  EXPECT_NE(output.find("conduit-target: TXR unloaded\n"), std::string::npos) << output;
  EXPECT_EQ(output.find("TXR left"), std::string::npos) << output;
  const fs::path capture = root / "Tessera" / "tessera_capture_1.stp";
  const stp_testing::DecodedCapture decoded = stp_testing::decode_stp(stp_testing::read_whole_file(capture));
  EXPECT_TRUE(decoded.skips.empty()) << "the capture ends on a whole packet";
  ASSERT_EQ(decoded.messages.size(), 1u);
  EXPECT_EQ(decoded.messages[0].cls, stpdump::MessageClass::String);
  EXPECT_EQ(decoded.messages[0].master, 257);
  EXPECT_EQ(decoded.messages[0].text, "a warning from 77");
  EXPECT_EQ(decoded.messages[0].header, 0x01000002u | 3u << 4 | 77u << 12);
  fs::remove_all(root);
  fs::remove(script);
}

TEST(ConduitTarget, SleepsAndHibernatesWithTheGivenPowerFlow) {
  const fs::path root = fresh_folder("conduit-target-sleep");
  const fs::path script = root.string() + ".actions";
  std::ofstream(script) << "sleep 10\nhibernate 0\nsleep soon\n";
  const std::string port = std::to_string(conduit::testing::FreeServicePort());
  {
    Child target({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", port, "--rate", "0", "--acpi", "--always-on",
                  "--config-word", "0x21", "--script", script.string()});
    EXPECT_EQ(target.line_with("conduit-target: TXR loaded"),
              "conduit-target: TXR loaded for the Tessera (ACPI device, always on, configuration word 0x21); "
              "its provider Orvix-Tessera {C9CB79C1-31AD-4193-BD19-4D2A9018904C}\n");
    EXPECT_EQ(target.line_with("conduit-target: sleep (S3)"),
              "conduit-target: sleep (S3): TXR went to D3, the machine slept 10 ms and woke; TXR is back in D0\n");
    EXPECT_EQ(target.line_with("conduit-target: hibernate"),
              "conduit-target: hibernate (S4): TXR went to D3, the machine slept 0 ms and woke; TXR is back in D0\n");
    EXPECT_EQ(target.line_with("conduit-target: sleep:"), "conduit-target: sleep: usage: sleep [MILLISECONDS]\n");
    EXPECT_EQ(target.signal_and_wait(SIGINT), 0);
  }
  fs::remove_all(root);
  fs::remove(script);
}

TEST(ConduitTarget, WithoutTxrTheHardwareSinkIsAbsent) {
  const fs::path root = fresh_folder("conduit-target-no-txr");
  const std::string port = std::to_string(conduit::testing::FreeServicePort());
  {
    Child target({CONDUIT_TARGET_PATH, "--root", root.string(), "--port", port, "--no-txr"});
    EXPECT_EQ(target.line_with("conduit-target: booted"), "conduit-target: booted without TXR\n");
    ASSERT_FALSE(target.line_with("conduit-target: listening").empty());
    std::string out;
    ASSERT_EQ(cli({"--port", port, "sink", "2"}), 0);
    EXPECT_EQ(cli({"--port", port, "start", "NoHardware"}, &out), 1);
    EXPECT_NE(out.find("TXR device is not configured to be managed by OS"), std::string::npos) << out;
    EXPECT_EQ(target.signal_and_wait(SIGINT), 0);
  }
  EXPECT_FALSE(fs::exists(root / "Tessera"));
  fs::remove_all(root);
}

TEST(ConduitExecutable, InstallsAndRemovesItselfAcrossProcesses) {
  const fs::path root = fresh_folder("conduit-install-test");
  const std::vector<std::string> environment{"CONDUIT_TARGET_ROOT=" + root.string()};
  auto run = [&](const std::string& option) {
    Child child({CONDUIT_EXE_PATH, option}, environment);
    std::string out = child.rest();
    EXPECT_EQ(child.wait(), 0);
    return out;
  };
  EXPECT_EQ(run("-install"), "calling Redirect Service installer\nRedirect Service Installed Successfully");
  EXPECT_EQ(run("/I"),
            "calling Redirect Service installer\nCreateService failed w/err 0x00000431\nFailed to install Redirect Service");
  EXPECT_EQ(run("-remove"), "Redirect Service UnInstalled Successfully");
  EXPECT_EQ(run("/r"), "Failed to uninstall Redirect Service");
  fs::remove_all(root);
}

}  // namespace
