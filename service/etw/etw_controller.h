// The service's single owner of ETW control: one real-time session, the providers enabled
// in it and its redirect to a trace sink.
//
// Lifecycle: one process-wide instance, made by the first getInstance() (the service
// object's constructor, before any client thread exists, so creation takes no lock) and
// destroyed by deleteInstance() from the service object's destructor. Every operation is
// serialised by the controller's own critical section; it is the outer lock whenever a
// redirect's own lock is taken too.
//
// The controller tracks one session: a start records the requested name at once (also
// when the start then fails) and the handle only on success; a stop keeps both, so a
// second stop asks the platform again and returns its answer. The session outlives the
// service: the next start under the same name stops it first.
//
// Results are Win32 status codes: 0 success, 1 stop before any start, 6 redirect without
// name or sink, 14 redirect not creatable, 87 empty, unmatched or too long name, 1359 for a
// redirect of another name than the started session's or after a caught exception, 14 when a properties block cannot be allocated; anything else is the
// platform's.
#pragma once

#include <memory>

#include "windows.h"
#include "evntrace.h"

class CEtwAdapter;
class DeviceBase;

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

  // The recorded handle when `name` matches the recorded name (case ignored), else 0.
  TRACEHANDLE GetSessionHandle(LPCWSTR name);
  // Fills a session properties block of `size` bytes for a real-time session.
  void InitSessionProperties(PEVENT_TRACE_PROPERTIES properties, ULONG size);
  ULONG StartSession(LPCWSTR name);
  ULONG StopSession(LPCWSTR name);
  ULONG EnableProvider(const GUID& provider, UCHAR level, ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword,
                       PENABLE_TRACE_PARAMETERS parameters);
  ULONG DisableProvider(const GUID& provider);
  // The redirect of the session into `sink`: a new consumer adapter replaces the current
  // one (which is stopped first). 0, 6 without name or sink, 1359 when `name` is not the
  // started session's (case ignored; the current redirect is kept), 14 when the adapter
  // cannot be made, else the adapter's start status (1359).
  ULONG RedirectTrace(LPCWSTR name, const std::shared_ptr<DeviceBase>& sink);

 private:
  CEtwController();
  ~CEtwController();

  // Step 3 of a start: the current redirect stops and is forgotten.
  void DropRedirect();

  WCHAR _sessionName[kSessionNameLength];
  TRACEHANDLE _sessionHandle = 0;
  // Shared with the redirect's consumer thread, which may outlive the controller's share.
  std::shared_ptr<CEtwAdapter> _etwAdapter;
  CRITICAL_SECTION _lock;
  // The critical section is deleted only when it was made.
  bool _lockInitialised = false;
};
