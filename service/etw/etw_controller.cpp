#include "etw_controller.h"

#include "log_writer.h"
#include "process_singleton.h"

CEtwController* CEtwController::getInstance() {
  return ProcessSingleton<CEtwController>::Get("CEtwController::getInstance",
                                               [] { return new CEtwController(); });
}

void CEtwController::deleteInstance() {
  delete ProcessSingleton<CEtwController>::Take();
}

CEtwController::CEtwController() : _sessionName{} {
  FunctionTrace trace("CEtwController::CEtwController");
  _lockInitialised = InitializeCriticalSectionAndSpinCount(&_lock, 1024) != FALSE;
  if (!_lockInitialised) {
    WriteLog(LOG_ERROR, "ERROR # %s# InitializeCriticalSectionAndSpinCount Failed %d",
             "CEtwController::CEtwController", static_cast<int>(GetLastError()));
  }
}

CEtwController::~CEtwController() {
  FunctionTrace trace("CEtwController::~CEtwController");
  if (_lockInitialised) {
    DeleteCriticalSection(&_lock);
  }
  // The redirect is dropped with its session's later work; nothing exists to drop yet.
  _etwAdapter = nullptr;
}
