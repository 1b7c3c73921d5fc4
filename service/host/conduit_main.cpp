#include "conduit_main.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "log_writer.h"
#include "qlx_windows_service.h"
#include "util.h"

namespace {

constexpr DWORD kEnvironmentBufferSize = 65535;

// The log lives in the machine-wide application-data folder, or in the working directory
// when there is none.
std::string LogFilePath() {
  std::vector<WCHAR> buffer(kEnvironmentBufferSize);
  const DWORD length = GetEnvironmentVariableW(TEXT("PROGRAMDATA"), buffer.data(), kEnvironmentBufferSize);
  // Guards against building the path from a buffer the call did not fill (value too long).
  if (length == 0 || length >= kEnvironmentBufferSize) return LOG_FILE_NAME;
  try {
    return Util::to_string(WString(buffer.data(), std::min(length, kEnvironmentBufferSize))) + "\\" +
           LOG_FILE_NAME;
  } catch (const std::exception&) {
    // Guards against a process that dies before it starts because the folder's name is not
    // valid UTF-16.
    return LOG_FILE_NAME;
  }
}

bool IsSwitch(const WCHAR* option, const WCHAR* longForm, const WCHAR* shortForm) {
  return _wcsicmp(option, longForm) == 0 || _wcsicmp(option, shortForm) == 0;
}

void RunService() {
  std::cout << "Parameters:\n"
            << " -install  to install the service.\n"
            << " -remove   to remove the service.\n"
            << " SERVICE THREAD IS RUNNING IN EXE FOR TESTING\n";
  QLXWindowsService service(CONDUIT_SERVICE_NAME, TRUE, TRUE, FALSE);
  if (!service.Run()) {
    std::cout << "Service failed to run w/err " << GetLastError() << "\n" << std::flush;
    std::printf("Service failed to run w/err : %lu", static_cast<unsigned long>(GetLastError()));
  }
}

}  // namespace

bool InstallService() {
  WCHAR modulePath[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  // Guards against installing a truncated path, which the control manager could not start.
  if (length == 0 || length >= MAX_PATH) {
    std::cout << "GetModuleFileName failed w/err " << (length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER)
              << "\n"
              << std::flush;
    return false;
  }
  WString binaryPath(modulePath, length);
  // Guards against the control manager starting another program from a prefix of an
  // unquoted path with blanks ("C:\Program.exe").
  if (binaryPath.find(TEXT(' ')) != WString::npos) binaryPath = TEXT("\"") + binaryPath + TEXT("\"");

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  SC_HANDLE service = CreateServiceW(manager, CONDUIT_SERVICE_NAME, CONDUIT_SERVICE_NAME, SERVICE_QUERY_STATUS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr) {
    std::printf("CreateService failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    CloseServiceHandle(manager);
    return false;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return true;
}

bool UninstallService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed w/err 0x%08lx\n", static_cast<unsigned long>(GetLastError()));
    return false;
  }
  SC_HANDLE service = OpenServiceW(manager, CONDUIT_SERVICE_NAME, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    std::printf("Stopping %s.", CONDUIT_SERVICE_NAME_A);
    Sleep(1000);
    while (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
      std::printf(".");
      Sleep(1000);
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      std::printf("%s is stopped.", CONDUIT_SERVICE_NAME_A);
    } else {
      std::printf("%s failed to stop.", CONDUIT_SERVICE_NAME_A);
    }
  }
  const bool deleted = DeleteService(service) != FALSE;
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return deleted;
}

int wmain(int argc, WCHAR* argv[]) {
  SetLogFilePath(LogFilePath());

  if (argc < 2 || argv[1] == nullptr || (argv[1][0] != TEXT('-') && argv[1][0] != TEXT('/'))) {
    try {
      RunService();
    } catch (const std::exception& e) {
      // Guards against an exception ending the process with something other than 0.
      LogStandardException("Conduit::wmain", e);
    } catch (...) {
      LogGenericException("Conduit::wmain");
    }
    return 0;
  }

  const WCHAR* option = argv[1] + 1;
  if (IsSwitch(option, TEXT("install"), TEXT("i"))) {
    std::cout << "calling Redirect Service installer\n" << std::flush;
    const bool installed = InstallService();
    std::cout << (installed ? "Redirect Service Installed Successfully" : "Failed to install Redirect Service")
              << std::flush;
  } else if (IsSwitch(option, TEXT("remove"), TEXT("r"))) {
    const bool removed = UninstallService();
    std::cout << (removed ? "Redirect Service UnInstalled Successfully" : "Failed to uninstall Redirect Service")
              << std::flush;
  }
  return 0;
}
