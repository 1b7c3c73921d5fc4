#include "service_base.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/services.h"
#include "stop_flag.h"
#include "testing/host_test_support.h"

namespace {

using namespace std::chrono_literals;

const char16_t* const kName = u"Probe Service";

class ProbeService : public CQLXServiceBase {
 public:
  ProbeService() : CQLXServiceBase(kName, TRUE, TRUE, FALSE) {}

  static void ResetCheckPoint() { s_checkPoint = 1; }
  static void ForgetInstance() { s_service = nullptr; }

  std::function<void()> onStart;
  std::function<void()> onStop;
  std::vector<std::u16string> startArguments;
  std::thread::id startThread;
  std::atomic<int> stopCalls{0};
  std::atomic<int> shutdownCalls{0};

 protected:
  void OnStart(DWORD argc, LPWSTR* argv) override {
    startThread = std::this_thread::get_id();
    for (DWORD i = 0; i < argc; ++i) startArguments.emplace_back(argv[i]);
    if (onStart) onStart();
  }
  void OnStop() override {
    ++stopCalls;
    if (onStop) onStop();
    CQLXServiceBase::OnStop();
  }
  void OnShutdown() override { ++shutdownCalls; }
};

class ServiceBaseTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    ProbeService::ResetCheckPoint();
    ServiceStopRequested().store(false);
  }

  // Runs the service as the control manager would start it; the runner thread is the
  // process's main thread, blocked in the dispatcher.
  void Launch(ProbeService& service, std::vector<std::u16string> arguments = {}) {
    sim::host_service(kName, std::move(arguments));
    runner_ = std::thread([this, &service] {
      dispatcherThread_ = std::this_thread::get_id();
      runResult_ = service.Run();
    });
  }
  void AwaitState(DWORD state) { ASSERT_TRUE(sim::wait_for_service_state(kName, state, 10s)); }
  void Send(DWORD control) { ASSERT_TRUE(sim::send_service_control(kName, control)); }
  void Finish() {
    runner_.join();
    EXPECT_TRUE(runResult_);
  }

  static std::vector<DWORD> States() {
    std::vector<DWORD> states;
    for (const auto& report : sim::service_status_reports(kName)) states.push_back(report.dwCurrentState);
    return states;
  }
  static std::vector<DWORD> CheckPoints() {
    std::vector<DWORD> points;
    for (const auto& report : sim::service_status_reports(kName)) points.push_back(report.dwCheckPoint);
    return points;
  }

  std::thread runner_;
  std::thread::id dispatcherThread_;
  BOOL runResult_ = FALSE;
};

TEST_F(ServiceBaseTest, StartThenStopReportsEachStateWithProcessWideCheckPoints) {
  ProbeService service;
  Launch(service, {u"-port", u"1"});
  AwaitState(SERVICE_RUNNING);
  Send(SERVICE_CONTROL_INTERROGATE);  // ignored
  Send(SERVICE_CONTROL_STOP);
  Finish();

  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                          SERVICE_STOPPED}));
  EXPECT_EQ(CheckPoints(), (std::vector<DWORD>{1, 0, 2, 0}));
  for (const auto& report : sim::service_status_reports(kName)) {
    EXPECT_EQ(report.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(report.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT));
    EXPECT_EQ(report.dwWin32ExitCode, 0u);
    EXPECT_EQ(report.dwWaitHint, 0u);
  }
  EXPECT_EQ(service.startArguments, (std::vector<std::u16string>{kName, u"-port", u"1"}));
  EXPECT_NE(service.startThread, dispatcherThread_);
  EXPECT_EQ(service.stopCalls.load(), 1);
  EXPECT_TRUE(ServiceStopRequested().load());

  const std::string log = Log();
  EXPECT_NE(log.find("INFO # CConduitBase::CQLXServiceBase # ServiceName is Probe Service\n"), std::string::npos);
  EXPECT_NE(log.find("INFO # CConduitBase::Run # serviceName = Probe Service\n"), std::string::npos);
  EXPECT_EQ(LogFile::CountIn(log, "INFO # Conduit stopped successfully\n"), 1u);
  EXPECT_NE(log.find("DEBUG #  Entering  function CQLXServiceBase::ServiceMain\n"), std::string::npos);
  EXPECT_NE(log.find("DEBUG #  Exiting function CQLXServiceBase::Stop\n"), std::string::npos);
}

TEST_F(ServiceBaseTest, ShutdownReportsStoppedWithoutRunningTheStopHook) {
  ProbeService service;
  Launch(service);
  AwaitState(SERVICE_RUNNING);
  Send(SERVICE_CONTROL_SHUTDOWN);
  Finish();

  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
  EXPECT_EQ(service.stopCalls.load(), 0);
  EXPECT_EQ(service.shutdownCalls.load(), 1);
  EXPECT_FALSE(ServiceStopRequested().load());
  EXPECT_EQ(log_->Count("INFO # Conduit shutdown successfully\n"), 1u);
}

TEST_F(ServiceBaseTest, ExceptionInStartHookReportsStoppedWithExitCodeZero) {
  for (bool standard : {true, false}) {
    SCOPED_TRACE(standard ? "standard exception" : "other exception");
    ProbeService service;
    service.onStart = [standard] {
      if (standard) throw std::runtime_error("port in use");
      throw 42;
    };
    Launch(service);
    Finish();
    EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(sim::service_status_reports(kName).back().dwWin32ExitCode, 0u);
  }
  const std::string log = Log();
  EXPECT_NE(log.find("STANDARD EXCEPTION Fn: CQLXServiceBase::Start : Exception: port in use\n"), std::string::npos);
  EXPECT_NE(log.find("GENERIC EXCEPTION Fn: CQLXServiceBase::Start\n"), std::string::npos);
}

TEST_F(ServiceBaseTest, FailedStopHookReportsThePreviousStateAgain) {
  ProbeService service;
  service.onStop = [] { throw std::runtime_error("still busy"); };
  Launch(service);
  AwaitState(SERVICE_RUNNING);
  Send(SERVICE_CONTROL_STOP);
  Send(SERVICE_CONTROL_SHUTDOWN);
  Finish();

  EXPECT_EQ(States(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                          SERVICE_RUNNING, SERVICE_STOPPED}));
  const std::string log = Log();
  EXPECT_NE(log.find("STANDARD EXCEPTION Fn: CQLXServiceBase::Stop : Exception: still busy\n"), std::string::npos);
  EXPECT_EQ(LogFile::CountIn(log, "INFO # Conduit stopped successfully"), 0u);
}

TEST_F(ServiceBaseTest, FailedHandlerRegistrationIsLoggedAndNeverReports) {
  ProbeService service;
  sim::fail_next("RegisterServiceCtrlHandlerExW", 1, ERROR_NOT_ENOUGH_MEMORY);
  Launch(service);
  Finish();
  EXPECT_TRUE(sim::service_status_reports(kName).empty());
  EXPECT_TRUE(service.startArguments.empty());
  EXPECT_NE(Log().find("ERROR # CQLXServiceBase::ServiceMain # RegisterServiceCtrlHandlerExW failed w/err 8\n"),
            std::string::npos);
}

TEST_F(ServiceBaseTest, ServiceMainRefusesMissingArgumentsAndMissingInstance) {
  ProbeService service;
  CQLXServiceBase::ServiceMain(0, nullptr);
  EXPECT_NE(Log().find("Error # Invalid parameters\n"), std::string::npos);

  ProbeService::ForgetInstance();
  WCHAR name[] = u"Probe Service";
  LPWSTR argv[] = {name, nullptr};
  CQLXServiceBase::ServiceMain(1, argv);
  EXPECT_NE(Log().find("ERROR # CQLXServiceBase::ServiceMain # Assertion failed: s_service != NULL\n"),
            std::string::npos);
  EXPECT_TRUE(service.startArguments.empty());
}

TEST_F(ServiceBaseTest, RunOutsideTheControlManagerFailsWithItsErrorIntact) {
  ProbeService service;
  EXPECT_FALSE(service.Run());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST_F(ServiceBaseTest, NullNameIsRejected) {
  try {
    CQLXServiceBase service(nullptr);
    FAIL() << "constructed without a name";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Sevice name cannot be NULL");
  }
}

}  // namespace
