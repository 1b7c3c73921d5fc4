// Session control of the user-mode ETW surface: StartTraceW, ControlTraceW, StopTraceW and
// EnableTraceEx2 over the virtual target's ETW runtime, with Windows' results.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "etw_surface.h"
#include "platform/core/faults.h"
#include "reset_steps.h"
#include "win32_controls/etw_controls.h"
#include "winbase.h"

namespace platform::win32 {
namespace {

std::atomic<std::uint32_t> g_default_buffer_kb{0};
std::atomic<std::uint32_t> g_default_maximum_buffers{0};

std::int64_t performance_counter() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

etw::WriterIdentity writer_identity() {
  etw::WriterIdentity identity;
  identity.process_id = GetCurrentProcessId();
  identity.thread_id = GetCurrentThreadId();
  identity.processor_number = static_cast<std::uint8_t>(GetCurrentProcessorNumber());
  return identity;
}

std::size_t name_length(LPCWSTR name) {
  std::size_t n = 0;
  while (name[n] != 0) ++n;
  return n;
}


// Checks a properties block as StartTrace, ControlTrace and StopTrace do: 0 when usable;
// ERROR_INVALID_PARAMETER without a block or with a name offset that points into the
// structure or past the block; ERROR_BAD_LENGTH when Wnode.BufferSize cannot even hold the
// structure, or when the name area behind the offset cannot hold a copy of the name
// (`name_units` without its terminator). An offset of 0 asks for no copy of the name.
ULONG check_properties(const EVENT_TRACE_PROPERTIES* properties, std::size_t name_units) {
  if (properties == nullptr) return ERROR_INVALID_PARAMETER;
  if (properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
  const ULONG offset = properties->LoggerNameOffset;
  if (offset == 0) return ERROR_SUCCESS;
  if (offset < sizeof(EVENT_TRACE_PROPERTIES) || offset > properties->Wnode.BufferSize) {
    return ERROR_INVALID_PARAMETER;
  }
  if (static_cast<std::uint64_t>(offset) + (name_units + 1) * sizeof(WCHAR) > properties->Wnode.BufferSize) {
    return ERROR_BAD_LENGTH;
  }
  return ERROR_SUCCESS;
}

// What Windows writes back into the block after a start, query or stop.
void fill_properties(EVENT_TRACE_PROPERTIES* properties, const etw::SessionInfo& info) {
  properties->Wnode.HistoricalContext = etw_surface::make_handle(etw_surface::HandleKind::session, info.handle);
  properties->Wnode.Guid = etw_surface::to_win32(info.session_guid);
  properties->BufferSize = info.config.buffer_size_kb;
  properties->MinimumBuffers = info.config.minimum_buffers;
  properties->MaximumBuffers = info.config.maximum_buffers;
  properties->LogFileMode = info.config.log_file_mode;
  properties->FlushTimer = info.config.flush_timer;
  properties->NumberOfBuffers = info.number_of_buffers;
  properties->FreeBuffers = info.free_buffers;
  properties->EventsLost = info.events_lost;
  properties->BuffersWritten = info.buffers_written;
  properties->LogBuffersLost = info.log_buffers_lost;
  properties->RealTimeBuffersLost = info.real_time_buffers_lost;
  if (properties->LoggerNameOffset != 0 && check_properties(properties, info.name.size()) == ERROR_SUCCESS) {
    auto* area = reinterpret_cast<WCHAR*>(reinterpret_cast<BYTE*>(properties) + properties->LoggerNameOffset);
    std::memcpy(area, info.name.data(), info.name.size() * sizeof(WCHAR));
    area[info.name.size()] = 0;
  }
}

}  // namespace

void set_etw_session_buffer_defaults(std::uint32_t buffer_size_kb, std::uint32_t maximum_buffers) {
  g_default_buffer_kb.store(buffer_size_kb);
  g_default_maximum_buffers.store(maximum_buffers);
}

void reset_etw_session_buffer_defaults() { set_etw_session_buffer_defaults(0, 0); }

namespace etw_surface {

etw::Runtime& runtime() {
  static etw::Runtime& wired = [] () -> etw::Runtime& {
    etw::runtime().set_clock(&performance_counter);
    etw::runtime().set_writer_identity(&writer_identity);
    return etw::runtime();
  }();
  return wired;
}

}  // namespace etw_surface
}  // namespace platform::win32

using platform::win32::etw_surface::HandleKind;
using platform::win32::etw_surface::runtime_handle;

ULONG StartTraceW(PTRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties) {
  PLATFORM_FAIL_IF_ARMED("StartTraceW", GetLastError());
  if (TraceHandle == nullptr || InstanceName == nullptr) return ERROR_INVALID_PARAMETER;
  const ULONG checked = platform::win32::check_properties(Properties, platform::win32::name_length(InstanceName));
  if (checked != ERROR_SUCCESS) return checked;
  if ((Properties->Wnode.Flags & WNODE_FLAG_TRACED_GUID) == 0) return ERROR_INVALID_PARAMETER;
  etw::SessionConfig config;
  config.buffer_size_kb =
      Properties->BufferSize != 0 ? Properties->BufferSize : platform::win32::g_default_buffer_kb.load();
  config.minimum_buffers = Properties->MinimumBuffers;
  config.maximum_buffers =
      Properties->MaximumBuffers != 0 ? Properties->MaximumBuffers : platform::win32::g_default_maximum_buffers.load();
  config.flush_timer = Properties->FlushTimer;
  config.log_file_mode = Properties->LogFileMode;
  config.clock_type = Properties->Wnode.ClientContext;
  const etw::SessionResult result = platform::win32::etw_surface::runtime().start_session(
      std::u16string_view(InstanceName, platform::win32::name_length(InstanceName)), config);
  if (result.status != etw::Status::ok) return platform::win32::etw_surface::to_win32(result.status);
  *TraceHandle = platform::win32::etw_surface::make_handle(HandleKind::session, result.info.handle);
  platform::win32::fill_properties(Properties, result.info);
  return ERROR_SUCCESS;
}

ULONG ControlTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties,
                    ULONG ControlCode) {
  PLATFORM_FAIL_IF_ARMED("ControlTraceW", GetLastError());
  if ((TraceHandle == 0 && InstanceName == nullptr) || ControlCode > EVENT_TRACE_CONTROL_FLUSH) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::size_t name_units = InstanceName != nullptr ? platform::win32::name_length(InstanceName) : 0;
  const ULONG checked = platform::win32::check_properties(Properties, name_units);
  if (checked != ERROR_SUCCESS) return checked;
  auto& etw_runtime = platform::win32::etw_surface::runtime();
  const bool stop = ControlCode == EVENT_TRACE_CONTROL_STOP;
  etw::SessionResult result;
  // As Windows does: a name, when given, names the session and the handle is ignored; only
  // without a name does the handle count, and one that is no session handle is refused.
  if (InstanceName != nullptr) {
    const std::u16string_view name(InstanceName, name_units);
    result = stop ? etw_runtime.stop_session(name) : etw_runtime.query_session(name);
  } else {
    const std::uint64_t session = runtime_handle(HandleKind::session, TraceHandle);
    if (session == 0) return ERROR_INVALID_PARAMETER;
    result = stop ? etw_runtime.stop_session(session) : etw_runtime.query_session(session);
  }
  if (result.status != etw::Status::ok) return platform::win32::etw_surface::to_win32(result.status);
  platform::win32::fill_properties(Properties, result.info);
  return ERROR_SUCCESS;
}

ULONG StopTraceW(TRACEHANDLE TraceHandle, LPCWSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties) {
  PLATFORM_FAIL_IF_ARMED("StopTraceW", GetLastError());
  // The same stop as ControlTraceW's; Windows wants a properties block here too, for the
  // session's last state.
  return ControlTraceW(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_STOP);
}

ULONG EnableTraceEx2(TRACEHANDLE TraceHandle, LPCGUID ProviderId, ULONG ControlCode, UCHAR Level,
                     ULONGLONG MatchAnyKeyword, ULONGLONG MatchAllKeyword, ULONG /*Timeout*/,
                     PENABLE_TRACE_PARAMETERS EnableParameters) {
  PLATFORM_FAIL_IF_ARMED("EnableTraceEx2", GetLastError());
  if (ProviderId == nullptr || TraceHandle == 0 || ControlCode > EVENT_CONTROL_CODE_CAPTURE_STATE) {
    return ERROR_INVALID_PARAMETER;
  }
  if (EnableParameters != nullptr && EnableParameters->Version != ENABLE_TRACE_PARAMETERS_VERSION &&
      EnableParameters->Version != ENABLE_TRACE_PARAMETERS_VERSION_2) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::uint64_t session = runtime_handle(HandleKind::session, TraceHandle);
  if (session == 0) return ERROR_INVALID_HANDLE;
  auto& etw_runtime = platform::win32::etw_surface::runtime();
  const etw::Guid provider = platform::win32::etw_surface::to_etw(*ProviderId);
  if (ControlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
    return platform::win32::etw_surface::to_win32(etw_runtime.disable_provider(session, provider));
  }
  if (ControlCode == EVENT_CONTROL_CODE_CAPTURE_STATE) {
    // No provider of the virtual target keeps state to capture; the session must exist.
    return etw_runtime.query_session(session).status == etw::Status::ok ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  }
  etw::EnableSettings settings;
  settings.level = Level;
  settings.match_any = MatchAnyKeyword;
  settings.match_all = MatchAllKeyword;
  // Enable callbacks receive the first filter descriptor; the runtime keeps this copy alive
  // as long as the enable stands (the caller's may go away when this call returns).
  if (EnableParameters != nullptr && EnableParameters->EnableFilterDesc != nullptr &&
      EnableParameters->FilterDescCount > 0) {
    settings.filter_data = std::make_shared<EVENT_FILTER_DESCRIPTOR>(*EnableParameters->EnableFilterDesc);
  }
  return platform::win32::etw_surface::to_win32(etw_runtime.enable_provider(session, provider, settings));
}
