#include "etw_controller.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "etw_adapter.h"
#include "log_writer.h"
#include "logged_call.h"
#include "process_singleton.h"
#include "section_guard.h"
#include "strsafe.h"
#include "util.h"

namespace {

// 0x80070057 (E_INVALIDARG): what a measure without a terminator is reported as.
constexpr unsigned long kNoTerminator = 0x80070057ul;

// The properties block's size for a name of `units` UTF-16 units: the structure, then the
// name with its terminator.
ULONG PropertiesSize(std::size_t units) {
  return static_cast<ULONG>(sizeof(EVENT_TRACE_PROPERTIES) + (units + 1) * sizeof(WCHAR));
}

std::string Utf8(LPCWSTR text) {
  if (text == nullptr) return std::string();
  try {
    return Util::to_string(WString(text));
  } catch (const std::exception&) {
    return std::string("?");
  }
}

// A properties block from LocalAlloc, freed on every way out.
class PropertiesBlock {
 public:
  explicit PropertiesBlock(ULONG size)
      : m_block(static_cast<PEVENT_TRACE_PROPERTIES>(LocalAlloc(LPTR, size))), m_size(size) {}
  ~PropertiesBlock() {
    if (m_block != nullptr) LocalFree(m_block);
  }
  PropertiesBlock(const PropertiesBlock&) = delete;
  PropertiesBlock& operator=(const PropertiesBlock&) = delete;
  PEVENT_TRACE_PROPERTIES get() const { return m_block; }
  ULONG size() const { return m_size; }

 private:
  PEVENT_TRACE_PROPERTIES m_block;
  ULONG m_size;
};

bool SameSessionName(LPCWSTR a, LPCWSTR b) {
  return CompareStringEx(LOCALE_NAME_INVARIANT, NORM_IGNORECASE, a, -1, b, -1, nullptr, nullptr, 0) == CSTR_EQUAL;
}

}  // namespace

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
  LoggedAndDropped("CEtwController::~CEtwController", [this] { DropRedirect(); });
  if (_lockInitialised) {
    DeleteCriticalSection(&_lock);
  }
}

void CEtwController::DropRedirect() {
  if (!_etwAdapter) return;
  std::shared_ptr<CEtwAdapter> dropped = std::move(_etwAdapter);
  dropped->StopRunning();
  // Closing the processing handle is what ends the platform's event loop while the session
  // goes on; a stop of the session is not the redirect's to make.
  // A close that failed (logged) leaves the loop running until the session stops: waiting
  // for it here would only hold the request up.
  if (!dropped->CloseConsumer()) {
    _endingRedirect = std::move(dropped);
    _endingWithTheSession = true;
    return;
  }
  if (dropped->WaitForThreads(_redirectEndWait)) {
    // Both threads let go: this was the last share, and the sink is free once its owner
    // releases it.
    return;
  }
  WriteLog(LOG_ERROR,
           "ERROR # CEtwController::DropRedirect # The redirect of %s did not end within %lu ms: its sink stays in "
           "use until it does.",
           Utf8(dropped->SessionName()).c_str(), static_cast<unsigned long>(_redirectEndWait));
  _endingRedirect = std::move(dropped);
  _endingWithTheSession = false;
}

bool CEtwController::AnotherOwnsTheName(LPCWSTR name, PEVENT_TRACE_PROPERTIES block, ULONG size) {
  InitSessionProperties(block, size);
  if (ControlTraceW(0, name, block, EVENT_TRACE_CONTROL_QUERY) != ERROR_SUCCESS) return false;
  // The query reports the handle of the session that holds the name. A platform that leaves
  // it 0 (Wine does) tells nothing, and the stop goes on as before.
  return block->Wnode.HistoricalContext != 0 && block->Wnode.HistoricalContext != _sessionHandle;
}

TRACEHANDLE CEtwController::GetSessionHandle(LPCWSTR name) {
  FunctionTrace trace("CEtwController::GetSessionHandle");
  SectionGuard guard(&_lock);
  return LoggedCallOr("CEtwController::GetSessionHandle", TRACEHANDLE{0}, [&]() -> TRACEHANDLE {
    if (name == nullptr) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return 0;
    }
    return SameSessionName(name, _sessionName) ? _sessionHandle : 0;
  });
}

void CEtwController::InitSessionProperties(PEVENT_TRACE_PROPERTIES properties, ULONG size) {
  if (properties == nullptr || size == 0 || size < sizeof(EVENT_TRACE_PROPERTIES)) {
    return;
  }
  std::memset(properties, 0, size);
  properties->Wnode.BufferSize = size;
  properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  properties->Wnode.ClientContext = 1;  // query-performance-counter time stamps
  properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_PERSIST_ON_HYBRID_SHUTDOWN;
  properties->MaximumFileSize = 1;
  properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  properties->LogFileNameOffset = 0;
}

ULONG CEtwController::StartSession(LPCWSTR name) {
  FunctionTrace trace("CEtwController::StartSession");
  SectionGuard guard(&_lock);
  const ULONG outcome = LoggedCallOr("CEtwController::StartSession", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    ULONG status = ERROR_SUCCESS;
    WriteLog(LOG_INFO, "INFO # CEtwController::StartSession # Session name - (%s).", Utf8(name).c_str());
    if (name == nullptr || name[0] == 0) {
      WriteLog(LOG_ERROR, "ERROR # CEtwController::StartSession # Session name is NULL or empty.");
      status = ERROR_INVALID_PARAMETER;
    } else {
      if (_sessionHandle != 0 && !SameSessionName(name, _sessionName)) {
        // One session at a time: the running one's redirect ends here (its sink is completed
        // and closed), and its client's later requests will find another session.
        WriteLog(LOG_WARNING,
                 "WARNING # CEtwController::StartSession # Session (%s) takes over from session (%s): the redirect "
                 "of (%s) ends.",
                 Utf8(name).c_str(), Utf8(_sessionName).c_str(), Utf8(_sessionName).c_str());
      }
      DropRedirect();
      const HRESULT copied = StringCchCopyW(_sessionName, kSessionNameLength, name);
      std::size_t bytes = 0;
      if (copied != 0) {
        WriteLog(LOG_ERROR, "ERROR # CEtwController::StartSession # StringCchCopy() failed with hr= 0x%16lx.\n",
                 static_cast<unsigned long>(static_cast<ULONG>(copied)));
        status = ERROR_INVALID_PARAMETER;
      } else if (StringCbLengthW(_sessionName, kSessionNameLength * sizeof(WCHAR), &bytes) != 0) {
        WriteLog(LOG_ERROR, "ERROR # CEtwController::StartSession # StringCbLength() failed with hr= 0x%16lx.\n",
                 kNoTerminator);
        status = ERROR_INVALID_PARAMETER;
      } else {
        PropertiesBlock block(PropertiesSize(bytes / sizeof(WCHAR)));
        if (block.get() == nullptr) {
          WriteLog(LOG_ERROR,
                   "ERROR # CEtwController::StartSession # Unable to allocate %lu bytes for properties structure.\n",
                   static_cast<unsigned long>(block.size()));
          status = ERROR_OUTOFMEMORY;
        } else {
          InitSessionProperties(block.get(), block.size());
          TRACEHANDLE handle = 0;
          status = StartTraceW(&handle, _sessionName, block.get());
          if (status == ERROR_ALREADY_EXISTS) {
            // A session of that name runs, perhaps left from an earlier run of the service:
            // stop it by name and try once more.
            status = ControlTraceW(0, _sessionName, block.get(), EVENT_TRACE_CONTROL_STOP);
            if (status != ERROR_SUCCESS) {
              WriteLog(LOG_ERROR,
                       "ERROR # CEtwController::StartSession # Session (%s) already exists: Trying "
                       "ControlTrace(Stop) failed with %lu.",
                       Utf8(_sessionName).c_str(), static_cast<unsigned long>(status));
              return status;
            }
            // The stop by name ended it; a further stop here could only end a session that
            // someone else started under the name meanwhile.
            InitSessionProperties(block.get(), block.size());
            status = StartTraceW(&handle, _sessionName, block.get());
          }
          if (status == ERROR_SUCCESS) {
            WriteLog(LOG_INFO, "INFO # CEtwController::StartSession # Trace Session (%s) started successfully.",
                     Utf8(_sessionName).c_str());
            _sessionHandle = handle;
          } else {
            WriteLog(LOG_ERROR, "ERROR # CEtwController::StartSession # StartTrace() failed with %lu\n",
                     static_cast<unsigned long>(status));
          }
        }
      }
    }
    return status;
  });
  WriteLog(LOG_INFO, "INFO # Exiting CEtwController::StartSession # with status %lu. \n",
           static_cast<unsigned long>(outcome));
  return outcome;
}

ULONG CEtwController::StopSession(LPCWSTR name) {
  FunctionTrace trace("CEtwController::StopSession");
  SectionGuard guard(&_lock);
  const ULONG outcome = LoggedCallOr("CEtwController::StopSession", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    ULONG status = ERROR_SUCCESS;
    WriteLog(LOG_INFO, "INFO # Entering CEtwController::StopSession (%s).", Utf8(name).c_str());
    std::size_t bytes = 0;
    if (_sessionHandle == 0) {
      WriteLog(LOG_ERROR, "ERROR # CEtwController::StopSession # No session currently active.");
      status = ERROR_INVALID_FUNCTION;
    } else if (name == nullptr || !SameSessionName(name, _sessionName)) {
      WriteLog(LOG_ERROR,
               "ERROR # CEtwController::StopSession # Invalid session name: %s does not match the session started.",
               Utf8(name).c_str());
      status = ERROR_INVALID_PARAMETER;
    } else {
      DropRedirect();
      if (StringCbLengthW(name, kSessionNameLength * sizeof(WCHAR), &bytes) != 0) {
        WriteLog(LOG_ERROR, "ERROR # CEtwController::StopSession # StringCbLength() failed with hr= 0x%16lx.\n",
                 kNoTerminator);
        status = ERROR_INVALID_PARAMETER;
      } else {
        PropertiesBlock block(PropertiesSize(bytes / sizeof(WCHAR)));
        if (block.get() == nullptr) {
          WriteLog(LOG_ERROR,
                   "ERROR # CEtwController::StopSession # Unable to allocate %lu bytes for properties structure.",
                   static_cast<unsigned long>(block.size()));
          status = ERROR_OUTOFMEMORY;
        } else {
          if (AnotherOwnsTheName(name, block.get(), block.size())) {
            // The platform would stop it by name: it is left to its owner, and for this
            // service its session of that name is gone.
            WriteLog(LOG_ERROR,
                     "ERROR # CEtwController::StopSession # The session %s running now was not started by this "
                     "service: it is left running.",
                     Utf8(name).c_str());
            status = ERROR_WMI_INSTANCE_NOT_FOUND;
          } else {
            InitSessionProperties(block.get(), block.size());
            status = ControlTraceW(_sessionHandle, name, block.get(), EVENT_TRACE_CONTROL_STOP);
            if (status != ERROR_SUCCESS) {
              WriteLog(LOG_ERROR,
                       "ERROR # CEtwController::StopSession # ControlTrace(Stop) session %s failed with %lu.",
                       Utf8(name).c_str(), static_cast<unsigned long>(status));
            } else if (_endingRedirect && _endingWithTheSession &&
                       _endingRedirect->WaitForThreads(_redirectEndWait)) {
              // A redirect whose loop outlived its drop ends with the session: its sink is
              // complete when the stop is answered.
              _endingRedirect.reset();
            }
          }
        }
      }
    }
    return status;
  });
  WriteLog(LOG_INFO, "INFO # Exiting CEtwController::StopSession (%s) with status %lu. \n", Utf8(name).c_str(),
           static_cast<unsigned long>(outcome));
  return outcome;
}

ULONG CEtwController::EnableProvider(const GUID& provider, UCHAR level, ULONGLONG matchAnyKeyword,
                                     ULONGLONG matchAllKeyword, PENABLE_TRACE_PARAMETERS parameters) {
  FunctionTrace trace("CEtwController::EnableProvider");
  SectionGuard guard(&_lock);
  // A time-out of 0: the enable does not wait for the provider's callback.
  return EnableTraceEx2(_sessionHandle, &provider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, level, matchAnyKeyword,
                        matchAllKeyword, 0, parameters);
}

ULONG CEtwController::DisableProvider(const GUID& provider) {
  FunctionTrace trace("CEtwController::DisableProvider");
  SectionGuard guard(&_lock);
  return EnableTraceEx2(_sessionHandle, &provider, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, 0, nullptr);
}

ULONG CEtwController::RedirectTrace(LPCWSTR name, const std::shared_ptr<DeviceBase>& sink) {
  FunctionTrace trace("CEtwController::RedirectTrace");
  SectionGuard guard(&_lock);
  const auto dropAdapter = [this] { _etwAdapter.reset(); };
  return LoggedCallOr("CEtwController::RedirectTrace", ERROR_INTERNAL_ERROR, [&]() -> ULONG {
    if (name == nullptr || !sink) {
      WriteLog(LOG_ERROR, "Error # Invalid parameters");
      return ERROR_INVALID_HANDLE;
    }
    // Only the session this controller started is redirected: another session of the
    // machine is most likely a client's mistake, and its events would land in this
    // session's sink. The check comes before the drop, so the current redirect goes on.
    if (_sessionHandle == 0 || !SameSessionName(name, _sessionName)) {
      WriteLog(LOG_ERROR, "ERROR # CEtwController::RedirectTrace # Invalid session name: %s is not the session started.",
               Utf8(name).c_str());
      return ERROR_INTERNAL_ERROR;
    }
    DropRedirect();
    if (_endingRedirect) {
      // The sink of an earlier redirect may be the file this one is about to open. A close
      // that failed at the drop is tried again.
      if (!_endingRedirect->CloseConsumer() || !_endingRedirect->WaitForThreads(_redirectEndWait)) {
        WriteLog(LOG_ERROR,
                 "ERROR # CEtwController::RedirectTrace # The previous redirect of %s has not ended: its sink is "
                 "still in use.",
                 Utf8(_endingRedirect->SessionName()).c_str());
        return ERROR_BUSY;
      }
      _endingRedirect.reset();
    }
    try {
      _etwAdapter = std::make_shared<CEtwAdapter>(name);
    } catch (const std::bad_alloc&) {
      return ERROR_OUTOFMEMORY;
    }
    WriteLog(LOG_DEBUG,
             "DEBUG # CEtwController::RedirectTrace # CEtwAdapter created. About to start processing trace events.");
    const ULONG status = _etwAdapter->ProcessTrace(sink);
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "ERROR # CEtwController::RedirectTrace # CEtwAdapter::ProcessTrace() failed with %lu!!!",
               static_cast<unsigned long>(status));
      _etwAdapter.reset();
    } else {
      WriteLog(LOG_DEBUG, "DEBUG # CEtwController::RedirectTrace # CEtwAdapter started redirecting trace events.");
    }
    return status;
  }, dropAdapter);
}
