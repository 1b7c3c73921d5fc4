// The service's single owner of ETW control: one real-time session, the providers enabled
// in it and its redirect to a trace sink.
//
// Lifecycle: one process-wide instance, made by the first getInstance() (the service
// object's constructor, before any client thread exists, so creation takes no lock) and
// destroyed by deleteInstance() from the service object's destructor. Every operation is
// serialised by the controller's own critical section.
#pragma once

#include "windows.h"

class CEtwAdapter;

class CEtwController {
 public:
  static constexpr DWORD kSessionNameLength = 1024;

  // The process-wide controller, created on the first call; null when creation failed
  // (the failure is logged).
  static CEtwController* getInstance();
  // Destroys the controller and clears the process-wide pointer; nothing when there is none.
  static void deleteInstance();
  // The same release under the name the teardown code of other layers uses.
  static void releaseInstance() { deleteInstance(); }

  CEtwController(const CEtwController&) = delete;
  CEtwController& operator=(const CEtwController&) = delete;

 private:
  CEtwController();
  ~CEtwController();

  WCHAR _sessionName[kSessionNameLength];
  ULONG64 _sessionHandle = 0;
  CEtwAdapter* _etwAdapter = nullptr;
  CRITICAL_SECTION _lock;
  // The critical section is deleted only when it was made.
  bool _lockInitialised = false;
};
