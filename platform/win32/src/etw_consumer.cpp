// Real-time consumers of the user-mode ETW surface: OpenTraceW, ProcessTrace and CloseTrace
// over the virtual target's ETW runtime. Every event reaches the caller's
// EventRecordCallback as an EVENT_RECORD with the 80-byte header, on the thread that runs
// ProcessTrace.
#include <cstring>
#include <map>
#include <mutex>

#include "etw_surface.h"
#include "platform/core/faults.h"
#include "winbase.h"

using platform::win32::etw_surface::HandleKind;
using platform::win32::etw_surface::make_handle;
using platform::win32::etw_surface::runtime;
using platform::win32::etw_surface::runtime_handle;
using platform::win32::etw_surface::to_win32;

// The runtime's header flags are the SDK's; the decoder reads the pointer size from them.
static_assert(etw::kHeaderFlag64BitHeader == EVENT_HEADER_FLAG_64_BIT_HEADER);
static_assert(etw::kHeaderFlagStringOnly == EVENT_HEADER_FLAG_STRING_ONLY);
static_assert(etw::kHeaderFlagClassicHeader == EVENT_HEADER_FLAG_CLASSIC_HEADER);

namespace {

// What ProcessTrace needs of the logfile after OpenTraceW returned: the callback and the
// caller's context. Kept per consumer; the caller's structure may be gone by then.
struct ConsumerTarget {
  PEVENT_RECORD_CALLBACK callback = nullptr;
  PVOID context = nullptr;
};

std::mutex g_mutex;
std::map<std::uint64_t, ConsumerTarget>& targets() {
  static auto& table = *new std::map<std::uint64_t, ConsumerTarget>;
  return table;
}

}  // namespace

TRACEHANDLE OpenTraceW(PEVENT_TRACE_LOGFILEW Logfile) {
  PLATFORM_FAIL_IF_ARMED("OpenTraceW", INVALID_PROCESSTRACE_HANDLE);
  // Only real-time sessions exist on the virtual target: no log files are read back.
  if (Logfile == nullptr || Logfile->LoggerName == nullptr || Logfile->LogFileName != nullptr ||
      (Logfile->ProcessTraceMode & PROCESS_TRACE_MODE_REAL_TIME) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_PROCESSTRACE_HANDLE;
  }
  std::size_t units = 0;
  while (Logfile->LoggerName[units] != 0) ++units;
  const etw::OpenResult result = runtime().open_consumer(std::u16string_view(Logfile->LoggerName, units));
  if (result.status != etw::Status::ok) {
    SetLastError(to_win32(result.status));
    return INVALID_PROCESSTRACE_HANDLE;
  }
  {
    std::lock_guard lock(g_mutex);
    targets()[result.handle] = ConsumerTarget{Logfile->EventRecordCallback, Logfile->Context};
  }
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  Logfile->LogfileHeader.PerfFreq = frequency;
  // The clock the session stamps its events with (Wnode.ClientContext when it started): a
  // consumer that asks for raw time stamps needs it to read them. 0 stands for the default,
  // the performance counter.
  const etw::SessionResult session = runtime().query_session(std::u16string_view(Logfile->LoggerName, units));
  const std::uint32_t clock_type = session.status == etw::Status::ok ? session.info.config.clock_type : 0;
  Logfile->LogfileHeader.ReservedFlags = clock_type == 0 ? 1 : clock_type;
  Logfile->LogfileHeader.s.PointerSize = sizeof(void*);
  Logfile->LogfileHeader.LoggerName = Logfile->LoggerName;
  return make_handle(HandleKind::processing, result.handle);
}

ULONG ProcessTrace(PTRACEHANDLE HandleArray, ULONG HandleCount, LPFILETIME /*StartTime*/, LPFILETIME /*EndTime*/) {
  PLATFORM_FAIL_IF_ARMED("ProcessTrace", GetLastError());
  // One real-time session per call, as Windows allows for real-time consumers.
  if (HandleArray == nullptr || HandleCount != 1) return ERROR_INVALID_PARAMETER;
  const std::uint64_t handle = runtime_handle(HandleKind::processing, HandleArray[0]);
  if (handle == 0) return ERROR_INVALID_HANDLE;
  ConsumerTarget target;
  {
    std::lock_guard lock(g_mutex);
    auto it = targets().find(handle);
    if (it == targets().end()) return ERROR_INVALID_HANDLE;
    target = it->second;
  }
  EVENT_RECORD record;
  std::memset(&record, 0, sizeof record);
  record.EventHeader.Size = sizeof(EVENT_HEADER);
  record.UserContext = target.context;
  const etw::Status status = runtime().process(handle, [&](const etw::EventView& event) {
    if (target.callback == nullptr) return;
    record.EventHeader.Flags = event.header_flags;
    record.EventHeader.ThreadId = event.thread_id;
    record.EventHeader.ProcessId = event.process_id;
    record.EventHeader.TimeStamp.QuadPart = event.timestamp;
    std::memcpy(&record.EventHeader.ProviderId, &event.provider_id, sizeof(GUID));
    std::memcpy(&record.EventHeader.EventDescriptor, &event.descriptor, sizeof(EVENT_DESCRIPTOR));
    record.BufferContext.ProcessorNumber = event.processor_number;
    record.BufferContext.Alignment = 0;
    record.BufferContext.LoggerId = event.logger_id;
    record.UserDataLength = event.user_data_length;
    record.UserData = const_cast<void*>(event.user_data);
    target.callback(&record);
  });
  return to_win32(status);
}

ULONG CloseTrace(TRACEHANDLE TraceHandle) {
  PLATFORM_FAIL_IF_ARMED("CloseTrace", GetLastError());
  const std::uint64_t handle = runtime_handle(HandleKind::processing, TraceHandle);
  if (handle == 0) return ERROR_INVALID_HANDLE;
  const etw::Status status = runtime().close_consumer(handle);
  if (status == etw::Status::ok || status == etw::Status::close_pending) {
    std::lock_guard lock(g_mutex);
    targets().erase(handle);
  }
  return to_win32(status);
}
