// The redirect against the virtual target's ETW runtime: a real session and provider, a
// parser whose records the test controls, and a sink that can hold the writer back.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_base.h"
#include "etw_adapter.h"
#include "evntrace.h"
#include "sim/sim.h"
#include "tdh_parser.h"
#include "testing/host_test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr GUID kProvider = {0x6C1E2A40, 0x11D2, 0x4F70, {0x9A, 0x0B, 0x3C, 0x5D, 0x7E, 0x8F, 0x90, 0xA1}};

// One frame the sink received, reduced to what the tests look at.
struct Seen {
  char kind;           // 'E' an event's record, 'N' a notice
  unsigned sequence;   // the event's number
  std::string notice;  // the notice's text
  std::size_t write;   // which sink write carried it
};

// Records of a chosen size that name their event: 'E', the event's number (from its user
// data), then filler; notices are 'N', the number and the text.
class SizedParser : public ITdhParsingInterface {
 public:
  explicit SizedParser(std::vector<std::size_t> sizes) : m_sizes(std::move(sizes)) {}
  std::string GetETWData(PEVENT_RECORD event) override {
    const unsigned sequence = Sequence(event);
    std::string record(m_sizes[sequence % m_sizes.size()], '.');
    record[0] = 'E';
    std::memcpy(&record[1], &sequence, sizeof(sequence));
    ++m_built;
    return record;
  }
  std::string EtwGetCustomMessageString(PEVENT_RECORD event, const std::string& message) override {
    const unsigned sequence = Sequence(event);
    std::string record = "N" + std::string(sizeof(sequence), '\0') + message;
    std::memcpy(&record[1], &sequence, sizeof(sequence));
    return record;
  }
  std::atomic<int> m_built{0};

 private:
  static unsigned Sequence(PEVENT_RECORD event) {
    unsigned sequence = 0;
    std::memcpy(&sequence, event->UserData, sizeof(sequence));
    return sequence;
  }
  std::vector<std::size_t> m_sizes;
};

// Splits every write into its frames; a write that is not whole frames fails the test. The
// first write can be held until the test releases it.
class RecordingSink : public DeviceBase {
 public:
  DWORD Initialize(LPCWSTR) override {
    std::lock_guard lock(m_mutex);
    ++m_initializeCalls;
    m_initializeThread = std::this_thread::get_id();
    return 0;
  }
  DWORD Write(LPVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED) override {
    std::unique_lock lock(m_mutex);
    ++m_writes;
    m_writeThreads.push_back(std::this_thread::get_id());
    m_blockedCondition.notify_all();
    m_condition.wait(lock, [this] { return !m_hold; });
    const auto* bytes = static_cast<const BYTE*>(buffer);
    std::size_t at = 0;
    while (at < length) {
      EXPECT_GE(length - at, 10u);
      EXPECT_EQ(bytes[at], 0xBF);
      EXPECT_EQ(bytes[at + 1], 0xAE);
      unsigned long long size = 0;
      std::memcpy(&size, bytes + at + 2, 8);
      EXPECT_LE(size, length - at - 10) << "a record split across writes";
      if (size > length - at - 10) break;
      const char* record = reinterpret_cast<const char*>(bytes + at + 10);
      Seen seen{record[0], 0, {}, m_writes};
      std::memcpy(&seen.sequence, record + 1, sizeof(unsigned));
      if (seen.kind == 'N') seen.notice.assign(record + 5, size - 5);
      m_seen.push_back(seen);
      at += 10 + size;
    }
    m_bytesPerWrite.push_back(length);
    *written = length;
    return 0;
  }
  void Hold() {
    std::lock_guard lock(m_mutex);
    m_hold = true;
  }
  void WaitUntilHeld() {
    std::unique_lock lock(m_mutex);
    m_blockedCondition.wait(lock, [this] { return m_writes > 0; });
  }
  void Release() {
    {
      std::lock_guard lock(m_mutex);
      m_hold = false;
    }
    m_condition.notify_all();
  }
  std::vector<Seen> Frames() {
    std::lock_guard lock(m_mutex);
    return m_seen;
  }

  std::mutex m_mutex;
  std::condition_variable m_condition;
  std::condition_variable m_blockedCondition;
  bool m_hold = false;
  std::size_t m_writes = 0;
  int m_initializeCalls = 0;
  std::thread::id m_initializeThread;
  std::vector<std::thread::id> m_writeThreads;
  std::vector<std::size_t> m_bytesPerWrite;
  std::vector<Seen> m_seen;
};

class EtwAdapterTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // Room for every event of a test, so the session itself loses none.
    sim::set_etw_session_buffer(1024, 64);
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 64, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    ASSERT_EQ(StartTraceW(&m_session, kSession, properties), 0u);
    ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &m_provider), 0u);
    ASSERT_EQ(EnableTraceEx2(m_session, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 5, 0, 0, 0, nullptr), 0u);
  }
  void TearDown() override {
    EventUnregister(m_provider);
    StopSession();
    sim::reset();
    HostTest::TearDown();
  }

  // Starts a redirect with the given parser and hands the test's share back.
  std::shared_ptr<CEtwAdapter> Redirect(std::shared_ptr<ITdhParsingInterface> parser) {
    auto adapter = std::make_shared<CEtwAdapter>(kSession);
    adapter->SetParserForTesting(std::move(parser));
    EXPECT_EQ(adapter->ProcessTrace(m_sink), 0u);
    return adapter;
  }
  void Write(unsigned sequence) {
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Level = 4;
    EVENT_DATA_DESCRIPTOR data{};
    EventDataDescCreate(&data, &sequence, sizeof(sequence));
    ASSERT_EQ(EventWrite(m_provider, &descriptor, 1, &data), 0u);
  }
  void StopSession() {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 64, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    ControlTraceW(0, kSession, properties, EVENT_TRACE_CONTROL_STOP);
  }
  // Ends the session and waits until the consumer thread let go of the adapter.
  void Finish(std::shared_ptr<CEtwAdapter>& adapter) {
    std::weak_ptr<CEtwAdapter> watch = adapter;
    adapter.reset();
    StopSession();
    for (int i = 0; i < 3000 && !watch.expired(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(watch.expired());
  }
  // Events 0 to 3 decoded and queued while the sink holds the write of event 0.
  std::shared_ptr<CEtwAdapter> FourQueuedBehindAHeldWrite(const std::shared_ptr<SizedParser>& parser) {
    m_sink->Hold();
    auto adapter = Redirect(parser);
    Write(0);
    m_sink->WaitUntilHeld();
    for (unsigned i = 1; i < 4; ++i) Write(i);
    WaitFor([&] { return parser->m_built.load() == 4; });
    return adapter;
  }
  template <typename Condition>
  static void WaitFor(Condition condition) {
    for (int i = 0; i < 6000 && !condition(); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(condition());
  }

  static constexpr const WCHAR* kSession = TEXT("Adapter Test");
  TRACEHANDLE m_session = 0;
  REGHANDLE m_provider = 0;
  std::shared_ptr<RecordingSink> m_sink = std::make_shared<RecordingSink>();
};

TEST_F(EtwAdapterTest, EventsReachTheSinkInOrderAndTheSinkIsInitialisedOnceOnTheWritingThread) {
  auto adapter = Redirect(std::make_shared<SizedParser>(std::vector<std::size_t>{20, 300, 7}));
  for (unsigned i = 0; i < 200; ++i) Write(i);
  Finish(adapter);
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 200u);
  for (unsigned i = 0; i < 200; ++i) EXPECT_EQ(frames[i].sequence, i);
  EXPECT_EQ(m_sink->m_initializeCalls, 1);
  for (const auto& id : m_sink->m_writeThreads) EXPECT_EQ(id, m_sink->m_initializeThread);
  // The adapter's members go just after its last share.
  WaitFor([&] { return m_sink.use_count() == 1; });
}

TEST_F(EtwAdapterTest, ARedirectOfASessionThatDoesNotExistFailsWithInternalError) {
  CEtwAdapter adapter(TEXT("No Such Session"));
  EXPECT_EQ(adapter.ProcessTrace(m_sink), 1359u);
  EXPECT_NE(Log().find("ERROR # CEtwAdapter::ProcessTrace # OpenTrace() failed with 0x"), std::string::npos);
  EXPECT_NE(Log().find("GENERIC EXCEPTION Fn: CEtwAdapter::ProcessTrace"), std::string::npos);
}

// Three 3 MiB records after a held first write: the first two share a write, the third does
// not fit what is left and goes in the next one whole; a record above 8 MiB is dropped.
TEST_F(EtwAdapterTest, ARecordThatDoesNotFitTheRestOfTheBufferIsWrittenWholeInTheNextWrite) {
  auto parser = std::make_shared<SizedParser>(
      std::vector<std::size_t>{16, 3u << 20, 3u << 20, 3u << 20, CEtwAdapter::kFlushBufferSize, 16});
  m_sink->Hold();
  auto adapter = Redirect(parser);
  Write(0);
  m_sink->WaitUntilHeld();
  for (unsigned i = 1; i < 6; ++i) Write(i);
  WaitFor([&] { return parser->m_built.load() == 6; });
  std::this_thread::sleep_for(20ms);  // the last record is pushed just after it is built
  m_sink->Release();
  Finish(adapter);
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 5u);
  const std::vector<unsigned> sequences{0, 1, 2, 3, 5};
  const std::vector<std::size_t> writes{1, 2, 2, 3, 3};
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].sequence, sequences[i]);
    EXPECT_EQ(frames[i].write, writes[i]) << i;
  }
  EXPECT_EQ(m_sink->m_bytesPerWrite[1], 2 * ((3u << 20) + 10));
}

TEST_F(EtwAdapterTest, EventsAfterTheStopRequestAreDiscardedWhileQueuedOnesAreWritten) {
  auto parser = std::make_shared<SizedParser>(std::vector<std::size_t>{32});
  auto adapter = FourQueuedBehindAHeldWrite(parser);
  adapter->StopRunning();
  for (unsigned i = 4; i < 8; ++i) Write(i);
  std::this_thread::sleep_for(50ms);
  m_sink->Release();
  Finish(adapter);
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 4u);
  for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(frames[i].sequence, i);
  EXPECT_EQ(parser->m_built.load(), 4);
}

// The consumer thread's wait for the writer fails: the writer's own share keeps the adapter
// alive until the held write returns and the queued records are written.
TEST_F(EtwAdapterTest, AFailedWaitForTheWriterLeavesTheAdapterToTheWriter) {
  auto parser = std::make_shared<SizedParser>(std::vector<std::size_t>{32});
  auto adapter = FourQueuedBehindAHeldWrite(parser);
  std::weak_ptr<CEtwAdapter> watch = adapter;
  adapter.reset();
  sim::fail_next("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
  StopSession();
  std::this_thread::sleep_for(100ms);  // the consumer thread ends at once
  EXPECT_FALSE(watch.expired());
  m_sink->Release();
  WaitFor([&] { return watch.expired(); });
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 4u);
  for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(frames[i].sequence, i);
}

// 4 MiB records against the real 400 MiB cap: the held sink lets the queue pass the cap.
TEST_F(EtwAdapterTest, OverTheMemoryCapOneSkipNoticeThenDropsUntilTheQueueIsEmptyThenOneResumeNotice) {
  constexpr std::size_t kBig = 4u << 20;
  auto parser = std::make_shared<SizedParser>(std::vector<std::size_t>{kBig});
  m_sink->Hold();
  auto adapter = Redirect(parser);
  Write(0);
  m_sink->WaitUntilHeld();
  // Events 1..100 bring the count to exactly 400 MiB, which is not above the cap; event 101
  // passes it, and event 102 finds it passed.
  unsigned next = 1;
  for (; next <= 102; ++next) Write(next);
  WaitFor([&] { return Log().find("------> MAXLIMIT REACHED START SKIPPING MESSAGES") != std::string::npos; });
  for (int i = 0; i < 5; ++i) Write(next++);
  std::this_thread::sleep_for(50ms);
  const int builtWhileHeld = parser->m_built.load();
  m_sink->Release();
  WaitFor([&] { return m_sink->Frames().size() >= 103; });
  std::this_thread::sleep_for(50ms);
  const unsigned resumedAt = next;
  for (int i = 0; i < 3; ++i) Write(next++);
  Finish(adapter);

  EXPECT_EQ(builtWhileHeld, 102);
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 102u + 1u + 1u + 3u);
  for (unsigned i = 0; i <= 101; ++i) {
    EXPECT_EQ(frames[i].kind, 'E');
    EXPECT_EQ(frames[i].sequence, i);
  }
  EXPECT_EQ(frames[102].kind, 'N');
  EXPECT_EQ(frames[102].sequence, 102u);
  EXPECT_EQ(frames[102].notice, CEtwAdapter::kSkipNotice);
  EXPECT_EQ(frames[103].kind, 'N');
  EXPECT_EQ(frames[103].sequence, resumedAt);
  EXPECT_EQ(frames[103].notice, CEtwAdapter::kResumeNotice);
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[104 + i].kind, 'E');
    EXPECT_EQ(frames[104 + i].sequence, resumedAt + i);
  }
  const std::string log = Log();
  EXPECT_EQ(log.find("MAXLIMIT REACHED START SKIPPING"), log.rfind("MAXLIMIT REACHED START SKIPPING"));
  EXPECT_NE(log.find("------> MAXLIMIT RESET RESUMING MESSAGES"), std::string::npos);
}

}  // namespace
