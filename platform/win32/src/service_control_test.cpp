#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include <signal.h>

#include <gtest/gtest.h>

#include "sim/services.h"
#include "sim/sim.h"
#include "winsvc.h"

namespace {

using namespace std::chrono_literals;

constexpr const WCHAR* kName = u"Test Service";

// What the test service below saw; the dispatcher calls plain function pointers.
struct Observed {
  std::mutex mutex;
  std::thread::id main_thread;
  std::vector<std::u16string> argv;
  std::vector<DWORD> controls;
  std::vector<std::thread::id> handler_threads;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  DWORD wrong_name_error = 0;
};
Observed* g_observed = nullptr;

void report(DWORD state, DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, 0, 0, 0, 0};
  SetServiceStatus(g_observed->status_handle, &status);
}

DWORD WINAPI TestHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  {
    std::lock_guard lock(g_observed->mutex);
    g_observed->controls.push_back(control);
    g_observed->handler_threads.push_back(std::this_thread::get_id());
  }
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    report(SERVICE_STOP_PENDING, 0);
    report(SERVICE_STOPPED, 0);
  }
  return NO_ERROR;
}

void WINAPI TestServiceMain(DWORD argc, LPWSTR* argv) {
  {
    std::lock_guard lock(g_observed->mutex);
    g_observed->main_thread = std::this_thread::get_id();
    for (DWORD i = 0; i < argc; ++i) g_observed->argv.emplace_back(argv[i]);
  }
  if (!RegisterServiceCtrlHandlerExW(u"Another Service", TestHandler, nullptr)) {
    g_observed->wrong_name_error = GetLastError();
  }
  g_observed->status_handle = RegisterServiceCtrlHandlerExW(kName, TestHandler, nullptr);
  report(SERVICE_START_PENDING);
  report(SERVICE_RUNNING);
}

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    g_observed = &observed_;
  }
  void TearDown() override {
    for (auto* handle : handles_) CloseServiceHandle(handle);
    g_observed = nullptr;
    if (!kept_root_.empty()) {
      sim::reset();
      std::filesystem::remove_all(kept_root_);
    }
  }

  // A root the test owns, so that sim::reset(root) can stand for a later process on the same
  // machine (a root that reset() made itself is wiped by the next reset).
  void UseKeptRoot() {
    kept_root_ = std::filesystem::path(::testing::TempDir()) /
                 ("scm-root-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(kept_root_);
    sim::reset(kept_root_);
  }
  void NewProcess() {
    handles_.clear();
    sim::reset(kept_root_);
  }

  SC_HANDLE Keep(SC_HANDLE handle) {
    if (handle) handles_.push_back(handle);
    return handle;
  }
  SC_HANDLE Manager(DWORD access = SC_MANAGER_ALL_ACCESS) { return Keep(OpenSCManagerW(nullptr, nullptr, access)); }
  SC_HANDLE Install(const WCHAR* name, DWORD access = SERVICE_ALL_ACCESS) {
    return Keep(CreateServiceW(Manager(), name, name, access, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                               SERVICE_ERROR_NORMAL, u"C:\\Program Files\\Test\\test.exe", nullptr, nullptr, nullptr,
                               nullptr, nullptr));
  }
  SC_HANDLE Open(const WCHAR* name, DWORD access = SERVICE_ALL_ACCESS) {
    return Keep(OpenServiceW(Manager(SC_MANAGER_CONNECT), name, access));
  }

  // Runs the dispatcher for the test service on a thread, as the process's main thread would.
  void StartHosted(std::vector<std::u16string> arguments = {}) {
    sim::host_service(kName, std::move(arguments));
    dispatcher_ = std::thread([this] {
      dispatcher_thread_ = std::this_thread::get_id();
      SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(u"Other"), nullptr},
                                      {const_cast<LPWSTR>(kName), TestServiceMain},
                                      {nullptr, nullptr}};
      dispatcher_result_ = StartServiceCtrlDispatcherW(table);
    });
    ASSERT_TRUE(sim::wait_for_service_state(kName, SERVICE_RUNNING, 10s));
  }

  Observed observed_;
  std::filesystem::path kept_root_;
  std::vector<SC_HANDLE> handles_;
  std::thread dispatcher_;
  std::thread::id dispatcher_thread_;
  BOOL dispatcher_result_ = FALSE;
};

TEST_F(ServiceControlTest, InstallOpenQueryDeleteRoundTrip) {
  ASSERT_NE(Install(kName), nullptr);
  SC_HANDLE service = Open(kName);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));

  ASSERT_TRUE(DeleteService(service));
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(Open(kName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceControlTest, InstallingTwiceFailsWithServiceExistsAndLeavesOneEntry) {
  ASSERT_NE(Install(kName), nullptr);
  EXPECT_EQ(Install(kName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  ASSERT_TRUE(DeleteService(Open(kName)));
  EXPECT_EQ(Open(kName), nullptr);
}

TEST_F(ServiceControlTest, NamesAreCaseInsensitive) {
  ASSERT_NE(Install(u"Mixed Case Svc"), nullptr);
  EXPECT_NE(Open(u"MIXED CASE SVC"), nullptr);
  EXPECT_EQ(Install(u"mixed case svc"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
}

TEST_F(ServiceControlTest, DatabaseIsSeenByALaterProcess) {
  UseKeptRoot();
  ASSERT_NE(Install(kName), nullptr);
  NewProcess();
  EXPECT_NE(Open(kName), nullptr);
}

TEST_F(ServiceControlTest, RejectsBadHandlesAndMissingRights) {
  SC_HANDLE manager = Manager();
  SC_HANDLE service = Install(kName, SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr);
  SERVICE_STATUS status{};

  EXPECT_EQ(OpenServiceW(service, kName, SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(QueryServiceStatus(manager, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  SC_HANDLE connect_only = Manager(SC_MANAGER_CONNECT);
  EXPECT_EQ(CreateServiceW(connect_only, u"Other", u"Other", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"x.exe", nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ASSERT_TRUE(CloseServiceHandle(service));
  handles_.erase(std::find(handles_.begin(), handles_.end(), service));
  EXPECT_FALSE(QueryServiceStatus(service, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ServiceControlTest, StoppingAServiceThatIsNotRunningFailsWithNotActive) {
  SC_HANDLE service = Install(kName);
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControlTest, FaultInjectionFailsCallsWithoutSideEffects) {
  SC_HANDLE manager = Manager();
  sim::fail_next("CreateServiceW", 1, ERROR_SERVICE_DATABASE_LOCKED);
  EXPECT_EQ(CreateServiceW(manager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, u"x.exe", nullptr, nullptr, nullptr, nullptr,
                           nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));
  EXPECT_EQ(Open(kName), nullptr);

  sim::fail_next("OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  SC_HANDLE service = Install(kName);
  sim::fail_next("DeleteService", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_NE(Open(kName), nullptr);
}

// Several processes install the same name at once; the database lock lets exactly one win.
TEST_F(ServiceControlTest, ConcurrentInstallsFromSeveralProcessesHaveOneWinner) {
  constexpr int kProcesses = 4;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
      SC_HANDLE service = CreateServiceW(manager, kName, kName, SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, u"x.exe", nullptr, nullptr,
                                         nullptr, nullptr, nullptr);
      ::_exit(service ? 0 : GetLastError() == ERROR_SERVICE_EXISTS ? 1 : 2);
    }
    children.push_back(pid);
  }
  int winners = 0;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2);
    if (WEXITSTATUS(status) == 0) ++winners;
  }
  EXPECT_EQ(winners, 1);
}

TEST_F(ServiceControlTest, DispatcherFailsOutsideTheControlManager) {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), TestServiceMain}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(kName, TestHandler, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceControlTest, HostedServiceRunsOnItsOwnThreadAndControlsReachTheDispatcherThread) {
  StartHosted({u"-verbose", u"two"});
  sim::send_service_control(kName, SERVICE_CONTROL_INTERROGATE);
  sim::send_service_control(kName, SERVICE_CONTROL_STOP);
  dispatcher_.join();

  EXPECT_TRUE(dispatcher_result_);
  EXPECT_NE(observed_.main_thread, dispatcher_thread_);
  EXPECT_EQ(observed_.argv, (std::vector<std::u16string>{kName, u"-verbose", u"two"}));
  EXPECT_EQ(observed_.wrong_name_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(observed_.controls, (std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}));
  for (auto id : observed_.handler_threads) EXPECT_EQ(id, dispatcher_thread_);

  std::vector<DWORD> states;
  for (const auto& status : sim::service_status_reports(kName)) states.push_back(status.dwCurrentState);
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                        SERVICE_STOPPED}));
}

TEST_F(ServiceControlTest, ControlServiceStopsAHostedServiceAndTheDatabaseFollows) {
  UseKeptRoot();
  ASSERT_NE(Install(kName), nullptr);
  StartHosted();
  SC_HANDLE service = Open(kName);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // Stop is the one control a program sends; shutdown comes only from the control manager.
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_SHUTDOWN, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // ControlService returns once the handler has run, with the status it left.
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  dispatcher_.join();
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

  NewProcess();
  ASSERT_TRUE(QueryServiceStatus(Open(kName), &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceControlTest, DeletingARunningServiceRemovesItWhenItStops) {
  ASSERT_NE(Install(kName), nullptr);
  StartHosted();
  ASSERT_TRUE(DeleteService(Open(kName)));
  EXPECT_NE(Open(kName), nullptr);
  EXPECT_EQ(Install(kName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

  sim::send_service_control(kName, SERVICE_CONTROL_STOP);
  dispatcher_.join();
  EXPECT_EQ(Open(kName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceControlTest, FailedStatusReportIsNotRecorded) {
  StartHosted();
  sim::fail_next("SetServiceStatus", 1, ERROR_INVALID_DATA);
  sim::send_service_control(kName, SERVICE_CONTROL_SHUTDOWN);
  dispatcher_.join();
  std::vector<DWORD> states;
  for (const auto& status : sim::service_status_reports(kName)) states.push_back(status.dwCurrentState);
  EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
}

// A service that gives up in ServiceMain without registering leaves nothing to wait for.
void WINAPI QuitterServiceMain(DWORD, LPWSTR*) {}

TEST_F(ServiceControlTest, DispatcherReturnsWhenServiceMainQuitsWithoutRegistering) {
  sim::host_service(kName);
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), QuitterServiceMain}, {nullptr, nullptr}};
  EXPECT_TRUE(StartServiceCtrlDispatcherW(table));
  EXPECT_TRUE(sim::service_status_reports(kName).empty());
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
}

// Another process hosts the service; this one stops it through the database.
TEST_F(ServiceControlTest, StopsAServiceHostedByAnotherProcess) {
  ASSERT_NE(Install(kName), nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sim::host_service(kName);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), TestServiceMain}, {nullptr, nullptr}};
    ::_exit(StartServiceCtrlDispatcherW(table) ? 0 : 1);
  }
  SC_HANDLE service = Open(kName);
  SERVICE_STATUS status{};
  for (int i = 0; i < 1000 && status.dwCurrentState != SERVICE_RUNNING; ++i) {
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  int exit_status = 0;
  ASSERT_EQ(::waitpid(child, &exit_status, 0), child);
  EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0);
}

// A hosting process that dies while running leaves its entry saying so; the dead host is
// noticed instead of waiting for a dispatcher that is gone.
TEST_F(ServiceControlTest, ServiceOfAProcessThatDiedCountsAsStopped) {
  ASSERT_NE(Install(kName), nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sim::host_service(kName);
    std::thread([] {
      SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kName), TestServiceMain}, {nullptr, nullptr}};
      StartServiceCtrlDispatcherW(table);
    }).detach();
    if (!sim::wait_for_service_state(kName, SERVICE_RUNNING, 10s)) ::_exit(1);
    // Dies as a crashed host does: no exit handlers, its threads gone with it.
    ::kill(::getpid(), SIGKILL);
  }
  int exit_status = 0;
  ASSERT_EQ(::waitpid(child, &exit_status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(exit_status) && WTERMSIG(exit_status) == SIGKILL);

  SC_HANDLE service = Open(kName);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_TRUE(DeleteService(service));
  EXPECT_EQ(Open(kName), nullptr);
}

}  // namespace
