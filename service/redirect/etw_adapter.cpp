#include "etw_adapter.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "device_base.h"
#include "log_writer.h"
#include "logged_call.h"
#include "section_guard.h"
#include "tdh_parser.h"
#include "thread_slot.h"

const char* const CEtwAdapter::kSkipNotice =
    ">>>>>>>WARNING::[MAX MEMORY REACHED] Conduit Max memory exceeded , Traces will be skipped >>>>>>>>>>>>>>>>>>>>>>";
const char* const CEtwAdapter::kResumeNotice =
    ">>>>>>>WARNING::[MAX MEMORY REACHED] Resuming Traces . >>>>>>>>>>>>>>>>>>>>>> ";

namespace {

constexpr ULONG kStartFailed = ERROR_INTERNAL_ERROR;  // 1359
// ERROR_INVALID_LEVEL: a sink write that came up short without an error of its own.
constexpr DWORD kShortWrite = 124;
// The records the writer gathers before a write while events keep coming, and how long it
// waits for them at most.
constexpr std::size_t kWriterBatch = 1024;
constexpr auto kWriterGather = std::chrono::milliseconds(1);
constexpr std::align_val_t kFlushBufferAlignment{32};

// The adapter of the calling consumer or writer thread. The platform passes no context to
// the event callback, so each of the two threads finds its adapter here.
ThreadSlot& AdapterSlot() {
  static ThreadSlot slot;
  return slot;
}

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

}  // namespace

// How many threads hold a share of the adapter; the last one to end wakes WaitForThreads.
struct CEtwAdapter::ThreadCount {
  std::mutex mutex;
  std::condition_variable ended;
  int live = 0;
};

// A thread's share of its adapter. Each of the two threads holds one, so the adapter outlives
// both whatever the order they end in (a failed wait for the writer must not free it). The
// end is counted only after the share is let go: a waiter that sees no thread left holds
// the only remaining shares.
struct CEtwAdapter::ThreadShare {
  explicit ThreadShare(std::shared_ptr<CEtwAdapter> owner) : adapter(std::move(owner)), threads(adapter->_threads) {
    std::lock_guard lock(threads->mutex);
    ++threads->live;
  }
  ~ThreadShare() {
    adapter.reset();
    {
      std::lock_guard lock(threads->mutex);
      --threads->live;
    }
    threads->ended.notify_all();
  }
  ThreadShare(const ThreadShare&) = delete;
  ThreadShare& operator=(const ThreadShare&) = delete;

  std::shared_ptr<CEtwAdapter> adapter;
  std::shared_ptr<ThreadCount> threads;
};

CEtwAdapter::CEtwAdapter(LPCWSTR sessionName)
    : _consumerHandle(INVALID_PROCESSTRACE_HANDLE),
      _consumerThread(nullptr),
      _writerThread(nullptr),
      _logFile{},
      _running(false),
      _skipping(false),
      _queuedBytes(0),
      _consumerDone(false),
      _lockInitialised(false),
      _threads(std::make_shared<ThreadCount>()) {
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
  {
    SectionGuard guard(_lockInitialised ? &_lock : nullptr);
    if (_consumerHandle != INVALID_PROCESSTRACE_HANDLE) {
      CloseTrace(_consumerHandle);
      _consumerHandle = INVALID_PROCESSTRACE_HANDLE;
    }
    if (_consumerThread != nullptr) {
      CloseHandle(_consumerThread);
      _consumerThread = nullptr;
    }
  }
  if (_lockInitialised) DeleteCriticalSection(&_lock);
}

bool CEtwAdapter::CloseConsumer() {
  if (!_lockInitialised) return true;  // no start without the lock: nothing was opened
  SectionGuard guard(&_lock);
  if (_consumerHandle == INVALID_PROCESSTRACE_HANDLE) return true;
  // ERROR_CTX_CLOSE_PENDING while the loop runs is success: the loop returns soon after.
  const ULONG status = CloseTrace(_consumerHandle);
  if (status != ERROR_SUCCESS && status != ERROR_CTX_CLOSE_PENDING) {
    // The handle is kept for another try; meanwhile the loop runs until the session stops.
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::CloseConsumer # CloseTrace() failed with %lu.",
             static_cast<unsigned long>(status));
    return false;
  }
  _consumerHandle = INVALID_PROCESSTRACE_HANDLE;
  return true;
}

bool CEtwAdapter::WaitForThreads(DWORD milliseconds) {
  std::unique_lock lock(_threads->mutex);
  return _threads->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [this] { return _threads->live == 0; });
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
    // The events come with raw time stamps: the decoder dates them by the session's clock.
    if (auto* decoder = dynamic_cast<TdhParserImpl*>(_parser.get())) decoder->SetSessionClock(_logFile.LogfileHeader);
    _running.store(true);
    start = new ThreadShare{shared_from_this()};
    _consumerThread = CreateThread(nullptr, 0, &CEtwAdapter::ProcessTraceThreadProc, start, 0, nullptr);
    if (_consumerThread == nullptr) {
      WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTrace # CreateThread() failed with 0x%016lx\n",
               static_cast<unsigned long>(GetLastError()));
      throw std::runtime_error("CreateThread failed");
    }
    start = nullptr;  // the consumer thread's from here
    // The consumer thread makes the writer thread. A redirect without a writer would take
    // events and never write them, so the client must hear of it: wait for the word, the
    // writer made or the consumer thread given up (it clears running, then ends at once).
    // The consumer thread takes this lock before it enters the platform's loop, so it cannot
    // have run and ended the redirect (clearing running too) in between.
    bool writerMade = false;
    {
      std::unique_lock lock(_queueMutex);
      _queueCondition.wait(lock, [this] { return _writerThread != nullptr || !_running.load(); });
      writerMade = _writerThread != nullptr;
    }
    if (!writerMade) {
      // Nothing of the redirect outlives its failed start: the consumer thread has let go.
      WaitForSingleObject(_consumerThread, INFINITE);
      CloseHandle(_consumerThread);
      _consumerThread = nullptr;
      throw std::runtime_error("the consumer thread did not start");
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
  // ProcessTrace waits for one of these two words: the redirect cannot start, or the writer
  // thread runs.
  auto giveUp = [adapter] {
    {
      std::lock_guard lock(adapter->_queueMutex);
      adapter->_running.store(false);
    }
    adapter->_queueCondition.notify_all();
    return kStartFailed;
  };
  if (AdapterSlot().CreateThreadData(adapter) != ERROR_SUCCESS) {
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::CreateThreadData Failed %lu\n",
             static_cast<unsigned long>(GetLastError()));
    return giveUp();
  }
  auto* writerShare = new ThreadShare{start->adapter};
  HANDLE writer = CreateThread(nullptr, 0, &CEtwAdapter::EventWriteThreadProc, writerShare, 0, nullptr);
  if (writer == nullptr) {
    delete writerShare;
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::ProcessTraceThreadProc # CreateThread() failed with 0x%016lx\n",
             static_cast<unsigned long>(GetLastError()));
    AdapterSlot().FreeThreadData();
    return giveUp();
  }
  {
    std::lock_guard lock(adapter->_queueMutex);
    adapter->_writerThread = writer;
  }
  adapter->_queueCondition.notify_all();
  TRACEHANDLE handle = INVALID_PROCESSTRACE_HANDLE;
  {
    // The controller may close the handle (a drop) while this thread starts.
    SectionGuard guard(&adapter->_lock);
    handle = adapter->_consumerHandle;
  }
  // A redirect dropped before its loop began has nothing to process; one dropped during the
  // loop may see it end with an error about the closed handle, which is its normal end.
  if (handle != INVALID_PROCESSTRACE_HANDLE && ::ProcessTrace(&handle, 1, nullptr, nullptr) != ERROR_SUCCESS &&
      adapter->_running.load()) {
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
  bool wasEmpty = false;
  std::size_t queued = 0;
  {
    std::lock_guard lock(_queueMutex);
    wasEmpty = _eventQueue.empty();
    _queuedBytes += static_cast<LONGLONG>(record.size());
    _eventQueue.push_back(std::move(record));
    queued = _eventQueue.size();
  }
  // The writer sleeps on an empty queue, or gathers a batch: a record behind others has its
  // wake-up on the way already, and waking the writer for every event would cost a system
  // call each.
  if (wasEmpty || queued == kWriterBatch) _queueCondition.notify_one();
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
  LONGLONG queued = 0;
  {
    std::lock_guard lock(_queueMutex);
    queueEmpty = _eventQueue.empty();
    if (queueEmpty) _queuedBytes = 0;
    queued = _queuedBytes;
  }
  if (queueEmpty && _skipping) {
    WriteLog(LOG_INFO, "------> MAXLIMIT RESET RESUMING MESSAGES");
    Push(_parser->EtwGetCustomMessageString(eventRecord, kResumeNotice));
    _skipping = false;
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
  return LoggedCallOr(
      "CEtwAdapter::EventWriteThreadProc", kStartFailed, [&] { return adapter->WriterLoop(); },
      [] { AdapterSlot().FreeThreadData(); });
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
  if (AdapterSlot().CreateThreadData(this) != ERROR_SUCCESS) {
    // The wake-up condition finds the adapter in this slot: without it the writer would sleep
    // for good and hold the redirect's end up. The redirect ends here instead (the callback
    // discards what still arrives) and its drop goes through.
    WriteLog(LOG_ERROR, "ERROR # CEtwAdapter::CreateThreadData Failed %lu\n", static_cast<unsigned long>(GetLastError()));
    {
      std::lock_guard lock(_queueMutex);
      _running.store(false);
    }
    return 1;
  }
  bool consumerDone = false;
  while (!consumerDone) {
    {
      std::unique_lock lock(_queueMutex);
      _queueCondition.wait(lock, [this] { return PredicateProcessQueueCondition(); });
      // While events come fast, a moment's wait makes one write of many records out of what
      // would be a wake-up and a short write for every few: the consumer wakes the writer
      // once a batch is full, the wait bounds the delay of the last events.
      if (_eventQueue.size() < kWriterBatch && !_consumerDone) {
        _queueCondition.wait_for(lock, kWriterGather,
                                 [this] { return _eventQueue.size() >= kWriterBatch || _consumerDone; });
      }
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
  const auto emptyBuffer = [&] { ZeroWritten(buffer, used); };
  return LoggedCallOr("CEtwAdapter::FlushData", kStartFailed, [&]() -> DWORD {
    if (!_devicePtr || buffer == nullptr || used > kFlushBufferSize) {
      WriteLog(LOG_ERROR, "[FlushData]ERROR Invalid Parameter, length %ul expected < totbuf size %ul",
               static_cast<unsigned>(used), static_cast<unsigned>(kFlushBufferSize));
      return ERROR_INVALID_PARAMETER;
    }
    DWORD written = 0;
    DWORD status = _devicePtr->Write(buffer, used, &written, nullptr);
    // A sink that answers success for fewer bytes than it was handed has not written the
    // rest (the STP sink when a record breaks its walk): that is a failed write as well, and
    // says so like the others rather than passing for a written buffer.
    if (status == ERROR_SUCCESS && written != used) status = kShortWrite;
    if (status != ERROR_SUCCESS) {
      WriteLog(LOG_ERROR, "[FlushData] ERROR writing Device: BytesToWrite:%d BytesWritten:%d result=(ErrorCode:%ld)",
               static_cast<int>(used), static_cast<int>(written), static_cast<long>(status));
    }
    ZeroWritten(buffer, used);
    return status;
  }, emptyBuffer);
}
