// The user-mode ETW surface as the service uses it: what the Win32 calls make of the ETW
// runtime's answers (statuses, handles, EVENT_TRACE_PROPERTIES and EVENT_RECORD fields). The
// runtime's own rules (the session limit, loss, close, late registration, reset) are held by
// platform/etw/src/runtime_test.cpp; here each is seen once only through what Win32 shows of it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "evntrace.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "winbase.h"

namespace {

constexpr GUID kProvider = {0x1B2C3D4E, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}};

// A properties block with room for a name, as the service builds it.
struct Properties {
  explicit Properties(std::size_t name_units = 64) : bytes(sizeof(EVENT_TRACE_PROPERTIES) + 2 * (name_units + 1), 0) {
    get()->Wnode.BufferSize = static_cast<ULONG>(bytes.size());
    get()->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    get()->Wnode.ClientContext = 1;
    get()->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    get()->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
  }
  EVENT_TRACE_PROPERTIES* get() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(bytes.data()); }
  std::vector<BYTE> bytes;
};

struct Received {
  std::vector<EVENT_RECORD> records;
  std::vector<std::string> payloads;
  std::atomic<std::size_t> count{0};  // what another thread may watch while records grow
};

void CollectRecord(PEVENT_RECORD record) {
  auto* received = static_cast<Received*>(record->UserContext);
  received->records.push_back(*record);
  received->payloads.emplace_back(static_cast<const char*>(record->UserData), record->UserDataLength);
  ++received->count;
}

TRACEHANDLE OpenConsumer(LPCWSTR name, Received& received) {
  EVENT_TRACE_LOGFILEW logfile;
  std::memset(&logfile, 0, sizeof logfile);
  logfile.LoggerName = const_cast<LPWSTR>(name);
  logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD | PROCESS_TRACE_MODE_RAW_TIMESTAMP;
  logfile.EventRecordCallback = &CollectRecord;
  logfile.Context = &received;
  return OpenTraceW(&logfile);
}

ULONG Write(REGHANDLE provider, UCHAR level, ULONGLONG keyword, const std::string& payload) {
  EVENT_DESCRIPTOR descriptor{};
  descriptor.Id = 7;
  descriptor.Level = level;
  descriptor.Keyword = keyword;
  EVENT_DATA_DESCRIPTOR data;
  EventDataDescCreate(&data, payload.data(), static_cast<ULONG>(payload.size()));
  return EventWrite(provider, &descriptor, 1, &data);
}

class EtwSurfaceTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
  void TearDown() override { sim::reset(); }
};

TEST_F(EtwSurfaceTest, SessionControlAnswersAsWindows) {
  Properties properties;
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"Conduit Session", properties.get()), ERROR_SUCCESS);
  EXPECT_NE(session, 0u);
  EXPECT_EQ(std::u16string(reinterpret_cast<LPCWSTR>(properties.bytes.data() + sizeof(EVENT_TRACE_PROPERTIES))),
            u"Conduit Session");

  Properties again;
  TRACEHANDLE second = 0;
  EXPECT_EQ(StartTraceW(&second, u"CONDUIT session", again.get()), ERROR_ALREADY_EXISTS);

  // A block whose size cannot hold the structure, or whose name area cannot hold the name,
  // has a bad length; no block, or a name offset into the structure, is a bad parameter.
  constexpr ULONG kBadLength = 24;  // ERROR_BAD_LENGTH
  Properties small;
  small.get()->Wnode.BufferSize = sizeof(EVENT_TRACE_PROPERTIES) - 1;
  EXPECT_EQ(StartTraceW(&second, u"Other", small.get()), kBadLength);
  Properties no_room(2);
  EXPECT_EQ(StartTraceW(&second, u"Longer name", no_room.get()), kBadLength);
  EXPECT_EQ(StartTraceW(&second, u"Other", nullptr), ERROR_INVALID_PARAMETER);
  Properties inside;
  inside.get()->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES) - 8;
  EXPECT_EQ(StartTraceW(&second, u"Other", inside.get()), ERROR_INVALID_PARAMETER);
  Properties untraced;
  untraced.get()->Wnode.Flags = 0;
  EXPECT_EQ(StartTraceW(&second, u"Other", untraced.get()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ControlTraceW(0, u"Conduit Session", no_room.get(), EVENT_TRACE_CONTROL_QUERY), kBadLength);
  EXPECT_EQ(StopTraceW(session, u"Conduit Session", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(StopTraceW(session, nullptr, small.get()), kBadLength);

  // A name, when given, names the session: the handle of another one is ignored.
  TRACEHANDLE other = 0;
  ASSERT_EQ(StartTraceW(&other, u"Other", Properties().get()), ERROR_SUCCESS);
  Properties by_name;
  EXPECT_EQ(StopTraceW(session, u"Other", by_name.get()), ERROR_SUCCESS);
  EXPECT_EQ(ControlTraceW(0, u"Other", by_name.get(), EVENT_TRACE_CONTROL_QUERY), ERROR_WMI_INSTANCE_NOT_FOUND);
  EXPECT_EQ(ControlTraceW(0, u"Conduit Session", by_name.get(), EVENT_TRACE_CONTROL_QUERY), ERROR_SUCCESS);
  // Without a name only a session handle will do.
  Received received;
  const TRACEHANDLE consumer = OpenConsumer(u"Conduit Session", received);
  ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(StopTraceW(consumer, nullptr, by_name.get()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(StopTraceW(consumer, u"Conduit Session", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CloseTrace(consumer), ERROR_SUCCESS);

  // Stop by name in another case; a second stop finds nothing, by name or by handle.
  Properties stop;
  EXPECT_EQ(ControlTraceW(0, u"conduit SESSION", stop.get(), EVENT_TRACE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_EQ(ControlTraceW(0, u"conduit SESSION", stop.get(), EVENT_TRACE_CONTROL_STOP), ERROR_WMI_INSTANCE_NOT_FOUND);
  EXPECT_EQ(StopTraceW(session, nullptr, stop.get()), ERROR_WMI_INSTANCE_NOT_FOUND);

  sim::fail_next("StartTraceW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(StartTraceW(&second, u"Other", Properties().get()), ERROR_ACCESS_DENIED);
}

TEST_F(EtwSurfaceTest, EnableNeedsASessionHandle) {
  EXPECT_EQ(EnableTraceEx2(0, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 4, 0, 0, 0, nullptr),
            ERROR_INVALID_PARAMETER);
  // A processing handle is not a session handle, whatever its number.
  Properties properties;
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"S", properties.get()), ERROR_SUCCESS);
  Received received;
  const TRACEHANDLE consumer = OpenConsumer(u"S", received);
  ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(EnableTraceEx2(consumer, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 4, 0, 0, 0, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(EnableTraceEx2(session, &kProvider, 9, 4, 0, 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CloseTrace(consumer), ERROR_SUCCESS);
}

TEST_F(EtwSurfaceTest, OpenTraceOfAnUnknownSessionFails) {
  Received received;
  SetLastError(0);
  EXPECT_EQ(OpenConsumer(u"Nobody", received), INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WMI_INSTANCE_NOT_FOUND));
}

// Level and keywords as ETW matches them; delivery carries the header fields the service
// copies; ProcessTrace returns once the session stops.
TEST_F(EtwSurfaceTest, DeliversMatchingEventsUntilTheSessionStops) {
  Properties properties;
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"Deliver", properties.get()), ERROR_SUCCESS);
  std::atomic<int> callbacks{0};
  std::atomic<ULONG> last_enabled{99};
  std::pair<std::atomic<int>*, std::atomic<ULONG>*> state(&callbacks, &last_enabled);
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kProvider,
                          [](LPCGUID, ULONG is_enabled, UCHAR, ULONGLONG, ULONGLONG, PEVENT_FILTER_DESCRIPTOR,
                             PVOID context) {
                            auto* seen = static_cast<std::pair<std::atomic<int>*, std::atomic<ULONG>*>*>(context);
                            ++*seen->first;
                            seen->second->store(is_enabled);
                          },
                          &state, &provider),
            ERROR_SUCCESS);
  ASSERT_EQ(EnableTraceEx2(session, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 3, 0x6, 0x2, 0, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(callbacks.load(), 1);
  EXPECT_EQ(last_enabled.load(), 1u);

  EVENT_DESCRIPTOR verbose{};
  verbose.Level = 5;
  verbose.Keyword = 0x2;
  EXPECT_FALSE(EventEnabled(provider, &verbose));
  ASSERT_EQ(Write(provider, 3, 0x2, "level and keyword match"), ERROR_SUCCESS);
  ASSERT_EQ(Write(provider, 4, 0x2, "level too high"), ERROR_SUCCESS);
  ASSERT_EQ(Write(provider, 2, 0x4, "match-all bit missing"), ERROR_SUCCESS);
  ASSERT_EQ(Write(provider, 1, 0, "keyword 0 always matches"), ERROR_SUCCESS);

  Received received;
  TRACEHANDLE consumer = OpenConsumer(u"Deliver", received);
  ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
  ULONG processed = 99;
  std::thread reader([&] { processed = ProcessTrace(&consumer, 1, nullptr, nullptr); });
  Properties stop;
  ASSERT_EQ(ControlTraceW(session, nullptr, stop.get(), EVENT_TRACE_CONTROL_STOP), ERROR_SUCCESS);
  reader.join();
  EXPECT_EQ(processed, ERROR_SUCCESS);
  EXPECT_EQ(last_enabled.load(), 0u);  // the stop disabled the provider

  ASSERT_EQ(received.payloads.size(), 2u);
  EXPECT_EQ(received.payloads[0], "level and keyword match");
  EXPECT_EQ(received.payloads[1], "keyword 0 always matches");
  const EVENT_RECORD& first = received.records[0];
  EXPECT_EQ(first.EventHeader.Size, sizeof(EVENT_HEADER));
  EXPECT_TRUE(IsEqualGUID(first.EventHeader.ProviderId, kProvider));
  EXPECT_EQ(first.EventHeader.EventDescriptor.Id, 7);
  EXPECT_EQ(first.EventHeader.ProcessId, GetCurrentProcessId());
  EXPECT_EQ(first.EventHeader.ThreadId, GetCurrentThreadId());
  EXPECT_NE(first.BufferContext.LoggerId, 0);
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  EXPECT_GT(first.EventHeader.TimeStamp.QuadPart, 0);
  EXPECT_LE(first.EventHeader.TimeStamp.QuadPart, now.QuadPart);
  EXPECT_LE(first.EventHeader.TimeStamp.QuadPart, received.records[1].EventHeader.TimeStamp.QuadPart);
  EXPECT_EQ(EventUnregister(provider), ERROR_SUCCESS);
  EXPECT_EQ(EventUnregister(provider), ERROR_INVALID_HANDLE);
}

// A provider enabled before it registers: the enable reaches its Win32 callback, with the
// level, when it registers.
TEST_F(EtwSurfaceTest, LateRegistrationIsToldOfTheEnable) {
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"Early", Properties().get()), ERROR_SUCCESS);
  ASSERT_EQ(EnableTraceEx2(session, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 5, 0, 0, 0, nullptr),
            ERROR_SUCCESS);
  static std::atomic<int> s_enables{0};
  s_enables = 0;
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kProvider,
                          [](LPCGUID, ULONG is_enabled, UCHAR level, ULONGLONG, ULONGLONG, PEVENT_FILTER_DESCRIPTOR,
                             PVOID) {
                            if (is_enabled == 1 && level == 5) ++s_enables;
                          },
                          nullptr, &provider),
            ERROR_SUCCESS);
  EXPECT_EQ(s_enables.load(), 1);
  EXPECT_TRUE(EventProviderEnabled(provider, 5, 0));
  EXPECT_EQ(EventWriteString(provider, 5, 0, u"text"), ERROR_SUCCESS);
}

// A loss as Win32 shows it: EventWrite's status, the counts in EVENT_TRACE_PROPERTIES, and the
// runtime's in-band notice as an EVENT_RECORD.
TEST_F(EtwSurfaceTest, StalledConsumerLosesCountedEvents) {
  sim::set_etw_session_buffer(1, 1);  // 1 KiB
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"Stall", Properties().get()), ERROR_SUCCESS);
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &provider), ERROR_SUCCESS);
  ASSERT_EQ(EnableTraceEx2(session, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 0, 0, 0, 0, nullptr),
            ERROR_SUCCESS);
  const std::string payload(200, 'x');
  int lost = 0;
  for (int i = 0; i < 20; ++i) {
    if (Write(provider, 1, 0, payload) == ERROR_NOT_ENOUGH_MEMORY) ++lost;
  }
  EXPECT_GT(lost, 0);
  Properties query;
  ASSERT_EQ(ControlTraceW(session, nullptr, query.get(), EVENT_TRACE_CONTROL_QUERY), ERROR_SUCCESS);
  EXPECT_EQ(query.get()->EventsLost, static_cast<ULONG>(lost));
  EXPECT_EQ(query.get()->RealTimeBuffersLost, 1u);

  Received received;
  TRACEHANDLE consumer = OpenConsumer(u"Stall", received);
  ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
  ASSERT_EQ(ControlTraceW(session, nullptr, query.get(), EVENT_TRACE_CONTROL_STOP), ERROR_SUCCESS);
  ASSERT_EQ(ProcessTrace(&consumer, 1, nullptr, nullptr), ERROR_SUCCESS);
  ASSERT_FALSE(received.records.empty());
  const GUID lost_event = {0x6A399AE0, 0x4BC6, 0x4DE9, {0x87, 0x0B, 0x36, 0x57, 0xF8, 0x94, 0x7E, 0x7E}};
  EXPECT_TRUE(IsEqualGUID(received.records.back().EventHeader.ProviderId, lost_event));
  EXPECT_EQ(received.records.back().EventHeader.EventDescriptor.Opcode, 32);
}

// CloseTrace while ProcessTrace runs answers ERROR_CTX_CLOSE_PENDING, ProcessTrace returns
// ERROR_SUCCESS, and the handle is gone.
TEST_F(EtwSurfaceTest, CloseTraceDuringProcessTraceAnswersClosePending) {
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"Close", Properties().get()), ERROR_SUCCESS);
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &provider), ERROR_SUCCESS);
  ASSERT_EQ(EnableTraceEx2(session, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 0, 0, 0, 0, nullptr),
            ERROR_SUCCESS);
  Received received;
  TRACEHANDLE consumer = OpenConsumer(u"Close", received);
  ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
  ULONG processed = 99;
  std::thread reader([&] { processed = ProcessTrace(&consumer, 1, nullptr, nullptr); });
  // An event delivered shows that ProcessTrace runs.
  EXPECT_EQ(Write(provider, 1, 0, "running"), ERROR_SUCCESS);
  const bool running = sim::wait_for([&] { return received.count.load() > 0; });
  const ULONG closed = CloseTrace(consumer);
  reader.join();
  ASSERT_TRUE(running);
  EXPECT_EQ(closed, static_cast<ULONG>(ERROR_CTX_CLOSE_PENDING));
  EXPECT_EQ(processed, ERROR_SUCCESS);
  EXPECT_EQ(ProcessTrace(&consumer, 1, nullptr, nullptr), ERROR_INVALID_HANDLE);
}

// sim::reset reaches the runtime: a session of before the reset is gone.
TEST_F(EtwSurfaceTest, ResetEndsSessions) {
  TRACEHANDLE session = 0;
  ASSERT_EQ(StartTraceW(&session, u"Survivor", Properties().get()), ERROR_SUCCESS);
  sim::reset();
  EXPECT_EQ(StartTraceW(&session, u"Survivor", Properties().get()), ERROR_SUCCESS);
}

}  // namespace
