// The redirect against the virtual target's ETW runtime: a real session and provider, a
// parser whose records the test controls, and a sink that can hold the writer back.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_base.h"
#include "etw_adapter.h"
#include "evntrace.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "sim/wait.h"
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

 protected:
  static unsigned Sequence(PEVENT_RECORD event) {
    unsigned sequence = 0;
    std::memcpy(&sequence, event->UserData, sizeof(sequence));
    return sequence;
  }

 private:
  std::vector<std::size_t> m_sizes;
};

// Throws out of the decoder for two events: std::bad_alloc, as an allocation that fails
// while a record is built, and an exception of no standard type.
class ThrowingParser : public SizedParser {
 public:
  ThrowingParser() : SizedParser({24}) {}
  std::string GetETWData(PEVENT_RECORD event) override {
    if (Sequence(event) == 1) throw std::bad_alloc();
    if (Sequence(event) == 2) throw 2;
    return SizedParser::GetETWData(event);
  }
};

// The platform's own decoder behind a gate: the first event holds the consumer thread until
// the test opens the gate, so that the session's buffer fills up and the session loses what
// is written meanwhile.
class GatedDecoder : public ITdhParsingInterface {
 public:
  std::string GetETWData(PEVENT_RECORD event) override {
    {
      std::unique_lock lock(m_mutex);
      ++m_seen;
      if (IsEqualGUID(event->EventHeader.ProviderId, kLostEventClass)) m_lossSeen = true;
      m_condition.notify_all();
      m_condition.wait(lock, [this] { return m_open; });
    }
    return m_decoder.GetETWData(event);
  }
  std::string EtwGetCustomMessageString(PEVENT_RECORD event, const std::string& message) override {
    return m_decoder.EtwGetCustomMessageString(event, message);
  }
  // False when the condition did not come about in 30 s (the test failed).
  template <typename Condition>
  bool WaitUntil(Condition condition) {
    std::unique_lock lock(m_mutex);
    return m_condition.wait_for(lock, 30s, [&] { return condition(*this); });
  }
  void Open() {
    {
      std::lock_guard lock(m_mutex);
      m_open = true;
    }
    m_condition.notify_all();
  }

  // Windows' class of the real-time lost-event notification (RT_LostEvent's parent).
  static constexpr GUID kLostEventClass = {0x6A399AE0, 0x4BC6, 0x4DE9, {0x87, 0x0B, 0x36, 0x57, 0xF8, 0x94, 0x7E, 0x7E}};
  int m_seen = 0;
  bool m_lossSeen = false;

 private:
  TdhParserImpl m_decoder;
  std::mutex m_mutex;
  std::condition_variable m_condition;
  bool m_open = false;
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
    if (auto answer = m_answers.find(m_writes); answer != m_answers.end()) {
      m_bytesPerWrite.push_back(length);
      *written = answer->second.written;
      return answer->second.status;
    }
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
      m_records.emplace_back(record, size);
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
  std::vector<std::string> Records() {
    std::lock_guard lock(m_mutex);
    return m_records;
  }
  std::size_t Writes() {
    std::lock_guard lock(m_mutex);
    return m_writes;
  }

  // How chosen writes (counted from 1) are answered instead: the status and the bytes the
  // sink says it wrote. Their records count as not written.
  struct Answer {
    DWORD status;
    DWORD written;
  };
  std::map<std::size_t, Answer> m_answers;

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
  std::vector<std::string> m_records;  // every record written, whole
};

class EtwAdapterTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // Room for every event of a test, so the session itself loses none.
    sim::set_etw_session_buffer(1024, 64);
    ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &m_provider), 0u);
    StartSession();
  }
  void StartSession() {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 64, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    ASSERT_EQ(StartTraceW(&m_session, kSession, properties), 0u);
    ASSERT_EQ(EnableTraceEx2(m_session, &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 5, 0, 0, 0, nullptr), 0u);
  }
  ULONG EventsLost() {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 64, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    EXPECT_EQ(ControlTraceW(0, kSession, properties, EVENT_TRACE_CONTROL_QUERY), 0u);
    return properties->EventsLost;
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
  void Write(unsigned sequence, UCHAR opcode = 0) { ASSERT_EQ(TryWrite(sequence, opcode), 0u); }
  // The event's number travels in its user data and, for decoders that see only the header,
  // as its id. ERROR_NOT_ENOUGH_MEMORY: the session had no room and lost the event.
  ULONG TryWrite(unsigned sequence, UCHAR opcode = 0) {
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Id = static_cast<USHORT>(sequence);
    descriptor.Level = 4;
    descriptor.Opcode = opcode;
    EVENT_DATA_DESCRIPTOR data{};
    EventDataDescCreate(&data, &sequence, sizeof(sequence));
    return EventWrite(m_provider, &descriptor, 1, &data);
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
    ASSERT_TRUE(sim::wait_for([&] { return watch.expired(); }));
  }
  // Events 0 to 3 decoded and queued while the sink holds the write of event 0.
  std::shared_ptr<CEtwAdapter> FourQueuedBehindAHeldWrite(const std::shared_ptr<SizedParser>& parser) {
    m_sink->Hold();
    auto adapter = Redirect(parser);
    Write(0);
    m_sink->WaitUntilHeld();
    for (unsigned i = 1; i < 4; ++i) Write(i);
    EXPECT_TRUE(sim::wait_for([&] { return parser->m_built.load() == 4; }));
    return adapter;
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
  ASSERT_TRUE(sim::wait_for([&] { return m_sink.use_count() == 1; }));
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
  // Built is not yet queued: the callback's return is.
  ASSERT_TRUE(sim::wait_for([&] { return sim::session_events_delivered(kSession) == 6; }));
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
  ASSERT_TRUE(sim::wait_for([&] { return sim::session_events_delivered(kSession) == 8; }));
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
  const std::size_t threads = host_testing::ProcessThreadCount();
  sim::fail_next("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
  StopSession();
  // The consumer thread ends at once, having let go of its share.
  ASSERT_TRUE(sim::wait_for([&] { return host_testing::ProcessThreadCount() == threads - 1; }));
  EXPECT_FALSE(watch.expired());
  m_sink->Release();
  ASSERT_TRUE(sim::wait_for([&] { return watch.expired(); }));
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 4u);
  for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(frames[i].sequence, i);
}

// The writer cannot store the adapter in its thread slot (the consumer thread stored its own
// first): it would never wake for the queue, so the redirect ends there, logged, and the
// drop's wait for its threads is not held up.
TEST_F(EtwAdapterTest, AWriterWithoutItsSlotEndsTheRedirectInsteadOfSleepingForGood) {
  auto parser = std::make_shared<SizedParser>(std::vector<std::size_t>{32});
  sim::fail_nth("LocalAlloc", 2, ERROR_NOT_ENOUGH_MEMORY);
  auto adapter = Redirect(parser);
  ASSERT_TRUE(sim::wait_for([&] { return !adapter->IsRunning(); }));
  EXPECT_NE(Log().find("LocalAlloc Failed , 8"), std::string::npos);
  EXPECT_NE(Log().find("ERROR # CEtwAdapter::CreateThreadData Failed"), std::string::npos);
  Write(1);
  adapter->StopRunning();
  ASSERT_TRUE(adapter->CloseConsumer());
  EXPECT_TRUE(adapter->WaitForThreads(5000));
  EXPECT_TRUE(m_sink->Frames().empty());
  EXPECT_EQ(parser->m_built.load(), 0);
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
  ASSERT_TRUE(sim::wait_for(
      [&] { return Log().find("------> MAXLIMIT REACHED START SKIPPING MESSAGES") != std::string::npos; }));
  for (int i = 0; i < 5; ++i) Write(next++);
  // The consumer has seen the five (and dropped them) while the cap is passed.
  ASSERT_TRUE(sim::wait_for([&] { return sim::session_events_delivered(kSession) == next; }));
  const int builtWhileHeld = parser->m_built.load();
  m_sink->Release();
  ASSERT_TRUE(sim::wait_for([&] { return m_sink->Frames().size() >= 103; }));
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

// Two sink writes go wrong, one with an error and one short without an error of its own:
// each is logged with what it was to write and what the sink says it wrote, its records are
// lost, and the next write starts afresh with the records queued after it.
TEST_F(EtwAdapterTest, AFailedOrShortSinkWriteIsLoggedAndOnlyLaterRecordsFollowIt) {
  // Records of 32 bytes; event 99 is decoded to nothing, so once it was decoded, every event
  // before it is queued.
  class Parser : public SizedParser {
   public:
    Parser() : SizedParser({32}) {}
    std::string GetETWData(PEVENT_RECORD event) override {
      if (Sequence(event) != 99) return SizedParser::GetETWData(event);
      ++m_built;
      return {};
    }
  };
  m_sink->m_answers[1] = {static_cast<DWORD>(ERROR_DISK_FULL), 5};
  m_sink->m_answers[2] = {ERROR_SUCCESS, 41};
  auto parser = std::make_shared<Parser>();
  m_sink->Hold();
  auto adapter = Redirect(parser);
  Write(0);
  m_sink->WaitUntilHeld();
  for (unsigned i : {1u, 2u, 3u, 99u}) Write(i);
  ASSERT_TRUE(sim::wait_for([&] { return parser->m_built.load() == 5; }));
  m_sink->Release();  // write 1: event 0; write 2: events 1 to 3
  ASSERT_TRUE(sim::wait_for([&] { return m_sink->Writes() == 2; }));
  for (unsigned i = 4; i < 6; ++i) Write(i);
  Finish(adapter);

  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].sequence, 4u);
  EXPECT_EQ(frames[0].write, 3u);
  EXPECT_EQ(frames[1].sequence, 5u);
  EXPECT_EQ(m_sink->m_bytesPerWrite[0], 42u);
  EXPECT_EQ(m_sink->m_bytesPerWrite[1], 3 * 42u);
  const std::string log = Log();
  EXPECT_NE(log.find("[FlushData] ERROR writing Device: BytesToWrite:42 BytesWritten:5 result=(ErrorCode:112)"),
            std::string::npos);
  EXPECT_NE(log.find("[FlushData] ERROR writing Device: BytesToWrite:126 BytesWritten:41 result=(ErrorCode:124)"),
            std::string::npos);
}

TEST_F(EtwAdapterTest, AnExceptionFromTheDecoderDropsThatEventAndTheRedirectGoesOn) {
  auto adapter = Redirect(std::make_shared<ThrowingParser>());
  for (unsigned i = 0; i < 5; ++i) Write(i);
  Finish(adapter);
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].sequence, 0u);
  EXPECT_EQ(frames[1].sequence, 3u);
  EXPECT_EQ(frames[2].sequence, 4u);
  const std::string log = Log();
  EXPECT_NE(log.find("STANDARD EXCEPTION Fn: CEtwAdapter::EvtRecCallback : Exception: std::bad_alloc"),
            std::string::npos);
  EXPECT_NE(log.find("GENERIC EXCEPTION Fn: CEtwAdapter::EvtRecCallback"), std::string::npos);
}

// The session loses events while the consumer is held in the decoder. The platform marks
// where the loss began with its lost-event notification, a classic event of Windows' own
// RT_LostEvent class; it reaches the sink in its place in the stream as any other event: a
// type-0 record carrying its header and its decoded text. Windows' TDH knows that class
// built in; the virtual target's catalog is given it here, with the test's own class.
TEST_F(EtwAdapterTest, ALossOfTheSessionReachesTheSinkWhereItHappened) {
  auto mofClass = [](const char* name, const char* guid, std::uint8_t type, const char* typeName) {
    etw::ProviderSchema schema;
    schema.name = name;
    schema.guid = *etw::parse_guid_text(guid);
    schema.source = etw::DecodingSource::Wbem;
    schema.tasks.push_back({name, 0, schema.guid, name, {}, false});
    schema.opcodes.push_back({typeName, type, typeName, false});
    etw::Event event;
    event.opcode = type;
    event.level = 4;
    event.name = typeName;
    schema.events.push_back(event);
    return schema;
  };
  ASSERT_EQ(sim::install_declared_provider(mofClass("RT_LostEvent", "{6A399AE0-4BC6-4DE9-870B-3657F8947E7E}", 32, "RTLostEvent")),
            etw::CatalogStatus::Ok);
  ASSERT_EQ(sim::install_declared_provider(mofClass("AdapterTestClass", "{6C1E2A40-11D2-4F70-9A0B-3C5D7E8F90A1}", 1, "Tick")), etw::CatalogStatus::Ok);
  // A session with the smallest buffer the platform gives.
  StopSession();
  sim::set_etw_session_buffer(1, 2);
  StartSession();

  auto decoder = std::make_shared<GatedDecoder>();
  // Whatever fails below, the consumer thread is not left held.
  struct OpenAtEnd {
    GatedDecoder& gate;
    ~OpenAtEnd() { gate.Open(); }
  } openAtEnd{*decoder};
  auto adapter = Redirect(decoder);
  Write(0, 1);
  ASSERT_TRUE(decoder->WaitUntil([](const GatedDecoder& d) { return d.m_seen == 1; }));
  // Written while the consumer is held: the first ones fit the session's buffer, then the
  // session has no room and loses every further one.
  constexpr unsigned kHeld = 200;
  unsigned kept = 1;
  for (unsigned i = 1; i < kHeld; ++i) {
    const ULONG status = TryWrite(i, 1);
    EXPECT_TRUE(status == 0 || status == ERROR_NOT_ENOUGH_MEMORY) << status;
    if (status == 0) {
      EXPECT_EQ(kept, i) << "an event was kept after the loss began";
      ++kept;
    }
  }
  ASSERT_GT(kHeld - kept, 0u);
  EXPECT_EQ(EventsLost(), kHeld - kept);
  decoder->Open();
  EXPECT_TRUE(decoder->WaitUntil([](const GatedDecoder& d) { return d.m_lossSeen; }));
  // The buffer has room again once the consumer is through with what it held; until then a
  // write is lost too, within the same run of losses, which has its notification already.
  ULONG refused = 0;
  for (int i = 0; i < 6000 && TryWrite(kHeld, 1) != 0; ++i) {
    ++refused;
    std::this_thread::sleep_for(1ms);
  }
  for (unsigned i = kHeld + 1; i < kHeld + 3; ++i) Write(i, 1);
  EXPECT_EQ(EventsLost(), kHeld - kept + refused);
  Finish(adapter);

  // The records: type, payload length, then the payload with the event's header at 4.
  auto header = [](const std::string& record) {
    EVENT_HEADER copied{};
    EXPECT_GE(record.size(), 3 + 4 + sizeof(EVENT_HEADER));
    if (record.size() >= 3 + 4 + sizeof(EVENT_HEADER)) std::memcpy(&copied, record.data() + 3 + 4, sizeof(copied));
    return copied;
  };
  const auto records = m_sink->Records();
  ASSERT_EQ(records.size(), kept + 1 + 3);
  std::size_t at = 0;
  for (unsigned sequence = 0; sequence < kept; ++sequence, ++at) {
    EXPECT_EQ(records[at][0], 0);
    EXPECT_TRUE(IsEqualGUID(header(records[at]).ProviderId, kProvider));
    EXPECT_EQ(header(records[at]).EventDescriptor.Id, sequence);
  }
  const EVENT_HEADER loss = header(records[at]);
  EXPECT_EQ(records[at][0], 0);
  EXPECT_TRUE(IsEqualGUID(loss.ProviderId, GatedDecoder::kLostEventClass));
  EXPECT_EQ(loss.EventDescriptor.Opcode, 32);
  EXPECT_NE(records[at].find("Event type: 32"), std::string::npos);
  for (unsigned sequence = kHeld; sequence < kHeld + 3; ++sequence) {
    EXPECT_EQ(header(records[++at]).EventDescriptor.Id, sequence);
  }
}

// Neither thread could be made, the consumer in the start or the writer by the consumer: the
// start answers 1359, no thread is left, the processing handle it opened is closed and the
// sink was never touched. The session can be redirected afterwards.
TEST_F(EtwAdapterTest, AThreadThatCannotBeCreatedFailsTheStartAndLeavesNothingBehind) {
  struct Case {
    bool writer;
    const char* line;
  };
  for (const Case& failing :
       {Case{false, "ERROR # CEtwAdapter::ProcessTrace # CreateThread() failed with 0x0000000000000008\n"},
        Case{true, "ERROR # CEtwAdapter::ProcessTraceThreadProc # CreateThread() failed with 0x0000000000000008\n"}}) {
    if (failing.writer) {
      sim::fail_thread_creation_after(1, ERROR_NOT_ENOUGH_MEMORY);
    } else {
      sim::fail_next("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    }
    // Taken by the start's CloseTrace of the handle it opened, and by nothing else.
    sim::fail_next("CloseTrace", 1, ERROR_ACCESS_DENIED);
    auto adapter = std::make_shared<CEtwAdapter>(kSession);
    adapter->SetParserForTesting(std::make_shared<SizedParser>(std::vector<std::size_t>{16}));
    EXPECT_EQ(adapter->ProcessTrace(m_sink), 1359u) << failing.line;
    EXPECT_TRUE(adapter->WaitForThreads(0)) << failing.line;
    EXPECT_EQ(adapter.use_count(), 1) << failing.line;
    EXPECT_EQ(CloseTrace(INVALID_PROCESSTRACE_HANDLE), static_cast<ULONG>(ERROR_INVALID_HANDLE)) << failing.line;
    EXPECT_NE(Log().find(failing.line), std::string::npos) << failing.line;
  }
  EXPECT_EQ(m_sink->m_initializeCalls, 0);
  EXPECT_EQ(m_sink->Writes(), 0u);

  auto adapter = Redirect(std::make_shared<SizedParser>(std::vector<std::size_t>{16}));
  Write(7);
  Finish(adapter);
  const auto frames = m_sink->Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].sequence, 7u);
}

}  // namespace
