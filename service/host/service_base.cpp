#include "service_base.h"

#include <stdexcept>
#include <string>

#include "log_writer.h"
#include "logged_call.h"
#include "stop_flag.h"
#include "util.h"

CQLXServiceBase* CQLXServiceBase::s_service = nullptr;
DWORD CQLXServiceBase::s_checkPoint = 1;

namespace {

// The name as the log shows it; a name that is not valid UTF-16 must not stop the service.
std::string NarrowName(LPCWSTR name) {
  try {
    return Util::to_string(WString(name));
  } catch (const std::exception&) {
    return "?";
  }
}

}  // namespace

CQLXServiceBase::CQLXServiceBase(LPCWSTR serviceName, BOOL canStop, BOOL canShutdown, BOOL canPauseContinue)
    : m_name(serviceName), m_status{}, m_statusHandle(nullptr) {
  FunctionTrace trace("CQLXServiceBase::CQLXServiceBase");
  if (serviceName == nullptr) throw std::invalid_argument("Sevice name cannot be NULL");
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_START_PENDING;
  DWORD accepted = SERVICE_ACCEPT_POWEREVENT;
  if (canStop) accepted |= SERVICE_ACCEPT_STOP;
  if (canShutdown) accepted |= SERVICE_ACCEPT_SHUTDOWN;
  if (canPauseContinue) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  m_status.dwControlsAccepted = accepted;
  WriteLog(LOG_INFO, "INFO # CConduitBase::CQLXServiceBase # ServiceName is %s", NarrowName(m_name).c_str());
}

CQLXServiceBase::~CQLXServiceBase() {
  // Guards against a dangling instance pointer once the served object is gone.
  if (s_service == this) s_service = nullptr;
}

BOOL CQLXServiceBase::Run() {
  WriteLog(LOG_DEBUG, "DEBUG #  Entering  function %s", "CQLXServiceBase::Run");
  s_service = this;
  WriteLog(LOG_INFO, "INFO # CConduitBase::Run # serviceName = %s", NarrowName(m_name).c_str());
  SERVICE_TABLE_ENTRYW serviceTable[] = {{const_cast<LPWSTR>(m_name), ServiceMain}, {nullptr, nullptr}};
  const BOOL result = StartServiceCtrlDispatcherW(serviceTable);
  // The caller reads GetLastError after a failed run; writing the log must not change it.
  const DWORD error = GetLastError();
  WriteLog(LOG_DEBUG, "DEBUG #  Exiting function %s", "CQLXServiceBase::Run");
  SetLastError(error);
  return result;
}

void WINAPI CQLXServiceBase::ServiceMain(DWORD argc, LPWSTR* argv) {
  FunctionTrace trace("CQLXServiceBase::ServiceMain");
  if (argv == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return;
  }
  // Guards against a crash when no instance is served: the check holds in every build.
  if (s_service == nullptr) {
    WriteLog(LOG_ERROR, "ERROR # CQLXServiceBase::ServiceMain # Assertion failed: s_service != NULL");
    return;
  }
  s_service->m_statusHandle = RegisterServiceCtrlHandlerExW(s_service->m_name, ServiceControlHandler, nullptr);
  // Guards against starting a service that can neither report nor receive controls.
  if (s_service->m_statusHandle == nullptr) {
    WriteLog(LOG_ERROR, "ERROR # CQLXServiceBase::ServiceMain # RegisterServiceCtrlHandlerExW failed w/err %lu",
             static_cast<unsigned long>(GetLastError()));
    return;
  }
  s_service->Start(argc, argv);
}

DWORD WINAPI CQLXServiceBase::ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  FunctionTrace trace("CQLXServiceBase::ServiceControlHandler");
  // Guards against a control arriving after the served object has gone.
  if (s_service == nullptr) return 1;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      s_service->Stop();
      break;
    case SERVICE_CONTROL_PAUSE:
      s_service->Pause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      s_service->Continue();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      s_service->Shutdown();
      break;
    default:
      break;
  }
  return 1;
}

void CQLXServiceBase::Start(DWORD argc, LPWSTR* argv) {
  FunctionTrace trace("CQLXServiceBase::Start");
  if (argv == nullptr) {
    WriteLog(LOG_ERROR, "Error # Invalid parameters");
    return;
  }
  try {
    SetServiceStatus(SERVICE_START_PENDING);
    OnStart(argc, argv);
    SetServiceStatus(SERVICE_RUNNING);
  } catch (const std::exception& e) {
    LogStandardException("CQLXServiceBase::Start", e);
    SetServiceStatus(SERVICE_STOPPED);
  } catch (...) {
    LogGenericException("CQLXServiceBase::Start");
    SetServiceStatus(SERVICE_STOPPED);
  }
}

void CQLXServiceBase::Stop() {
  FunctionTrace trace("CQLXServiceBase::Stop");
  const DWORD originalState = m_status.dwCurrentState;
  try {
    SetServiceStatus(SERVICE_STOP_PENDING);
    OnStop();
    SetServiceStatus(SERVICE_STOPPED);
    WriteLog(LOG_INFO, "INFO # Conduit stopped successfully");
  } catch (const std::exception& e) {
    LogStandardException("CQLXServiceBase::Stop", e);
    SetServiceStatus(originalState);
  } catch (...) {
    LogGenericException("CQLXServiceBase::Stop");
    SetServiceStatus(originalState);
  }
}

void CQLXServiceBase::Pause() {
  FunctionTrace trace("CQLXServiceBase::Pause");
  try {
    SetServiceStatus(SERVICE_PAUSE_PENDING);
    OnPause();
    SetServiceStatus(SERVICE_PAUSED);
  } catch (const std::exception& e) {
    LogStandardException("CQLXServiceBase::Pause", e);
    SetServiceStatus(SERVICE_RUNNING);
  } catch (...) {
    LogGenericException("CQLXServiceBase::Pause");
    SetServiceStatus(SERVICE_RUNNING);
  }
}

void CQLXServiceBase::Continue() {
  FunctionTrace trace("CQLXServiceBase::Continue");
  try {
    SetServiceStatus(SERVICE_CONTINUE_PENDING);
    OnContinue();
    SetServiceStatus(SERVICE_RUNNING);
  } catch (const std::exception& e) {
    LogStandardException("CQLXServiceBase::Continue", e);
    SetServiceStatus(SERVICE_STOPPED);
  } catch (...) {
    LogGenericException("CQLXServiceBase::Continue");
    SetServiceStatus(SERVICE_STOPPED);
  }
}

void CQLXServiceBase::Shutdown() {
  FunctionTrace trace("CQLXServiceBase::Shutdown");
  LoggedAndDropped("CQLXServiceBase::Shutdown", [&] {
    OnShutdown();
    SetServiceStatus(SERVICE_STOPPED);
    WriteLog(LOG_INFO, "INFO # Conduit shutdown successfully");
  });
}

void CQLXServiceBase::SetServiceStatus(DWORD currentState, DWORD win32ExitCode, DWORD waitHint) {
  FunctionTrace trace("CQLXServiceBase::SetServiceStatus");
  m_status.dwCurrentState = currentState;
  m_status.dwWin32ExitCode = win32ExitCode;
  m_status.dwWaitHint = waitHint;
  m_status.dwCheckPoint =
      (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) ? 0 : s_checkPoint++;
  ::SetServiceStatus(m_statusHandle, &m_status);
}

void CQLXServiceBase::OnStart(DWORD, LPWSTR*) {}

void CQLXServiceBase::OnStop() {
  LoggedAndDropped("CQLXServiceBase::OnStop", [&] {
    ServiceStopRequested().store(true);
  });
}

void CQLXServiceBase::OnPause() {}

void CQLXServiceBase::OnContinue() {}

void CQLXServiceBase::OnShutdown() {}
