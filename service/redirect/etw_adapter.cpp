#include "etw_adapter.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "device_base.h"
#include "log_writer.h"
#include "logged_call.h"
#include "tdh_parser.h"
#include "thread_slot.h"

const char* const CEtwAdapter::kSkipNotice =
    ">>>>>>>WARNING::[MAX MEMORY REACHED] Conduit Max memory exceeded , Traces will be skipped >>>>>>>>>>>>>>>>>>>>>>";
const char* const CEtwAdapter::kResumeNotice =
    ">>>>>>>WARNING::[MAX MEMORY REACHED] Resuming Traces . >>>>>>>>>>>>>>>>>>>>>> ";

namespace {

constexpr ULONG kStartFailed = ERROR_INTERNAL_ERROR;  // 1359
constexpr std::align_val_t kFlushBufferAlignment{32};

// The adapter of the calling consumer or writer thread. The platform passes no context to
// the event callback, so each of the two threads finds its adapter here.
ThreadSlot& AdapterSlot() {
  static ThreadSlot slot;
  return slot;
}

class SectionGuard {
 public:
  explicit SectionGuard(CRITICAL_SECTION* section) : m_section(section) { EnterCriticalSection(m_section); }
  ~SectionGuard() { LeaveCriticalSection(m_section); }
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

 private:
  CRITICAL_SECTION* m_section;
};

// The flush buffer: 8 MiB, 32-byte aligned, zero-filled, freed on every way out.
class FlushBuffer {
 public:
  FlushBuffer() : m_bytes(static_cast<BYTE*>(::operator new(CEtwAdapter::kFlushBufferSize, kFlushBufferAlignment))) {
    std::memset(m_bytes, 0, CEtwAdapter::kFlushBufferSize);
  }
  ~FlushBuffer() { ::operator delete(m_bytes, kFlushBufferAlignment); }
  FlushBuffer(const FlushBuffer&) = delete;
  FlushBuffer& operator=(const FlushBuffer&) = delete;
  BYTE* get() const { return m_bytes; }

 private:
  BYTE* m_bytes;
};

// A thread's share of its adapter. Each of the two threads holds one, so the adapter outlives
// both whatever the order they end in (a failed wait for the writer must not free it).
struct ThreadShare {
  std::shared_ptr<CEtwAdapter> adapter;
};

}  // namespace

CEtwAdapter::CEtwAdapter(LPCWSTR sessionName)
    : _consumerHandle(INVALID_PROCESSTRACE_HANDLE),
      _consumerThread(nullptr),
      _writerThread(nullptr),
      _logFile{},
      _running(false),
      _skipping(false),
      _queuedBytes(0),
      _consumerDone(false),
      _lockInitialised(false) {
  std::memset(_sessionName, 0, sizeof(_sessionName));
  if (sessionName != nullptr) {
    DWORD length = 0;
    while (length < kSessionNameLength - 1 && sessionName[length] != 0) {
      _sessionName[length] = sessionName[length];
      ++length;
    }
    WriteLog(LOG_DEBUG, "DEBUG # CEtwAdapter::CEtwAdapter # SessionName is not empty");
  } else {
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::CEtwAdapter # SessionName is empty");
  }
  auto parser = std::make_shared<TdhParserImpl>();
  parser->InitEtwLogContext();
  _parser = std::move(parser);
  _lockInitialised = InitializeCriticalSectionAndSpinCount(&_lock, 1024) != FALSE;
  if (!_lockInitialised) {
    WriteLog(LOG_ERROR, "ERROR # %s# InitializeCriticalSectionAndSpinCount Failed %d", "CEtwAdapter::CEtwAdapter",
             static_cast<int>(GetLastError()));
  }
}

CEtwAdapter::~CEtwAdapter() {
  if (_lockInitialised) EnterCriticalSection(&_lock);
  if (_consumerHandle != INVALID_PROCESSTRACE_HANDLE) {
    CloseTrace(_consumerHandle);
    _consumerHandle = INVALID_PROCESSTRACE_HANDLE;
  }
  if (_consumerThread != nullptr) {
    CloseHandle(_consumerThread);
    _consumerThread = nullptr;
  }
  if (_lockInitialised) {
    LeaveCriticalSection(&_lock);
    DeleteCriticalSection(&_lock);
  }
}

ULONG CEtwAdapter::ProcessTrace(const std::shared_ptr<DeviceBase>& sink) {
  if (!_lockInitialised) return kStartFailed;
  SectionGuard guard(&_lock);
  ThreadShare* start = nullptr;
  try {
    _devicePtr = sink;
    if (_sessionName[0] == 0) {
      WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTrace # _sessionName/_sessionName[0] NULL");
      throw std::runtime_error("no session name");
    }
    std::memset(&_logFile, 0, sizeof(_logFile));
    _logFile.LogFileName = nullptr;
    _logFile.LoggerName = _sessionName;
    _logFile.ProcessTraceMode =
        PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_RAW_TIMESTAMP | PROCESS_TRACE_MODE_EVENT_RECORD;
    _logFile.EventRecordCallback = &CEtwAdapter::EvtRecCallback;
    _logFile.Context = nullptr;
    _consumerHandle = OpenTraceW(&_logFile);
    if (_consumerHandle == INVALID_PROCESSTRACE_HANDLE) {
      WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTrace # OpenTrace() failed with 0x%016lx\n",
               static_cast<unsigned long>(GetLastError()));
      throw std::runtime_error("OpenTrace failed");
    }
    _running.store(true);
    start = new ThreadShare{shared_from_this()};
    _consumerThread = CreateThread(nullptr, 0, &CEtwAdapter::ProcessTraceThreadProc, start, 0, nullptr);
    if (_consumerThread == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTrace # CreateThread() failed with 0x%016lx\n",
               static_cast<unsigned long>(GetLastError()));
      throw std::runtime_error("CreateThread failed");
    }
    return ERROR_SUCCESS;
  } catch (...) {
    WriteLog(LOG_ERROR, "GENERIC EXCEPTION Fn: %s", "CEtwAdapter::ProcessTrace");
    delete start;
    _running.store(false);
    if (_consumerHandle != INVALID_PROCESSTRACE_HANDLE) {
      CloseTrace(_consumerHandle);
      _consumerHandle = INVALID_PROCESSTRACE_HANDLE;
    }
    return kStartFailed;
  }
}

DWORD WINAPI CEtwAdapter::ProcessTraceThreadProc(LPVOID context) {
  std::unique_ptr<ThreadShare> start(static_cast<ThreadShare*>(context));
  CEtwAdapter* adapter = start->adapter.get();
  DWORD status = ERROR_SUCCESS;
  // The sink is initialised by the writer thread alone (see the header).
  if (!adapter->_devicePtr) {
    WriteLog(LOG_WARNING,
             "WARNING # CEtwAdapter::ProcessTrace # No trace sink is specified: all events will be discarded upon "
             "receiving.\n");
  }
  if (AdapterSlot().CreateThreadData(adapter) != ERROR_SUCCESS) {
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::CreateThreadData Failed %lu\n",
             static_cast<unsigned long>(GetLastError()));
    adapter->_running.store(false);
    return kStartFailed;
  }
  auto* writerShare = new ThreadShare{start->adapter};
  adapter->_writerThread = CreateThread(nullptr, 0, &CEtwAdapter::EventWriteThreadProc, writerShare, 0, nullptr);
  if (adapter->_writerThread == nullptr) {
    delete writerShare;
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTraceThreadProc # CreateThread() failed with 0x%016lx\n",
             static_cast<unsigned long>(GetLastError()));
    adapter->_running.store(false);
    AdapterSlot().FreeThreadData();
    return kStartFailed;
  }
  TRACEHANDLE handle = adapter->_consumerHandle;
  if (::ProcessTrace(&handle, 1, nullptr, nullptr) != ERROR_SUCCESS) {
    status = GetLastError();
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTraceThreadProc # ProcessTrace() failed with 0x%016lx\n",
             static_cast<unsigned long>(status));
  }
  adapter->_running.store(false);
  {
    std::lock_guard lock(adapter->_queueMutex);
    adapter->_consumerDone = true;
  }
  adapter->_queueCondition.notify_all();
  WaitForSingleObject(adapter->_writerThread, INFINITE);
  CloseHandle(adapter->_writerThread);
  adapter->_writerThread = nullptr;
  AdapterSlot().FreeThreadData();
  // `start` lets go of this thread's share: the adapter goes now unless the controller or
  // the writer (when the wait above failed) still holds it.
  return status;
}

void CEtwAdapter::Push(std::string record) {
  {
    std::lock_guard lock(_queueMutex);
    _queuedBytes += static_cast<LONGLONG>(record.size());
    _eventQueue.push_back(std::move(record));
  }
  _queueCondition.notify_one();
}

VOID WINAPI CEtwAdapter::EvtRecCallback(PEVENT_RECORD eventRecord) {
  auto* adapter = static_cast<CEtwAdapter*>(AdapterSlot().GetThreadData());
  if (adapter == nullptr || eventRecord == nullptr || !adapter->_devicePtr || !adapter->_parser) {
    WriteLog(LOG_ERROR, "_devicePtr or eventRecord is NULL\n");
    return;
  }
  LoggedAndDropped("CEtwAdapter::EvtRecCallback", [&] {
    adapter->OnEvent(eventRecord);
  });
}

void CEtwAdapter::OnEvent(PEVENT_RECORD eventRecord) {
  if (!_running.load()) return;
  bool queueEmpty = false;
  {
    std::lock_guard lock(_queueMutex);
    queueEmpty = _eventQueue.empty();
    if (queueEmpty) _queuedBytes = 0;
  }
  if (queueEmpty && _skipping) {
    WriteLog(LOG_INFO, "------> MAXLIMIT RESET RESUMING MESSAGES");
    Push(_parser->EtwGetCustomMessageString(eventRecord, kResumeNotice));
    _skipping = false;
  }
  LONGLONG queued = 0;
  {
    std::lock_guard lock(_queueMutex);
    queued = _queuedBytes;
  }
  if (queued > kMaxQueuedBytes) {
    if (_skipping) {
      _queueCondition.notify_one();
      return;
    }
    WriteLog(LOG_INFO, "------> MAXLIMIT REACHED START SKIPPING MESSAGES");
    Push(_parser->EtwGetCustomMessageString(eventRecord, kSkipNotice));
    _skipping = true;
    return;
  }
  std::string record = _parser->GetETWData(eventRecord);
  if (record.empty()) return;
  Push(std::move(record));
}

bool CEtwAdapter::PredicateProcessQueueCondition() {
  // Called with the queue mutex held, on the writer thread.
  if (AdapterSlot().GetThreadData() == nullptr) return false;
  return !_eventQueue.empty() || _consumerDone;
}

DWORD WINAPI CEtwAdapter::EventWriteThreadProc(LPVOID context) {
  const std::unique_ptr<ThreadShare> share(static_cast<ThreadShare*>(context));
  CEtwAdapter* adapter = share ? share->adapter.get() : nullptr;
  if (adapter == nullptr) {
    WriteLog(LOG_WARNING, "WARNING # CEtwAdapter::EventWriteThreadProc #pAdapter is NULL \n");
    return 1;
  }
  try {
    return adapter->WriterLoop();
  } catch (const std::exception& e) {
    LogStandardException("CEtwAdapter::EventWriteThreadProc", e);
  } catch (...) {
    LogGenericException("CEtwAdapter::EventWriteThreadProc");
  }
  AdapterSlot().FreeThreadData();
  return kStartFailed;
}

DWORD CEtwAdapter::WriterLoop() {
  FlushBuffer buffer;
  DWORD used = 0;
  if (!_devicePtr) {
    WriteLog(LOG_ERROR,
             "ERROR # CEtwAdapter::EventWriteThreadProc # No trace sink is specified: all events will be discarded "
             "upon receiving.\n");
    return 1;
  }
  _devicePtr->Initialize(_sessionName);
  AdapterSlot().CreateThreadData(this);
  bool consumerDone = false;
  while (!consumerDone) {
    {
      std::unique_lock lock(_queueMutex);
      _queueCondition.wait(lock, [this] { return PredicateProcessQueueCondition(); });
      _eventQueue.swap(_writerQueue);
      // Everything the consumer pushed is in this batch once it reported its end.
      consumerDone = _consumerDone;
    }
    while (!_writerQueue.empty()) {
      const std::string& record = _writerQueue.front();
      const std::size_t framed = record.size() + kFrameHeaderSize;
      if (!record.empty() && framed <= kFlushBufferSize) {
        if (framed > kFlushBufferSize - used) FlushData(buffer.get(), used);
        BYTE* frame = buffer.get() + used;
        frame[0] = 0xBF;
        frame[1] = 0xAE;
        const unsigned long long length = record.size();
        for (int i = 0; i < 8; ++i) frame[2 + i] = static_cast<BYTE>(length >> (8 * i));
        std::memcpy(frame + kFrameHeaderSize, record.data(), record.size());
        used += static_cast<DWORD>(framed);
      }
      _writerQueue.pop_front();
    }
    if (used > 0) FlushData(buffer.get(), used);
  }
  AdapterSlot().FreeThreadData();
  return 0;
}

namespace {

// Empties the flush buffer after a write: zero again, as it was allocated. Nothing beyond
// `used` was written since the last time, so zeroing the used bytes zeroes the whole buffer
// without touching 8 MiB on every wake-up of the writer.
void ZeroWritten(BYTE* buffer, DWORD& used) {
  if (buffer != nullptr) std::memset(buffer, 0, used <= CEtwAdapter::kFlushBufferSize ? used : CEtwAdapter::kFlushBufferSize);
  used = 0;
}

}  // namespace

DWORD CEtwAdapter::FlushData(BYTE* buffer, DWORD& used) {
  try {
    if (!_devicePtr || buffer == nullptr || used > kFlushBufferSize) {
      WriteLog(LOG_ERROR, "[FlushData]ERROR Invalid Parameter, length %ul expected < totbuf size %ul",
               static_cast<unsigned>(used), static_cast<unsigned>(kFlushBufferSize));
      return ERROR_INVALID_PARAMETER;
    }
    DWORD written = 0;
    const DWORD status = _devicePtr->Write(buffer, used, &written, nullptr);
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "[FlushData] ERROR writing Device: BytesToWrite:%d BytesWritten:%d result=(ErrorCode:%ld)",
               static_cast<int>(used), static_cast<int>(written), static_cast<long>(status));
    }
    ZeroWritten(buffer, used);
    return status;
  } catch (const std::exception& e) {
    LogStandardException("CEtwAdapter::FlushData", e);
  } catch (...) {
    LogGenericException("CEtwAdapter::FlushData");
  }
  ZeroWritten(buffer, used);
  return kStartFailed;
}
