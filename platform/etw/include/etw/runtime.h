// The ETW runtime of the virtual target: real-time sessions, providers, event delivery and
// real-time consumers, as one in-process object that the user-mode surface (StartTraceW,
// EnableTraceEx2, EventWrite, OpenTraceW, ProcessTrace, ...) and the kernel surface
// (EtwRegister, EtwWrite) wrap. Both surfaces reach the same sessions, as on Windows.
//
// Results are `Status` values whose numbers are the Win32 error codes Windows answers for
// the same situation, so the user-mode surface passes them on unchanged and the kernel
// surface maps them to NTSTATUS in one place.
//
// Lifecycle and threads:
// - Every member function may be called from any thread.
// - Control operations (start, stop, enable, disable, register, unregister) are serialised;
//   enable callbacks run on the thread of the operation that caused them, after the
//   runtime's state is updated and without the runtime's state lock held, so a callback may
//   call `is_enabled`, `write` or even another control operation. `unregister_provider`
//   waits for callbacks running on other threads, as EventUnregister does.
// - `write` never blocks on a consumer: an event that does not fit a session's buffer is
//   lost, counted, and reported in-band to the consumer (see `kRealTimeLostEventGuid`).
// - `process` delivers on the calling thread and returns when the session stops (after
//   delivering everything the session buffered) or when the consumer is closed from
//   another thread.
// - A Runtime must outlive every call into it, `process` on other threads included; the
//   process-wide one (`runtime()`) is never destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "etw/guid.h"

namespace etw {

enum class Status : std::uint32_t {
  ok = 0,
  invalid_handle = 6,             // ERROR_INVALID_HANDLE
  not_enough_memory = 8,          // ERROR_NOT_ENOUGH_MEMORY: the event was lost in a session
  invalid_parameter = 87,         // ERROR_INVALID_PARAMETER
  already_exists = 183,           // ERROR_ALREADY_EXISTS: a session of that name runs
  more_data = 234,                // ERROR_MORE_DATA: the event is larger than a session's buffer
  arithmetic_overflow = 534,      // ERROR_ARITHMETIC_OVERFLOW: the event exceeds 64 KiB
  no_system_resources = 1450,     // ERROR_NO_SYSTEM_RESOURCES: 64 sessions, or 8 per provider
  wmi_instance_not_found = 4201,  // ERROR_WMI_INSTANCE_NOT_FOUND: no session of that name/handle
  close_pending = 7007,           // ERROR_CTX_CLOSE_PENDING: closed while `process` runs
};

// Handles are never 0; a handle of a stopped session, an unregistered provider or a closed
// consumer stays invalid (it is never handed out again).
using SessionHandle = std::uint64_t;
using RegistrationHandle = std::uint64_t;
using ConsumerHandle = std::uint64_t;

inline constexpr std::size_t kMaxSessions = 64;
inline constexpr std::size_t kMaxSessionsPerProvider = 8;
// An event and its 80-byte header must fit in 64 KiB.
inline constexpr std::uint32_t kMaxUserDataSize = 65536 - 80;

// Session buffer: `buffer_size_kb` × `maximum_buffers` bytes of events queued for the
// real-time consumer. Zero fields take the defaults; the total is capped at kMaxBufferBytes.
inline constexpr std::uint32_t kDefaultBufferSizeKb = 64;
inline constexpr std::uint32_t kDefaultMaximumBuffers = 64;
inline constexpr std::uint64_t kMaxBufferBytes = 64ull << 20;

// The header flags the runtime puts in `EventView::flags` (EVENT_HEADER_FLAG_*). Every event
// carries k64BitHeader (the target is x64); a surface adds others through WriteOptions.
inline constexpr std::uint16_t kHeaderFlagStringOnly = 0x0004;
inline constexpr std::uint16_t kHeaderFlag64BitHeader = 0x0040;
inline constexpr std::uint16_t kHeaderFlagClassicHeader = 0x0100;

// Real-time lost-event notification, as Windows delivers it in a real-time stream: a classic
// event of this provider with opcode kRealTimeLostEventOpcode (RTLostEvent) and no user data.
// The runtime places one where a run of lost events begins: every event after it in the
// stream was written after the loss. Its time stamp and writer ids are those of the first
// event lost.
inline constexpr Guid kRealTimeLostEventGuid{
    0x6A399AE0, 0x4BC6, 0x4DE9, {0x87, 0x0B, 0x36, 0x57, 0xF8, 0x94, 0x7E, 0x7E}};
inline constexpr std::uint8_t kRealTimeLostEventOpcode = 32;

// Same layout as Windows' EVENT_DESCRIPTOR.
struct EventDescriptor {
  std::uint16_t id = 0;
  std::uint8_t version = 0;
  std::uint8_t channel = 0;
  std::uint8_t level = 0;
  std::uint8_t opcode = 0;
  std::uint16_t task = 0;
  std::uint64_t keyword = 0;
};
static_assert(sizeof(EventDescriptor) == 16);

// Same layout as Windows' EVENT_DATA_DESCRIPTOR, so a surface may pass the caller's array.
struct DataDescriptor {
  std::uint64_t ptr = 0;
  std::uint32_t size = 0;
  std::uint32_t reserved = 0;
};
static_assert(sizeof(DataDescriptor) == 16);

inline DataDescriptor data_of(const void* data, std::uint32_t size) {
  return DataDescriptor{reinterpret_cast<std::uintptr_t>(data), size, 0};
}

struct WriterIdentity {
  std::uint32_t process_id = 0;
  std::uint32_t thread_id = 0;
  std::uint8_t processor_number = 0;
};

// Hooks the surface wires to the platform: the clock gives the raw time stamp of every event
// (default: a monotonic 10 MHz count; the user-mode surface sets QueryPerformanceCounter),
// the identity hook the writer's ids (default: the host's process and thread ids and CPU).
using ClockHook = std::int64_t (*)();
using IdentityHook = WriterIdentity (*)();

struct SessionConfig {
  std::uint32_t buffer_size_kb = 0;   // 0: kDefaultBufferSizeKb
  std::uint32_t minimum_buffers = 0;  // reported back only
  std::uint32_t maximum_buffers = 0;  // 0: kDefaultMaximumBuffers
  std::uint32_t flush_timer = 0;      // reported back only
  std::uint32_t log_file_mode = 0;    // reported back only; every session is real-time
  std::uint32_t clock_type = 0;       // Wnode.ClientContext, reported back only
};

// What ControlTraceW (query, stop) fills back into EVENT_TRACE_PROPERTIES. `config` holds the
// effective values (defaults applied). Counters are those of the session's whole life:
// `events_lost` counts events that did not fit; `real_time_buffers_lost` counts runs of lost
// events (each run is one gap in the stream, marked by one lost-event notification);
// `buffers_written` counts hand-offs of queued events to a consumer.
struct SessionInfo {
  SessionHandle handle = 0;
  std::uint16_t logger_id = 0;
  Guid session_guid;
  std::u16string name;
  SessionConfig config;
  std::uint32_t number_of_buffers = 0;
  std::uint32_t free_buffers = 0;
  std::uint32_t events_lost = 0;
  std::uint32_t log_buffers_lost = 0;
  std::uint32_t real_time_buffers_lost = 0;
  std::uint32_t buffers_written = 0;
  std::uint64_t events_written = 0;  // delivered into the session's buffer (not a Windows field)
  // Events whose consumer callback has returned (not a Windows field): what a test waits on
  // to know that the consumer has seen an event, also one it chose to ignore.
  std::uint64_t events_delivered = 0;
};

struct SessionResult {
  Status status = Status::ok;
  SessionInfo info;  // filled when status is ok
};

// Enable settings of one provider in one session (EnableTraceEx2). `filter_data` is opaque
// to the runtime: it is kept alive as long as the enable stands and handed to enable
// callbacks as their filter pointer (also to a provider that registers later), so a surface
// stores its own copy of the caller's EVENT_FILTER_DESCRIPTOR there.
struct EnableSettings {
  std::uint8_t level = 0;  // 0: every level
  std::uint64_t match_any = 0;  // 0: every keyword
  std::uint64_t match_all = 0;
  std::shared_ptr<const void> filter_data;
};

// An enable callback as PENABLECALLBACK receives it. `is_enabled` is 1 on enable, 0 on
// disable (then level and keywords are 0). `source_id` is the enabling session's GUID.
using EnableCallback = std::function<void(const Guid& source_id, std::uint32_t is_enabled, std::uint8_t level,
                                          std::uint64_t match_any, std::uint64_t match_all,
                                          const void* filter_data, void* context)>;

struct RegisterResult {
  Status status = Status::ok;
  RegistrationHandle handle = 0;
};

struct WriteOptions {
  std::uint16_t header_flags = 0;            // added to kHeaderFlag64BitHeader
  const WriterIdentity* identity = nullptr;  // null: the identity hook
};

// One event as a real-time consumer sees it: everything EVENT_RECORD carries. `user_data`
// points into the session's buffer and is valid only during the callback.
struct EventView {
  Guid provider_id;
  EventDescriptor descriptor;
  std::uint16_t header_flags = 0;
  std::uint32_t process_id = 0;
  std::uint32_t thread_id = 0;
  std::int64_t timestamp = 0;  // raw clock ticks
  std::uint8_t processor_number = 0;
  std::uint16_t logger_id = 0;
  const void* user_data = nullptr;
  std::uint16_t user_data_length = 0;
};

using EventCallback = std::function<void(const EventView&)>;

struct OpenResult {
  Status status = Status::ok;
  ConsumerHandle handle = 0;
};

// Level and keyword matching as ETW defines it: an enable level of 0 takes every level,
// otherwise the event's level must not exceed it; an event keyword of 0 matches any enable;
// otherwise the event needs one bit of `match_any` (0 standing for all bits) and every bit
// of `match_all`.
inline bool event_matches(std::uint8_t enable_level, std::uint64_t match_any, std::uint64_t match_all,
                          std::uint8_t event_level, std::uint64_t event_keyword) {
  if (enable_level != 0 && event_level > enable_level) return false;
  if (event_keyword == 0) return true;
  return (match_any == 0 || (event_keyword & match_any) != 0) && (event_keyword & match_all) == match_all;
}

// Logger names compare as Windows compares them: without regard to case.
bool session_names_equal(std::u16string_view a, std::u16string_view b);

class Runtime {
 public:
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  void set_clock(ClockHook clock);           // null restores the default
  void set_writer_identity(IdentityHook hook);  // null restores the default

  // Sessions. Start: an empty name -> invalid_parameter; a running session of the same name
  // (any case) -> already_exists; 64 running -> no_system_resources. The info carries the
  // handle, the logger id (1..64) and the session GUID.
  SessionResult start_session(std::u16string_view name, const SessionConfig& config = {});
  // Stop: the session ends, its providers get disable callbacks, its consumers deliver what
  // was buffered and return. Unknown name or handle -> wmi_instance_not_found. The info is
  // the session's last state.
  SessionResult stop_session(SessionHandle handle);
  SessionResult stop_session(std::u16string_view name);
  SessionResult query_session(SessionHandle handle);
  SessionResult query_session(std::u16string_view name);

  // Enabling. Handle 0 -> invalid_parameter (as EnableTraceEx2 documents for a zero trace
  // handle); a non-zero handle of no running session -> invalid_handle; a provider already
  // enabled in 8 other sessions -> no_system_resources. Enabling again updates the settings.
  // Disabling a provider that is not enabled in the session succeeds.
  Status enable_provider(SessionHandle session, const Guid& provider, const EnableSettings& settings);
  Status disable_provider(SessionHandle session, const Guid& provider);

  // Providers. A registration gets an enable callback at once for every session that
  // already enabled its GUID. Several registrations of one GUID are independent.
  RegisterResult register_provider(const Guid& provider, EnableCallback callback = {}, void* context = nullptr);
  Status unregister_provider(RegistrationHandle handle);  // unknown -> invalid_handle
  bool is_provider_enabled(RegistrationHandle handle) const;
  bool is_enabled(RegistrationHandle handle, std::uint8_t level, std::uint64_t keyword) const;

  // Writes one event, its user data gathered from `data` in order, to every session that
  // enabled the provider at a matching level and keywords. Results: invalid_handle for an
  // unknown registration; invalid_parameter for a descriptor with size but no pointer;
  // arithmetic_overflow above kMaxUserDataSize; more_data when a session's buffer could
  // never hold the event; not_enough_memory when a session's buffer was full. In the last
  // two cases the event is lost in that session only, and counted there.
  Status write(RegistrationHandle handle, const EventDescriptor& descriptor, std::span<const DataDescriptor> data,
               const WriteOptions& options = {});

  // Real-time consumers. Open: no running session of that name -> wmi_instance_not_found.
  // Events the session buffered before `process` starts are delivered too.
  OpenResult open_consumer(std::u16string_view session_name);
  // Delivers on the calling thread, in the order written, and returns ok when the session
  // has stopped and everything it buffered was delivered, or when the consumer is closed
  // (the rest is not delivered). Unknown handle -> invalid_handle; a consumer already
  // processing on another thread -> invalid_parameter.
  Status process(ConsumerHandle handle, const EventCallback& callback);
  // Close: ok, or close_pending when `process` was running for it (it returns soon after);
  // unknown -> invalid_handle.
  Status close_consumer(ConsumerHandle handle);

  // Reset, in the platform's phases. Stop what runs: every session stops (no enable
  // callbacks: the process state they would reach is going away) and every consumer's
  // `process` returns. Drop process state: registrations and consumers are forgotten.
  void stop_all_sessions();
  void drop_process_state();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The runtime of the virtual target that the surfaces use.
Runtime& runtime();

}  // namespace etw
