// One redirect of a real-time ETW session into a trace sink.
//
// The consumer thread runs the platform's event loop; for each event the callback asks the
// decoder for a record and queues it. The writer thread swaps the whole queue out, frames
// each record (magic 0xAEBF, 64-bit length, record) into an 8 MiB buffer and writes full
// buffers to the sink, so the platform's delivery never waits for the sink. Above 400 MiB
// queued since the queue was last seen empty, events are dropped and the stream carries a
// skip notice where the drop began and a resume notice where it ended.
//
// Ownership: the adapter is shared between the controller (until the redirect is dropped),
// its consumer thread and its writer thread (each until it ends), so none can reach a
// destroyed adapter, whichever lets go first.
//
// The sink is initialised once, on the writer thread, before its first write: the STP sink
// binds its output to the writing thread and the plain file sink opens without sharing.
//
// The writer ends only after the consumer thread left the platform's event loop, so a
// record queued while the redirect was being dropped is still written.
//
// Dropping a redirect (the controller): StopRunning, so that the callback discards what still
// arrives; CloseConsumer, which ends the platform's event loop even while the session goes
// on (stopping the session is no business of the redirect); then WaitForThreads, after which
// the queue is written, both threads are gone and only the waiter's share of the adapter is
// left: letting go of it releases the adapter's reference to the sink.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <windows.h>
#include <evntrace.h>

class DeviceBase;
class ITdhParsingInterface;

class CEtwAdapter : public std::enable_shared_from_this<CEtwAdapter> {
 public:
  static constexpr LONGLONG kMaxQueuedBytes = 419430400;  // 400 MiB
  static constexpr DWORD kFlushBufferSize = 8388608;      // 8 MiB
  static constexpr DWORD kFrameHeaderSize = 10;
  static constexpr DWORD kSessionNameLength = 1024;

  explicit CEtwAdapter(LPCWSTR sessionName);
  ~CEtwAdapter();
  CEtwAdapter(const CEtwAdapter&) = delete;
  CEtwAdapter& operator=(const CEtwAdapter&) = delete;

  // Opens the session as a real-time consumer and starts the consumer thread: 0, or 1359.
  // The adapter must be owned by a shared_ptr.
  ULONG ProcessTrace(const std::shared_ptr<DeviceBase>& sink);

  static DWORD WINAPI ProcessTraceThreadProc(LPVOID context);
  static DWORD WINAPI EventWriteThreadProc(LPVOID context);
  static VOID WINAPI EvtRecCallback(PEVENT_RECORD eventRecord);
  // Writes `used` bytes of `buffer`, then empties the buffer whatever the outcome: zero again
  // as allocated. Only the used bytes are zeroed; nothing beyond them was written since the
  // buffer was last empty.
  DWORD FlushData(BYTE* buffer, DWORD& used);
  bool PredicateProcessQueueCondition();

  // The redirect stops taking events; the controller then closes the consumer.
  void StopRunning() { _running.store(false); }
  bool IsRunning() const { return _running.load(); }
  // Closes the processing handle: the platform's event loop returns, also while the session
  // still runs. Nothing when the redirect never opened one or it was closed before. False
  // when the close failed (logged): the loop then ends only with the session, and the handle
  // stays for another try.
  bool CloseConsumer();
  // True once the consumer and writer threads have ended and let go of the adapter (at once
  // when none was started); false when that did not happen within `milliseconds`.
  bool WaitForThreads(DWORD milliseconds);
  LPCWSTR SessionName() const { return _sessionName; }

  // For tests: the parser the callback uses.
  void SetParserForTesting(std::shared_ptr<ITdhParsingInterface> parser) { _parser = std::move(parser); }

  static const char* const kSkipNotice;
  static const char* const kResumeNotice;

 private:
  // A thread's share of the adapter, counted in `_threads` for WaitForThreads.
  struct ThreadShare;
  struct ThreadCount;

  void Push(std::string record);
  void OnEvent(PEVENT_RECORD eventRecord);
  DWORD WriterLoop();

  WCHAR _sessionName[kSessionNameLength];
  TRACEHANDLE _consumerHandle;
  HANDLE _consumerThread;
  HANDLE _writerThread;
  EVENT_TRACE_LOGFILEW _logFile;
  std::shared_ptr<DeviceBase> _devicePtr;
  std::shared_ptr<ITdhParsingInterface> _parser;
  std::deque<std::string> _eventQueue;
  std::deque<std::string> _writerQueue;
  std::condition_variable _queueCondition;
  std::mutex _queueMutex;
  std::atomic<bool> _running;
  bool _skipping;
  LONGLONG _queuedBytes;
  // Set under the queue mutex by the consumer thread once the event loop returned.
  bool _consumerDone;
  CRITICAL_SECTION _lock;
  bool _lockInitialised;
  // Shared with the threads' shares, which report their end after letting go of the adapter.
  std::shared_ptr<ThreadCount> _threads;
};
