#include "launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "conduit_main.h"
#include "demo_events.h"
#include "demo_providers.h"
#include "target_actions.h"
#include "tessera/model.h"
#include "txr_boot.h"
#include "sim/registry.h"
#include "sim/services.h"
#include "sim/sim.h"
#include "windows.h"

namespace conduit::target {
namespace {

constexpr char16_t kServiceName[] = u"Orvix(R) Trace Redirect Service";
constexpr char kPortKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera";
constexpr char kPortValue[] = "ETWConduit_PortNumber";

namespace fs = std::filesystem;

// What an installation places next to the service when no --config is given: information
// and above in the log, and the service's documented defaults spelled out.
constexpr char kDefaultConfiguration[] = R"(<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <appSettings>
    <add key="LogLevel" value="1"/>
    <add key="DefaultTraceSinkType" value="2"/>
    <add key="DefaultTraceLevel" value="4"/>
    <add key="DefaultMatchAnyKeyword" value="0"/>
    <add key="DefaultMatchAllKeyword" value="0"/>
  </appSettings>
</configuration>
)";

// Registers the service as `conduit -install` would, so that the control manager's
// database shows it; an existing entry is kept.
void install_service(const fs::path& executable) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!manager) throw std::runtime_error("OpenSCManagerW failed with " + std::to_string(GetLastError()));
  const std::string path = executable.string();
  const std::u16string widePath(path.begin(), path.end());
  SC_HANDLE service = CreateServiceW(manager, kServiceName, kServiceName, SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, widePath.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  const DWORD error = GetLastError();
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!service && error != ERROR_SERVICE_EXISTS) {
    throw std::runtime_error("CreateServiceW failed with " + std::to_string(error));
  }
}

template <typename Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Runs the script's lines, then standard input's until it ends or `stop` is set. Standard
// input is polled, so that a stop never waits for a line that does not come.
void run_actions(const std::string& script, const std::atomic<bool>& stop) {
  TargetActions actions(std::cout);
  if (!script.empty()) {
    std::ifstream in(script);
    for (std::string line; !stop && std::getline(in, line);) actions.run(line);
  }
  std::string pending;
  char buffer[4096];
  while (!stop) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) return;  // end of input: the target runs on until it is stopped
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      actions.run(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
}

// Holds the root for this launcher: a second one on the same root would reset the running
// target's files (its log first). The lock ends with the process, however it ends.
class RootLock {
 public:
  // Empty when taken; otherwise why not.
  std::string take(const fs::path& root) {
    std::error_code error;
    fs::create_directories(root, error);
    if (error) return "cannot create " + root.string() + ": " + error.message();
    const fs::path file = root / ".conduit-target.lock";
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return "cannot open " + file.string() + ": " + std::strerror(errno);
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      char owner[32] = {};
      const ssize_t got = ::pread(fd_, owner, sizeof owner - 1, 0);
      std::string pid = got > 0 ? std::string(owner, static_cast<std::size_t>(got)) : std::string("?");
      while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
      return root.string() + " is in use by another conduit-target (process " + pid +
             "); stop it or give another --root";
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) < 0) {
      // The lock holds without the note of who holds it.
    }
    return {};
  }
  ~RootLock() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_ = -1;
};

// The service's own words on why it does not listen: its last log line about the socket,
// after `from` (where this run's lines begin in a reused root's log).
std::string listen_failure(const fs::path& log, std::uintmax_t from) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(log, error);
  if (error) return {};
  std::ifstream in(log);
  // A log that grew too large starts afresh: then all of it is this run's.
  if (from <= size) in.seekg(static_cast<std::streamoff>(from));
  std::string found;
  for (std::string line; std::getline(in, line);) {
    if (line.find("bind failed") != std::string::npos || line.find("listen failed") != std::string::npos ||
        line.find("getaddrinfo failed") != std::string::npos || line.find("socket failed") != std::string::npos) {
      found = line;
    }
  }
  while (!found.empty() && (found.back() == '\r' || found.back() == '\n')) found.pop_back();
  return found;
}

}  // namespace

int run_target(int argc, char** argv) {
  std::string root = (fs::current_path() / "conduit-target-root").string();
  unsigned port = 0;
  std::string config;
  unsigned startTimeoutMs = 10000;
  std::string manifests = default_manifest_folder().string();
  CLI::App app{"The virtual target with the Conduit service running on it", "conduit-target"};
  app.add_option("--root", root, "target root folder (created when missing, reused otherwise)")->capture_default_str();
  app.add_option("--port", port,
                 "set the service's port in the registry first (the service takes 1024 to 49151 and listens on "
                 "its default 20950 otherwise)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--config", config,
                 "configuration file to install as Conduit.exe.config (default: one with LogLevel 1)")
      ->check(CLI::ExistingFile);
  app.add_option("--manifests", manifests, "folder of the demo manifests (*.man) installed at boot")
      ->capture_default_str()
      ->check(CLI::ExistingDirectory);
  unsigned rate = DemoEvents::kDefaultRate;
  app.add_option("--rate", rate, "demo events per second, all demo providers together (0: none)")
      ->capture_default_str();
  app.add_option("--start-timeout-ms", startTimeoutMs, "how long the service may take to listen")
      ->capture_default_str();
  std::string script;
  app.add_option("--script", script,
                 "target-side actions to run once the service listens, one a line (then standard input's)")
      ->check(CLI::ExistingFile);
  bool noTxr = false;
  bool acpi = false;
  app.add_flag("--no-txr", noTxr, "boot without TXR: the hardware sink is absent, as on a machine without the block");
  app.add_flag("--acpi", acpi, "enumerate the Tessera as an ACPI device (default: a PCI function)");
  bool alwaysOn = false;
  app.add_flag("--always-on", alwaysOn, "TXR's TXRAllwaysON value 1: the platform keeps the Tessera powered in sleep");
  std::string configurationWord;
  app.add_option("--config-word", configurationWord,
                 "the 64-bit configuration word the firmware leaves in the Tessera's scratchpad (decimal or 0x hex)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  // Signals are taken by sigwait on this thread only; every thread started later inherits
  // the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  RootLock rootLock;
  if (const std::string refused = rootLock.take(fs::absolute(root)); !refused.empty()) {
    std::cerr << "conduit-target: " << refused << "\n";
    return 1;
  }

  try {
    sim::reset(fs::absolute(root));
    const fs::path installDir = sim::target_root() / "Program Files" / "Orvix" / "Conduit";
    fs::create_directories(installDir);
    const fs::path executable = installDir / "Conduit.exe";
    sim::set_module_path(executable);
    const fs::path installedConfig = installDir / "Conduit.exe.config";
    if (!config.empty()) {
      fs::copy_file(config, installedConfig, fs::copy_options::overwrite_existing);
    } else if (!fs::exists(installedConfig)) {
      std::ofstream(installedConfig) << kDefaultConfiguration;
    }
    if (port != 0) sim::set_registry_dword(kPortKey, kPortValue, port);
    install_service(executable);
    install_demo_providers(manifests);
    install_txr_manifest();
    // A service runs in the system directory, where its manifest files land.
    const fs::path systemDirectory = sim::target_root() / "Windows" / "System32";
    fs::create_directories(systemDirectory);
    fs::current_path(systemDirectory);
  } catch (const std::exception& e) {
    std::cerr << "conduit-target: " << e.what() << "\n";
    return 1;
  }

  // The kernel loads its drivers before the control manager starts services.
  if (!noTxr) {
    TxrBootOptions options;
    options.acpi = acpi;
    options.always_on = alwaysOn;
    if (!configurationWord.empty()) {
      try {
        std::size_t used = 0;
        options.configuration_word = std::stoull(configurationWord, &used, 0);
        if (used != configurationWord.size()) throw std::invalid_argument(configurationWord);
      } catch (const std::exception&) {
        std::cerr << "conduit-target: --config-word: not a number: " << configurationWord << "\n";
        return 2;
      }
    }
    const std::string failure = load_txr(options, std::cout);
    if (!failure.empty()) {
      std::cerr << "conduit-target: " << failure << "\n";
      return 1;
    }
  } else {
    std::cout << "conduit-target: booted without TXR" << std::endl;
  }

  const fs::path serviceLog = sim::target_root() / "ProgramData" / "Conduit_logs.txt";
  std::error_code noLog;
  const std::uintmax_t logSize = fs::file_size(serviceLog, noLog);
  const std::uintmax_t logStart = noLog ? 0 : logSize;
  sim::host_service(kServiceName);
  std::atomic<bool> entryReturned{false};
  std::thread entry([&] {
    WCHAR name[] = u"Conduit.exe";
    WCHAR* args[] = {name, nullptr};
    wmain(1, args);
    std::cout.flush();
    entryReturned = true;
  });

  std::atomic<bool> stopActions{false};
  std::thread actions;
  int exitCode = 0;
  const auto timeout = std::chrono::milliseconds(startTimeoutMs);
  unsigned listeningPort = 0;
  // The service's own socket, not whatever answers on the port: another target may hold it.
  // A service that stopped, or that logged why it cannot listen (it keeps running without
  // its listener then), ends the wait at once.
  const auto reported = [&](DWORD state) {
    for (const SERVICE_STATUS& report : sim::service_status_reports(kServiceName)) {
      if (report.dwCurrentState == state) return true;
    }
    return false;
  };
  const auto stopped = [&] {
    return reported(SERVICE_STOPPED) || entryReturned.load() || !listen_failure(serviceLog, logStart).empty();
  };
  wait_until(
      [&] {
        const std::vector<unsigned> ports = sim::listening_ports();
        if (!ports.empty()) listeningPort = ports.front();
        return listeningPort != 0 || stopped();
      },
      timeout);
  if (listeningPort != 0) {
    if (port != 0 && listeningPort != port) {
      std::cout << "conduit-target: the service does not take port " << port
                << " (it takes 1024 to 49151) and listens on its default " << listeningPort << " instead"
                << std::endl;
    }
    // Run while the service does: providers of every kind for the host to enable and redirect.
    std::optional<DemoEvents> demoEvents;
    try {
      demoEvents.emplace(&std::cout);
    } catch (const std::exception& e) {
      std::cerr << "conduit-target: " << e.what() << "\n";
    }
    if (demoEvents) {
      for (const DemoEvents::Provider& provider : DemoEvents::kProviderTable) {
        std::cout << "conduit-target: demo provider " << provider.name << " " << provider.guidText << " registered"
                  << std::endl;
      }
      std::cout << "conduit-target: writing " << rate << " demo events per second" << std::endl;
      demoEvents->Start(rate);
    }
    std::cout << "conduit-target: listening on 127.0.0.1:" << listeningPort << std::endl;
    std::cout << "conduit-target: log file " << (sim::target_root() / "ProgramData" / "Conduit_logs.txt").string()
              << std::endl;
    // Target-side actions: the script's, then standard input's, on a thread of their own so
    // that a wait in a script never holds up a stop signal.
    actions = std::thread([&] { run_actions(script, stopActions); });
    // Wait for a stop signal, or for the service to end by itself. The capture is flushed
    // as the loop goes, so that a host following it sees what the block emitted.
    timespec poll{0, 100 * 1000 * 1000};
    while (!entryReturned) {
      int signal = sigtimedwait(&stopSignals, nullptr, &poll);
      if (signal == SIGINT || signal == SIGTERM) break;
      tessera::model().flush_capture();
    }
    if (entryReturned) {
      std::cerr << "conduit-target: the service stopped by itself\n";
      exitCode = 1;
    }
  } else {
    const fs::path& log = serviceLog;
    const std::string why = listen_failure(log, logStart);
    std::cerr << "conduit-target: the service did not start listening"
              << (why.empty() ? std::string() : ": " + why)
              << (why.find("10048") != std::string::npos ? " (the port is in use by another process)" : "")
              << "; see " << log.string() << "\n";
    exitCode = 1;
  }

  stopActions = true;
  if (actions.joinable()) actions.join();
  if (!entryReturned) {
    // A stop that arrives while the service still reports its start is not taken (as on
    // Windows), and a service whose listener failed may not have reported running yet.
    wait_until([&] { return reported(SERVICE_RUNNING) || reported(SERVICE_STOPPED) || entryReturned.load(); },
               timeout);
    sim::send_service_control(kServiceName, SERVICE_CONTROL_STOP);
  }
  entry.join();
  if (!noTxr && !unload_txr(std::cout)) exitCode = 1;
  std::cout << "conduit-target: stopped" << std::endl;
  return exitCode;
}

}  // namespace conduit::target
