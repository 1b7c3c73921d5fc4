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
// The platform stops sessions by name (a handle counts only without one), so a stop first
// asks whose session runs under the name now: one that another owner started there (after
// this service's session of that name ended, or when this service's last start failed) is
// left running, and the answer is 4201 as for a session that is gone.
//
// Dropping the redirect (a start, a stop, a new redirect) closes its consumer and waits, up
// to kRedirectEndWait, until its writer wrote what was queued and both its threads ended,
// so that the sink is free before anything opens the next one (the plain file sink opens
// "<session>.bin" without sharing). A redirect that does not end in time is logged and kept;
// a new redirect then waits for it once more and is refused with 170 (ERROR_BUSY) while it
// still runs.
//
// Results are Win32 status codes: 0 success, 1 stop before any start, 6 redirect without
// name or sink, 14 redirect not creatable or properties block not allocatable, 87 empty,
// unmatched or too long name, 170 a redirect while the previous one still runs, 1359 for a
// redirect of another name than the started session's or after a caught exception, 4201 a
// stop of a name that another owner's session holds now; anything else is the platform's.
#pragma once

#include <memory>

#include "windows.h"
#include "evntrace.h"

class CEtwAdapter;
class DeviceBase;

class CEtwController {
 public:
  static constexpr DWORD kSessionNameLength = 1024;
  // How long a drop waits for the redirect's threads, in milliseconds.
  static constexpr DWORD kRedirectEndWait = 5000;

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

  // For tests: how long a drop waits for the redirect's threads.
  void SetRedirectEndWaitForTesting(DWORD milliseconds) { _redirectEndWait = milliseconds; }

 private:
  CEtwController();
  ~CEtwController();

  // Step 3 of a start: the current redirect stops and is forgotten (see the header comment).
  void DropRedirect();
  // True when the session running under `name` now is not the one this controller started;
  // false when it is, when none runs, or when the platform does not say.
  bool AnotherOwnsTheName(LPCWSTR name, PEVENT_TRACE_PROPERTIES block, ULONG size);

  WCHAR _sessionName[kSessionNameLength];
  TRACEHANDLE _sessionHandle = 0;
  // Shared with the redirect's consumer thread, which may outlive the controller's share.
  std::shared_ptr<CEtwAdapter> _etwAdapter;
  // A dropped redirect whose threads did not end within the wait, or whose consumer could not
  // be closed; its sink is still in use.
  std::shared_ptr<CEtwAdapter> _endingRedirect;
  // Whether `_endingRedirect` was kept because its consumer could not be closed: its loop
  // then ends with the session, which a stop waits for (a sink that is merely slow is not
  // waited for twice).
  bool _endingWithTheSession = false;
  DWORD _redirectEndWait = kRedirectEndWait;
  CRITICAL_SECTION _lock;
  // The critical section is deleted only when it was made.
  bool _lockInitialised = false;
};
