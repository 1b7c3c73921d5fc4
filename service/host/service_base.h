// The reusable base of a Windows own-process service: connects the process to the service
// control manager, runs the start and stop sequences, reports every state change, and turns
// control codes into calls of its virtual hooks.
//
// Lifecycle: the derived service is constructed on the entry thread, which then calls Run();
// Run blocks in the control dispatcher until the service has reported SERVICE_STOPPED.
// ServiceMain (and with it Start and OnStart) runs on a thread the control manager creates;
// ServiceControlHandler (and with it Stop, Pause, Continue, Shutdown and their hooks) runs on
// the dispatcher thread. Only one instance is served per process: the dispatcher callbacks
// find it through s_service, which Run sets. The name is borrowed: the caller keeps it alive
// for the life of the object.
#pragma once

#include "windows.h"

class CQLXServiceBase {
 public:
  // Throws std::invalid_argument("Sevice name cannot be NULL") for a null name.
  CQLXServiceBase(LPCWSTR serviceName, BOOL canStop = TRUE, BOOL canShutdown = TRUE, BOOL canPauseContinue = FALSE);
  virtual ~CQLXServiceBase();

  CQLXServiceBase(const CQLXServiceBase&) = delete;
  CQLXServiceBase& operator=(const CQLXServiceBase&) = delete;

  // Hands the calling thread to the control dispatcher until the service has stopped.
  // FALSE when the process was not started by the control manager; GetLastError tells why.
  BOOL Run();

  // The dispatcher's entry for the service thread, and the control handler it registers.
  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

 protected:
  virtual void OnStart(DWORD argc, LPWSTR* argv);
  // Sets the process-wide stop request.
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();

  void Start(DWORD argc, LPWSTR* argv);
  void Stop();
  void Pause();
  void Continue();
  void Shutdown();

  // Records the state in m_status and reports it; pending states carry the next value of
  // the process-wide check-point counter, running and stopped carry 0.
  void SetServiceStatus(DWORD currentState, DWORD win32ExitCode = 0, DWORD waitHint = 0);

  static CQLXServiceBase* s_service;
  // Starts at 1 and is shared by every pending report of the process.
  static DWORD s_checkPoint;

  LPCWSTR m_name;
  SERVICE_STATUS m_status;
  SERVICE_STATUS_HANDLE m_statusHandle;
};
