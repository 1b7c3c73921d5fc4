#include "conduit_main.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service_base.h"
#include "sim/services.h"
#include "testing/host_test_support.h"

namespace {

using namespace std::chrono_literals;
using host_testing::WriteWholeFile;

const std::string kUsage =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n"
    " SERVICE THREAD IS RUNNING IN EXE FOR TESTING\n";
const std::string kRunFailed = "Service failed to run w/err 1063\nService failed to run w/err : 1063";
const std::string kInstalled = "calling Redirect Service installer\nRedirect Service Installed Successfully";
const std::string kRemoved = "Redirect Service UnInstalled Successfully";

// A service of the same name whose hooks do nothing, standing in for a running Conduit.
class StandInService : public CQLXServiceBase {
 public:
  StandInService() : CQLXServiceBase(CONDUIT_SERVICE_NAME) {}
};

class ConduitMainTest : public host_testing::HostTest {
 protected:
  // Runs the entry point with the given arguments after the program name; returns what it
  // printed on standard output.
  std::string RunMain(std::vector<std::u16string> arguments, int* exitCode = nullptr) {
    arguments.insert(arguments.begin(), u"Conduit.exe");
    std::vector<WCHAR*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    const int code = wmain(static_cast<int>(arguments.size()), argv.data());
    std::fflush(stdout);
    if (exitCode) *exitCode = code;
    return ::testing::internal::GetCapturedStdout();
  }

  static bool IsInstalled() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, CONDUIT_SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
  }

  static void Uninstall() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, CONDUIT_SERVICE_NAME, DELETE);
    ASSERT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }

  std::filesystem::path ProgramDataLog() const { return root_ / "ProgramData" / "Conduit_logs.txt"; }
};

TEST_F(ConduitMainTest, InstallSwitchMatchesEitherPrefixInAnyCase) {
  for (const char16_t* option : {u"-INSTALL", u"/Install", u"-i", u"/I"}) {
    SCOPED_TRACE(std::string(option, option + std::char_traits<char16_t>::length(option)));
    int exitCode = -1;
    EXPECT_EQ(RunMain({option}, &exitCode), kInstalled);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(IsInstalled());
    Uninstall();
  }
}

TEST_F(ConduitMainTest, RemoveSwitchDeletesAStoppedServiceWithoutStopping) {
  for (const char16_t* option : {u"-remove", u"/r", u"-R"}) {
    SCOPED_TRACE(std::string(option, option + std::char_traits<char16_t>::length(option)));
    ASSERT_EQ(RunMain({u"-install"}), kInstalled);
    EXPECT_EQ(RunMain({option}), kRemoved);
    EXPECT_FALSE(IsInstalled());
  }
  EXPECT_EQ(RunMain({u"/remove"}), "Failed to uninstall Redirect Service");
}

TEST_F(ConduitMainTest, InstallingTwicePrintsTheServiceExistsCode) {
  ASSERT_EQ(RunMain({u"-install"}), kInstalled);
  int exitCode = -1;
  EXPECT_EQ(RunMain({u"-install"}, &exitCode),
            "calling Redirect Service installer\nCreateService failed w/err 0x00000431\n"
            "Failed to install Redirect Service");
  EXPECT_EQ(exitCode, 0);
}

TEST_F(ConduitMainTest, InstallReportsPlatformFailures) {
  sim::fail_next("GetModuleFileNameW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunMain({u"-i"}),
            "calling Redirect Service installer\nGetModuleFileName failed w/err 5\nFailed to install Redirect Service");
  sim::fail_next("OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunMain({u"-i"}),
            "calling Redirect Service installer\nOpenSCManager failed w/err 0x00000005\n"
            "Failed to install Redirect Service");
  sim::fail_next("OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RunMain({u"-r"}), "OpenSCManager failed w/err 0x00000005\nFailed to uninstall Redirect Service");

  // A path cut at the buffer's end would name another file; the install must not record it.
  sim::set_module_path(root_ / std::string(300, 'd') / "Conduit.exe");
  EXPECT_EQ(RunMain({u"-install"}),
            "calling Redirect Service installer\nGetModuleFileName failed w/err 122\n"
            "Failed to install Redirect Service");
  EXPECT_FALSE(IsInstalled());
}

TEST_F(ConduitMainTest, RemovingARunningServiceStopsItFirst) {
  ASSERT_EQ(RunMain({u"-install"}), kInstalled);
  StandInService service;
  sim::host_service(CONDUIT_SERVICE_NAME);
  BOOL runResult = FALSE;
  std::thread entry([&] { runResult = service.Run(); });
  ASSERT_TRUE(sim::wait_for_service_state(CONDUIT_SERVICE_NAME, SERVICE_RUNNING, 10s));

  EXPECT_EQ(RunMain({u"-remove"}),
            "Stopping Orvix(R) Trace Redirect Service.Orvix(R) Trace Redirect Service is stopped." + kRemoved);
  entry.join();
  EXPECT_TRUE(runResult);
  EXPECT_FALSE(IsInstalled());
}

TEST_F(ConduitMainTest, UnrecognisedSwitchPrintsNothingButStillStartsAFreshLog) {
  for (const char16_t* option : {u"-x", u"-"}) {
    WriteWholeFile(ProgramDataLog(), "entry of an earlier run\n");
    int exitCode = -1;
    EXPECT_EQ(RunMain({option}, &exitCode), "");
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(ProgramDataLog()));
  }
  EXPECT_EQ(GetLogFilePath(), (root_ / "ProgramData").string() + "\\Conduit_logs.txt");
  WriteLog(LOG_INFO, "INFO # first entry of this run");
  EXPECT_EQ(LogFile(ProgramDataLog()).Read().rfind("INFO # first entry of this run\n", 0), 0u);
}

TEST_F(ConduitMainTest, WithoutProgramDataTheLogIsInTheWorkingDirectory) {
  sim::set_environment_variable("PROGRAMDATA", std::nullopt);
  WriteWholeFile(root_ / "Conduit_logs.txt", "entry of an earlier run\n");
  EXPECT_EQ(RunMain({u"-x"}), "");
  EXPECT_EQ(GetLogFilePath(), "Conduit_logs.txt");
  EXPECT_FALSE(std::filesystem::exists(root_ / "Conduit_logs.txt"));

  // A value longer than the buffer is not in the buffer; the log must not be named after it.
  sim::set_environment_variable("PROGRAMDATA", std::string(70000, 'p'));
  EXPECT_EQ(RunMain({u"-x"}), "");
  EXPECT_EQ(GetLogFilePath(), "Conduit_logs.txt");
}

TEST_F(ConduitMainTest, WithoutSwitchPrintsUsageAndFailsOutsideTheControlManager) {
  int exitCode = -1;
  EXPECT_EQ(RunMain({}, &exitCode), kUsage + kRunFailed);
  EXPECT_EQ(exitCode, 0);
  // A word without '-' or '/' is no switch: it takes the service path too.
  EXPECT_EQ(RunMain({u"install"}), kUsage + kRunFailed);
  EXPECT_FALSE(IsInstalled());
}

}  // namespace
