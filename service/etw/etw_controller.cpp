#include "etw_controller.h"

#include <new>

#include "log_writer.h"

namespace {

CEtwController* s_controller = nullptr;

}  // namespace

CEtwController* CEtwController::getInstance() {
  try {
    if (s_controller == nullptr) {
      s_controller = new CEtwController();
    }
    return s_controller;
  } catch (const std::exception& e) {
    LogStandardException("CEtwController::getInstance", e);
  } catch (...) {
    LogGenericException("CEtwController::getInstance");
  }
  return nullptr;
}

void CEtwController::deleteInstance() {
  CEtwController* controller = s_controller;
  s_controller = nullptr;
  delete controller;
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
