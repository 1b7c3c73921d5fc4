// Service control manager of the virtual target.
//
// The database: one file per service in <target root>/services, named after the service's
// case-folded name, holding its configuration, its last reported status and the process
// that hosts it. Every change happens under an exclusive lock on <services>/lock, so that
// two processes installing the same name at once find exactly one winner.
//
// Hosting: sim marks the process as started for one service (services::host); the
// dispatcher runs ServiceMain on a thread of its own and serves controls on the caller's
// thread. Controls from this process go through an in-memory queue; a control from another
// process is written as <entry>.control, which the hosting dispatcher polls.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/core/faults.h"
#include "platform/core/handles.h"
#include "platform/core/target.h"
#include "win32_controls/service_control_host.h"
#include "platform/core/text.h"
#include "winsvc.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxServiceNameLength = 256;
constexpr auto kDispatcherPollInterval = std::chrono::milliseconds(50);
constexpr auto kCrossProcessControlTimeout = std::chrono::seconds(30);

// ---- Text ---------------------------------------------------------------------------------

using platform::same_name;

bool has_control_characters(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < 0x20) return true;
  }
  return false;
}

// The file name of a service's entry: its folded name, letters and digits kept, everything
// else as _XXXX, so that names differing only in case share one entry.
std::string entry_key(std::u16string_view name) {
  std::string key;
  for (char16_t c : platform::fold_name(name)) {
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) {
      key += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "_%04X", static_cast<unsigned>(c));
      key += buffer;
    }
  }
  return key;
}

// ---- Database -----------------------------------------------------------------------------

struct Entry {
  std::u16string name;
  std::u16string display_name;
  std::u16string binary_path;
  std::u16string account;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD start_type = SERVICE_DEMAND_START;
  DWORD error_control = SERVICE_ERROR_NORMAL;
  bool delete_pending = false;
  SERVICE_STATUS status{};
  long host_pid = 0;
  unsigned long long host_generation = 0;
};

fs::path database_dir() { return platform::target_root() / "services"; }
fs::path entry_path(const std::string& key) { return database_dir() / (key + ".svc"); }
fs::path control_path(const std::string& key) { return database_dir() / (key + ".control"); }

// Serialises changes to the database between threads and processes.
class DatabaseLock {
 public:
  DatabaseLock() {
    std::error_code ignored;
    fs::create_directories(database_dir(), ignored);
    fd_ = ::open((database_dir() / "lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~DatabaseLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

 private:
  int fd_ = -1;
};

std::optional<Entry> read_entry(const std::string& key) {
  std::ifstream in(entry_path(key));
  if (!in) return std::nullopt;
  Entry entry;
  std::string line;
  while (std::getline(in, line)) {
    auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string field = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    std::istringstream numbers(value);
    if (field == "name") entry.name = platform::utf8_to_utf16(value);
    else if (field == "display_name") entry.display_name = platform::utf8_to_utf16(value);
    else if (field == "binary_path") entry.binary_path = platform::utf8_to_utf16(value);
    else if (field == "account") entry.account = platform::utf8_to_utf16(value);
    else if (field == "type") numbers >> entry.type;
    else if (field == "start_type") numbers >> entry.start_type;
    else if (field == "error_control") numbers >> entry.error_control;
    else if (field == "delete_pending") entry.delete_pending = value == "1";
    else if (field == "status") {
      auto& s = entry.status;
      numbers >> s.dwServiceType >> s.dwCurrentState >> s.dwControlsAccepted >> s.dwWin32ExitCode >>
          s.dwServiceSpecificExitCode >> s.dwCheckPoint >> s.dwWaitHint;
    } else if (field == "host") {
      numbers >> entry.host_pid >> entry.host_generation;
    }
  }
  return entry;
}

// Written to a temporary file and renamed over the entry, so a reader never sees half.
bool write_entry(const Entry& entry) {
  const auto key = entry_key(entry.name);
  const auto temporary = database_dir() / (key + ".tmp");
  {
    std::ofstream out(temporary, std::ios::trunc);
    const auto& s = entry.status;
    out << "name=" << platform::utf16_to_utf8(entry.name) << "\n"
        << "display_name=" << platform::utf16_to_utf8(entry.display_name) << "\n"
        << "binary_path=" << platform::utf16_to_utf8(entry.binary_path) << "\n"
        << "account=" << platform::utf16_to_utf8(entry.account) << "\n"
        << "type=" << entry.type << "\n"
        << "start_type=" << entry.start_type << "\n"
        << "error_control=" << entry.error_control << "\n"
        << "delete_pending=" << (entry.delete_pending ? 1 : 0) << "\n"
        << "status=" << s.dwServiceType << ' ' << s.dwCurrentState << ' ' << s.dwControlsAccepted << ' '
        << s.dwWin32ExitCode << ' ' << s.dwServiceSpecificExitCode << ' ' << s.dwCheckPoint << ' ' << s.dwWaitHint
        << "\n"
        << "host=" << entry.host_pid << ' ' << entry.host_generation << "\n";
    if (!out.flush()) return false;
  }
  std::error_code error;
  fs::rename(temporary, entry_path(key), error);
  return !error;
}

void remove_entry(const std::string& key) {
  std::error_code ignored;
  fs::remove(entry_path(key), ignored);
  fs::remove(control_path(key), ignored);
}

SERVICE_STATUS stopped_status(DWORD type, DWORD exit_code) {
  SERVICE_STATUS status{};
  status.dwServiceType = type;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = exit_code;
  return status;
}

// ---- In-memory state ----------------------------------------------------------------------

enum class ObjectKind { Manager, Service, StatusToken };

struct ScObject : platform::HandleObject {
  ScObject(ObjectKind object_kind, DWORD object_access, std::u16string service_name)
      : kind(object_kind), access(object_access), name(std::move(service_name)) {}
  ObjectKind kind;
  DWORD access;
  std::u16string name;  // the service's name, for service handles
};

struct Host {
  std::u16string name;
  std::vector<std::u16string> arguments;
  bool is_dispatching = false;
  bool has_dispatched = false;
  bool has_main_returned = false;
  std::thread::id dispatcher_thread;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  std::uintptr_t status_token = 0;
  SERVICE_STATUS last{};
  std::vector<SERVICE_STATUS> reports;
  std::deque<std::pair<DWORD, unsigned long long>> queue;  // control, ticket
  unsigned long long next_ticket = 1;
  unsigned long long handled_ticket = 0;
};

std::mutex g_mutex;  // taken before the database lock, never after
std::condition_variable g_changed;
std::optional<Host>& g_host = *new std::optional<Host>;
// Each sim::reset() stands for a new process: database entries that name this pid with an
// older generation belong to a process that has ended.
unsigned long long g_generation = 1;

std::shared_ptr<ScObject> find_object(SC_HANDLE handle, ObjectKind kind) {
  auto object = platform::lookup_handle_as<ScObject>(reinterpret_cast<platform::HandleValue>(handle));
  return object && object->kind == kind ? object : nullptr;
}

SC_HANDLE new_object(ObjectKind kind, DWORD access, std::u16string name) {
  return reinterpret_cast<SC_HANDLE>(platform::insert_handle(std::make_shared<ScObject>(kind, access, std::move(name))));
}

Host* hosted(std::u16string_view name) {
  if (!g_host || !same_name(g_host->name, name)) return nullptr;
  return &*g_host;
}

// Whether the process an entry names as its host still runs that service. Call with g_mutex.
bool is_host_alive(const Entry& entry) {
  if (entry.host_pid <= 0) return false;
  if (entry.host_pid == static_cast<long>(::getpid())) {
    Host* host = hosted(entry.name);
    return entry.host_generation == g_generation && host && host->is_dispatching;
  }
  return ::kill(static_cast<pid_t>(entry.host_pid), 0) == 0 || errno == EPERM;
}

// The database follows the hosted service's state. Call with g_mutex.
void persist_status(const Host& host) {
  DatabaseLock db;
  const auto key = entry_key(host.name);
  auto entry = read_entry(key);
  if (!entry) return;
  if (host.last.dwCurrentState == SERVICE_STOPPED && entry->delete_pending) {
    remove_entry(key);
    return;
  }
  entry->status = host.last;
  entry->host_pid = static_cast<long>(::getpid());
  entry->host_generation = g_generation;
  write_entry(*entry);
}

bool fail(DWORD code) {
  SetLastError(code);
  return false;
}

std::nullptr_t fail_null(DWORD code) {
  SetLastError(code);
  return nullptr;
}

// The checks the control manager makes before it passes a stop to a running service. Stop is
// the one control the service sends (to remove itself); the others come from sim.
DWORD check_stoppable(const SERVICE_STATUS& status, bool has_handler) {
  if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (!has_handler || status.dwCurrentState == SERVICE_START_PENDING ||
      status.dwCurrentState == SERVICE_STOP_PENDING) {
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  if ((status.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0) return ERROR_INVALID_SERVICE_CONTROL;
  return ERROR_SUCCESS;
}

// A control from another process: hand it to the hosting dispatcher through the control
// file and wait until that dispatcher has run the handler and removed the file.
BOOL control_other_process(const std::u16string& name, DWORD control, LPSERVICE_STATUS status) {
  const auto key = entry_key(name);
  const auto path = control_path(key);
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);  // another control is on its way
  const std::string text = std::to_string(control) + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written) {
    ::unlink(path.c_str());
    return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
  }
  const auto deadline = std::chrono::steady_clock::now() + kCrossProcessControlTimeout;
  std::error_code ignored;
  while (fs::exists(path, ignored)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::unlink(path.c_str());
      return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard lock(g_mutex);
  DatabaseLock db;
  auto entry = read_entry(key);
  *status = entry ? entry->status : stopped_status(SERVICE_WIN32_OWN_PROCESS, ERROR_SUCCESS);
  return TRUE;
}

// Reads and removes nothing: the caller removes the file after the handler has run, which
// tells the sender that the control has been handled.
std::optional<DWORD> pending_cross_process_control(const std::string& key) {
  std::ifstream in(control_path(key));
  DWORD control = 0;
  if (in && (in >> control)) return control;
  return std::nullopt;
}

}  // namespace

namespace platform::win32 {

// Stops what runs: the hosted service is forgotten and whoever waits on it wakes. Each reset
// stands for a new process, so the generation moves on.
void stop_hosted_service() {
  std::lock_guard lock(g_mutex);
  g_host.reset();
  ++g_generation;
  g_changed.notify_all();
}

}  // namespace platform::win32

// ---- The database -------------------------------------------------------------------------

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  PLATFORM_FAIL_IF_ARMED("OpenSCManagerW", nullptr);
  (void)lpMachineName;  // the virtual target is the only machine there is
  if (lpDatabaseName && !same_name(lpDatabaseName, SERVICES_ACTIVE_DATABASEW)) {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  std::lock_guard lock(g_mutex);
  return new_object(ObjectKind::Manager, dwDesiredAccess, {});
}

SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  PLATFORM_FAIL_IF_ARMED("CreateServiceW", nullptr);
  (void)lpLoadOrderGroup;
  (void)lpDependencies;
  (void)lpPassword;
  std::lock_guard lock(g_mutex);
  auto manager = find_object(hSCManager, ObjectKind::Manager);
  if (!manager) return fail_null(ERROR_INVALID_HANDLE);
  if ((manager->access & SC_MANAGER_CREATE_SERVICE) == 0) return fail_null(ERROR_ACCESS_DENIED);
  if (!lpServiceName) return fail_null(ERROR_INVALID_ADDRESS);
  const std::u16string name(lpServiceName);
  if (name.empty() || name.size() > kMaxServiceNameLength || name.find_first_of(u"/\\") != std::u16string::npos ||
      has_control_characters(name) || entry_key(name).size() > 200) {
    return fail_null(ERROR_INVALID_NAME);
  }
  const DWORD base_type = dwServiceType & ~0x100u;  // SERVICE_INTERACTIVE_PROCESS
  if ((base_type != SERVICE_WIN32_OWN_PROCESS && base_type != SERVICE_WIN32_SHARE_PROCESS &&
       base_type != SERVICE_KERNEL_DRIVER) ||
      dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL || !lpBinaryPathName ||
      !*lpBinaryPathName || has_control_characters(lpBinaryPathName) || lpdwTagId ||
      (lpDisplayName && has_control_characters(lpDisplayName)) ||
      (lpServiceStartName && has_control_characters(lpServiceStartName))) {
    return fail_null(ERROR_INVALID_PARAMETER);
  }

  DatabaseLock db;
  if (auto existing = read_entry(entry_key(name))) {
    return fail_null(existing->delete_pending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
  }
  Entry entry;
  entry.name = name;
  entry.display_name = lpDisplayName && *lpDisplayName ? lpDisplayName : name;
  entry.binary_path = lpBinaryPathName;
  entry.account = lpServiceStartName ? lpServiceStartName : u"LocalSystem";
  entry.type = dwServiceType;
  entry.start_type = dwStartType;
  entry.error_control = dwErrorControl;
  entry.status = stopped_status(dwServiceType, ERROR_SERVICE_NEVER_STARTED);
  if (!write_entry(entry)) return fail_null(ERROR_CANTWRITE);
  return new_object(ObjectKind::Service, dwDesiredAccess, name);
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  PLATFORM_FAIL_IF_ARMED("OpenServiceW", nullptr);
  std::lock_guard lock(g_mutex);
  if (!find_object(hSCManager, ObjectKind::Manager)) return fail_null(ERROR_INVALID_HANDLE);
  if (!lpServiceName || !*lpServiceName) return fail_null(ERROR_INVALID_NAME);
  DatabaseLock db;
  auto entry = read_entry(entry_key(lpServiceName));
  if (!entry) return fail_null(ERROR_SERVICE_DOES_NOT_EXIST);
  return new_object(ObjectKind::Service, dwDesiredAccess, entry->name);
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  PLATFORM_FAIL_IF_ARMED("ControlService", FALSE);
  std::unique_lock lock(g_mutex);
  auto service = find_object(hService, ObjectKind::Service);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if (!lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
  if (dwControl != SERVICE_CONTROL_STOP) return fail(ERROR_INVALID_PARAMETER);
  if ((service->access & SERVICE_STOP) == 0) return fail(ERROR_ACCESS_DENIED);
  const std::u16string name = service->name;

  if (Host* host = hosted(name); host && host->is_dispatching) {
    *lpServiceStatus = host->last;
    if (DWORD refusal = check_stoppable(host->last, host->handler != nullptr)) return fail(refusal);
    const auto ticket = host->next_ticket++;
    host->queue.emplace_back(dwControl, ticket);
    g_changed.notify_all();
    // A handler that controls its own service must not wait for itself.
    if (host->dispatcher_thread != std::this_thread::get_id()) {
      const auto generation = g_generation;
      g_changed.wait(lock, [&] {
        return generation != g_generation || !g_host || !g_host->is_dispatching || g_host->handled_ticket >= ticket;
      });
    }
    if (g_host) *lpServiceStatus = g_host->last;
    return TRUE;
  }

  std::optional<Entry> entry;
  {
    DatabaseLock db;
    entry = read_entry(entry_key(name));
  }
  if (!entry) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
  if (!is_host_alive(*entry)) {
    *lpServiceStatus = stopped_status(entry->type, entry->status.dwWin32ExitCode);
    return fail(ERROR_SERVICE_NOT_ACTIVE);
  }
  *lpServiceStatus = entry->status;
  if (DWORD refusal = check_stoppable(entry->status, true)) return fail(refusal);
  lock.unlock();
  return control_other_process(name, dwControl, lpServiceStatus);
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  PLATFORM_FAIL_IF_ARMED("QueryServiceStatus", FALSE);
  std::lock_guard lock(g_mutex);
  auto service = find_object(hService, ObjectKind::Service);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if ((service->access & SERVICE_QUERY_STATUS) == 0) return fail(ERROR_ACCESS_DENIED);
  if (!lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
  if (Host* host = hosted(service->name); host && host->has_dispatched) {
    *lpServiceStatus = host->last;
    return TRUE;
  }
  DatabaseLock db;
  auto entry = read_entry(entry_key(service->name));
  if (!entry) {
    // Deleted since the handle was opened: what remains of it is a stopped service.
    *lpServiceStatus = stopped_status(SERVICE_WIN32_OWN_PROCESS, ERROR_SUCCESS);
  } else if (entry->status.dwCurrentState != SERVICE_STOPPED && !is_host_alive(*entry)) {
    // Its process ended without reporting.
    *lpServiceStatus = stopped_status(entry->type, ERROR_SUCCESS);
  } else {
    *lpServiceStatus = entry->status;
  }
  return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
  PLATFORM_FAIL_IF_ARMED("DeleteService", FALSE);
  std::lock_guard lock(g_mutex);
  auto service = find_object(hService, ObjectKind::Service);
  if (!service) return fail(ERROR_INVALID_HANDLE);
  if ((service->access & DELETE) == 0) return fail(ERROR_ACCESS_DENIED);
  DatabaseLock db;
  const auto key = entry_key(service->name);
  auto entry = read_entry(key);
  if (!entry || entry->delete_pending) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (entry->status.dwCurrentState != SERVICE_STOPPED && is_host_alive(*entry)) {
    entry->delete_pending = true;
    if (!write_entry(*entry)) return fail(ERROR_CANTWRITE);
  } else {
    remove_entry(key);
  }
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  PLATFORM_FAIL_IF_ARMED("CloseServiceHandle", FALSE);
  std::lock_guard lock(g_mutex);
  auto closed = platform::remove_handle(reinterpret_cast<platform::HandleValue>(hSCObject), [](const platform::HandleObject& object) {
    auto* sc_object = dynamic_cast<const ScObject*>(&object);
    return sc_object != nullptr && sc_object->kind != ObjectKind::StatusToken;
  });
  if (!closed) return fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

// ---- The hosted service -------------------------------------------------------------------

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  PLATFORM_FAIL_IF_ARMED("StartServiceCtrlDispatcherW", FALSE);
  if (!lpServiceStartTable) return fail(ERROR_INVALID_PARAMETER);
  std::unique_lock lock(g_mutex);
  if (!g_host) return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  if (g_host->is_dispatching || g_host->has_dispatched) return fail(ERROR_SERVICE_ALREADY_RUNNING);
  LPSERVICE_MAIN_FUNCTIONW service_main = nullptr;
  for (auto* entry = lpServiceStartTable; entry->lpServiceName; ++entry) {
    if (same_name(entry->lpServiceName, g_host->name)) {
      service_main = entry->lpServiceProc;
      break;
    }
  }
  if (!service_main) return fail(ERROR_SERVICE_NOT_IN_EXE);

  const auto generation = g_generation;
  Host& host = *g_host;
  host.is_dispatching = true;
  host.has_dispatched = true;
  host.dispatcher_thread = std::this_thread::get_id();
  // Until the service reports, the control manager shows it as starting.
  host.last = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  persist_status(host);
  const auto key = entry_key(host.name);
  bool is_installed;
  {
    DatabaseLock db;
    is_installed = read_entry(key).has_value();
  }

  std::vector<std::u16string> arguments{host.name};
  arguments.insert(arguments.end(), host.arguments.begin(), host.arguments.end());
  std::vector<LPWSTR> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::thread service_thread([service_main, &argv, generation] {
    service_main(static_cast<DWORD>(argv.size() - 1), argv.data());
    std::lock_guard done(g_mutex);
    if (g_host && g_generation == generation) g_host->has_main_returned = true;
    g_changed.notify_all();
  });

  auto run_handler = [&](DWORD control) {
    auto handler = host.handler;
    auto context = host.context;
    lock.unlock();
    handler(control, 0, nullptr, context);
    lock.lock();
  };
  while (g_host && g_generation == generation) {
    if (host.handler && !host.queue.empty()) {
      auto [control, ticket] = host.queue.front();
      host.queue.pop_front();
      run_handler(control);
      host.handled_ticket = ticket;
      g_changed.notify_all();
      continue;
    }
    if (host.has_main_returned && (host.last.dwCurrentState == SERVICE_STOPPED || !host.handler)) break;
    if (is_installed) {
      if (host.handler) {
        if (auto control = pending_cross_process_control(key)) {
          run_handler(*control);
          std::error_code ignored;
          fs::remove(control_path(key), ignored);
          continue;
        }
      }
      g_changed.wait_for(lock, kDispatcherPollInterval);
    } else {
      g_changed.wait(lock);
    }
  }
  lock.unlock();
  service_thread.join();
  lock.lock();
  if (g_host && g_generation == generation) {
    // A ServiceMain that returned without ever registering leaves a service that can never
    // report again; the control manager counts it as stopped.
    if (host.last.dwCurrentState != SERVICE_STOPPED) {
      host.last = stopped_status(SERVICE_WIN32_OWN_PROCESS, ERROR_SERVICE_REQUEST_TIMEOUT);
      persist_status(host);
    }
    host.is_dispatching = false;
    g_changed.notify_all();
  }
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext) {
  PLATFORM_FAIL_IF_ARMED("RegisterServiceCtrlHandlerExW", nullptr);
  if (!lpServiceName || !lpHandlerProc) return fail_null(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(g_mutex);
  Host* host = hosted(lpServiceName);
  if (!host || !host->is_dispatching) return fail_null(ERROR_SERVICE_DOES_NOT_EXIST);
  host->handler = lpHandlerProc;
  host->context = lpContext;
  if (host->status_token == 0) {
    host->status_token = platform::insert_handle(std::make_shared<ScObject>(ObjectKind::StatusToken, 0, host->name));
  }
  g_changed.notify_all();
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(host->status_token);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  PLATFORM_FAIL_IF_ARMED("SetServiceStatus", FALSE);
  std::lock_guard lock(g_mutex);
  if (!hServiceStatus || !g_host || reinterpret_cast<std::uintptr_t>(hServiceStatus) != g_host->status_token) {
    return fail(ERROR_INVALID_HANDLE);
  }
  if (!lpServiceStatus) return fail(ERROR_INVALID_PARAMETER);
  if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED || lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
    return fail(ERROR_INVALID_DATA);
  }
  g_host->last = *lpServiceStatus;
  g_host->reports.push_back(*lpServiceStatus);
  persist_status(*g_host);
  g_changed.notify_all();
  return TRUE;
}

// ---- sim's side ---------------------------------------------------------------------------

namespace platform::services {

void host(std::u16string name, std::vector<std::u16string> arguments) {
  std::lock_guard lock(g_mutex);
  g_host.emplace();
  g_host->name = std::move(name);
  g_host->arguments = std::move(arguments);
  g_changed.notify_all();
}

bool post_control(const std::u16string& name, DWORD control) {
  std::lock_guard lock(g_mutex);
  Host* host = hosted(name);
  if (!host) return false;
  host->queue.emplace_back(control, host->next_ticket++);
  g_changed.notify_all();
  return true;
}

std::vector<SERVICE_STATUS> reports(const std::u16string& name) {
  std::lock_guard lock(g_mutex);
  Host* host = hosted(name);
  return host ? host->reports : std::vector<SERVICE_STATUS>{};
}

bool wait_for_state(const std::u16string& name, DWORD state, std::chrono::milliseconds timeout) {
  std::unique_lock lock(g_mutex);
  return g_changed.wait_for(lock, timeout, [&] {
    Host* host = hosted(name);
    if (!host) return false;
    for (const auto& report : host->reports) {
      if (report.dwCurrentState == state) return true;
    }
    return false;
  });
}

}  // namespace platform::services
