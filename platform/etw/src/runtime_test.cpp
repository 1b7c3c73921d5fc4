#include "etw/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace etw {

// Shows results as the Win32 codes they are.
void PrintTo(Status status, std::ostream* out) { *out << static_cast<std::uint32_t>(status); }

namespace {

constexpr Guid kProvider{0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};
constexpr Guid kOtherProvider{0x0BADF00D, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

// One delivered event, copied out of the callback.
struct Delivered {
  EventView view;
  std::vector<std::uint8_t> data;
};

// A real-time consumer on a thread of its own that keeps what it receives.
class Collector {
 public:
  Collector(Runtime& runtime, std::u16string_view session) : runtime_(runtime) {
    const OpenResult opened = runtime.open_consumer(session);
    EXPECT_EQ(opened.status, Status::ok);
    handle_ = opened.handle;
    thread_ = std::thread([this] { result_ = runtime_.process(handle_, [this](const EventView& view) { keep(view); }); });
  }
  // A failed expectation may leave the session running: closing ends `process` anyway.
  ~Collector() {
    runtime_.close_consumer(handle_);
    release();
    join();
  }

  void join() {
    if (thread_.joinable()) thread_.join();
  }

  // Blocks the consumer inside its next callback until `release`.
  void stall() {
    std::lock_guard lock(mutex_);
    stalled_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      stalled_ = false;
    }
    changed_.notify_all();
  }

  bool wait_for(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
  }

  std::vector<Delivered> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  ConsumerHandle handle() const { return handle_; }
  Status result() const { return result_; }

 private:
  void keep(const EventView& view) {
    std::unique_lock lock(mutex_);
    Delivered copy{view, {}};
    const auto* bytes = static_cast<const std::uint8_t*>(view.user_data);
    if (bytes != nullptr) copy.data.assign(bytes, bytes + view.user_data_length);
    copy.view.user_data = nullptr;
    events_.push_back(std::move(copy));
    changed_.notify_all();
    changed_.wait(lock, [&] { return !stalled_; });
  }

  Runtime& runtime_;
  ConsumerHandle handle_ = 0;
  Status result_ = Status::invalid_handle;  // until `process` returns
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stalled_ = false;
  std::vector<Delivered> events_;
};


// Sends events with one 32-bit sequence number each.
Status write_sequence(Runtime& runtime, RegistrationHandle provider, std::uint32_t sequence, std::uint8_t level = 4,
                      std::uint64_t keyword = 0) {
  EventDescriptor descriptor;
  descriptor.id = 7;
  descriptor.level = level;
  descriptor.keyword = keyword;
  const DataDescriptor data[] = {data_of(&sequence, sizeof sequence)};
  return runtime.write(provider, descriptor, data);
}

std::uint32_t sequence_of(const Delivered& event) {
  std::uint32_t sequence = 0;
  EXPECT_EQ(event.data.size(), sizeof sequence);
  if (event.data.size() == sizeof sequence) std::memcpy(&sequence, event.data.data(), sizeof sequence);
  return sequence;
}

TEST(EtwRuntimeSessions, NameInUseAnswersAlreadyExistsWhateverTheCase) {
  Runtime runtime;
  const SessionResult started = runtime.start_session(u"Conduit Session");
  ASSERT_EQ(started.status, Status::ok);
  EXPECT_NE(started.info.handle, 0u);
  EXPECT_GE(started.info.logger_id, 1);
  EXPECT_LE(started.info.logger_id, 64);
  EXPECT_EQ(started.info.name, u"Conduit Session");
  EXPECT_FALSE(started.info.session_guid.is_zero());

  EXPECT_EQ(runtime.start_session(u"cONDUIT sESSION").status, Status::already_exists);
  EXPECT_EQ(runtime.start_session(u"").status, Status::invalid_parameter);
  EXPECT_EQ(runtime.query_session(u"conduit session").info.handle, started.info.handle);
}

TEST(EtwRuntimeSessions, StopsByNameIgnoringCaseAndForgetsTheSession) {
  Runtime runtime;
  const SessionResult started = runtime.start_session(u"MixedCase\u00C9t\u00E9");
  ASSERT_EQ(started.status, Status::ok);

  const SessionResult stopped = runtime.stop_session(u"mixedcase\u00E9T\u00C9");
  ASSERT_EQ(stopped.status, Status::ok);
  EXPECT_EQ(stopped.info.name, u"MixedCase\u00C9t\u00E9");
  EXPECT_EQ(stopped.info.logger_id, started.info.logger_id);

  EXPECT_EQ(runtime.stop_session(u"MixedCase\u00C9t\u00E9").status, Status::wmi_instance_not_found);
  EXPECT_EQ(runtime.stop_session(started.info.handle).status, Status::wmi_instance_not_found);
  EXPECT_EQ(runtime.query_session(started.info.handle).status, Status::wmi_instance_not_found);

  // The same name again gets a new handle; the old one stays dead.
  const SessionResult restarted = runtime.start_session(u"MIXEDCASE\u00C9T\u00C9");
  ASSERT_EQ(restarted.status, Status::ok);
  EXPECT_NE(restarted.info.handle, started.info.handle);
  EXPECT_EQ(runtime.stop_session(started.info.handle).status, Status::wmi_instance_not_found);
  EXPECT_EQ(runtime.stop_session(restarted.info.handle).status, Status::ok);
}

TEST(EtwRuntimeSessions, SixtyFifthSessionIsRefusedUntilOneStops) {
  Runtime runtime;
  std::vector<SessionResult> sessions;
  for (int i = 0; i < 64; ++i) {
    std::u16string name = u"session ";
    name += static_cast<char16_t>(u'0' + i / 10);
    name += static_cast<char16_t>(u'0' + i % 10);
    sessions.push_back(runtime.start_session(name));
    ASSERT_EQ(sessions.back().status, Status::ok) << i;
  }
  EXPECT_EQ(runtime.start_session(u"one too many").status, Status::no_system_resources);
  ASSERT_EQ(runtime.stop_session(sessions[10].info.handle).status, Status::ok);
  const SessionResult again = runtime.start_session(u"one too many");
  ASSERT_EQ(again.status, Status::ok);
  EXPECT_EQ(again.info.logger_id, sessions[10].info.logger_id);
}

TEST(EtwRuntimeProviders, EnableAnswersWindowsErrorsForBadHandlesAndTooManySessions) {
  Runtime runtime;
  const SessionHandle handle = runtime.start_session(u"s").info.handle;
  ASSERT_EQ(runtime.stop_session(handle).status, Status::ok);
  EXPECT_EQ(runtime.enable_provider(0, kProvider, {}), Status::invalid_parameter);
  EXPECT_EQ(runtime.enable_provider(handle, kProvider, {}), Status::invalid_handle);
  EXPECT_EQ(runtime.disable_provider(0, kProvider), Status::invalid_parameter);
  EXPECT_EQ(runtime.disable_provider(handle, kProvider), Status::invalid_handle);

  // A provider can be enabled in at most eight sessions at once.
  for (char16_t i = 0; i < 8; ++i) {
    const SessionResult session = runtime.start_session(std::u16string(u"eight ") + static_cast<char16_t>(u'0' + i));
    ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  }
  const SessionHandle ninth = runtime.start_session(u"ninth").info.handle;
  EXPECT_EQ(runtime.enable_provider(ninth, kProvider, {}), Status::no_system_resources);
  EXPECT_EQ(runtime.enable_provider(ninth, kOtherProvider, {}), Status::ok);
  ASSERT_EQ(runtime.stop_session(u"eight 3").status, Status::ok);
  EXPECT_EQ(runtime.enable_provider(ninth, kProvider, {}), Status::ok);
}

TEST(EtwRuntimeProviders, MatchesLevelAndKeywordsAsEtwDefinesThem) {
  struct Case {
    std::uint8_t enable_level;
    std::uint64_t any;
    std::uint64_t all;
    std::uint8_t level;
    std::uint64_t keyword;
    bool expected;
  };
  const Case cases[] = {
      {0, 0, 0, 5, 0x1, true},         // level 0 and match-any 0 take everything
      {3, 0, 0, 3, 0x1, true},         // up to the enabled level
      {3, 0, 0, 4, 0x1, false},        // above it
      {3, 0, 0, 0, 0x1, true},         // level 0 events always pass the level test
      {5, 0x0F, 0, 1, 0x30, false},    // no bit of match-any
      {5, 0x0F, 0, 1, 0x31, true},     // one bit is enough
      {5, 0x0F, 0x3, 1, 0x31, false},  // match-all needs every bit
      {5, 0x0F, 0x3, 1, 0x33, true},
      {5, 0, 0x3, 1, 0x30, false},     // match-all applies with match-any 0 as well
      {5, 0x0F, 0x3, 1, 0x0, true},    // keyword 0 matches any enable
  };
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"matching");
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  EXPECT_FALSE(runtime.is_provider_enabled(provider));
  Collector collector(runtime, u"matching");
  std::vector<std::uint32_t> expected;
  std::uint32_t sequence = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, EnableSettings{c.enable_level, c.any, c.all, {}}),
              Status::ok);
    EXPECT_EQ(runtime.is_enabled(provider, c.level, c.keyword), c.expected) << sequence;
    EXPECT_EQ(write_sequence(runtime, provider, sequence, c.level, c.keyword), Status::ok);
    if (c.expected) expected.push_back(sequence);
    ++sequence;
  }
  ASSERT_EQ(runtime.stop_session(session.info.handle).status, Status::ok);
  collector.join();
  std::vector<std::uint32_t> received;
  for (const Delivered& event : collector.events()) received.push_back(sequence_of(event));
  EXPECT_EQ(received, expected);
}

struct CallbackCall {
  Guid source;
  std::uint32_t is_enabled;
  std::uint8_t level;
  std::uint64_t any;
  std::uint64_t all;
  const void* filter;
  void* context;
};

EnableCallback recorder(std::vector<CallbackCall>& calls) {
  return [&calls](const Guid& source, std::uint32_t is_enabled, std::uint8_t level, std::uint64_t any,
                  std::uint64_t all, const void* filter, void* context) {
    calls.push_back(CallbackCall{source, is_enabled, level, any, all, filter, context});
  };
}

TEST(EtwRuntimeProviders, CallbacksRunOnEnableDisableAndSessionStop) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"callbacks");
  std::vector<CallbackCall> calls;
  int context = 0;
  const RegistrationHandle provider = runtime.register_provider(kProvider, recorder(calls), &context).handle;
  EXPECT_TRUE(calls.empty());

  auto filter = std::make_shared<const int>(42);
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, EnableSettings{4, 0xF0, 0x10, filter}), Status::ok);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].source, session.info.session_guid);
  EXPECT_EQ(calls[0].is_enabled, 1u);
  EXPECT_EQ(calls[0].level, 4);
  EXPECT_EQ(calls[0].any, 0xF0u);
  EXPECT_EQ(calls[0].all, 0x10u);
  EXPECT_EQ(calls[0].filter, filter.get());
  EXPECT_EQ(calls[0].context, &context);
  EXPECT_TRUE(runtime.is_provider_enabled(provider));

  ASSERT_EQ(runtime.disable_provider(session.info.handle, kProvider), Status::ok);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].is_enabled, 0u);
  EXPECT_EQ(calls[1].level, 0);
  EXPECT_EQ(calls[1].any, 0u);
  EXPECT_EQ(calls[1].filter, nullptr);
  EXPECT_FALSE(runtime.is_provider_enabled(provider));

  // Other providers' enables do not reach this callback; a stop disables what was enabled.
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kOtherProvider, {}), Status::ok);
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  ASSERT_EQ(runtime.stop_session(u"CALLBACKS").status, Status::ok);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3].is_enabled, 0u);
  EXPECT_FALSE(runtime.is_provider_enabled(provider));

  ASSERT_EQ(runtime.unregister_provider(provider), Status::ok);
  EXPECT_EQ(runtime.unregister_provider(provider), Status::invalid_handle);
  const SessionResult later = runtime.start_session(u"later");
  ASSERT_EQ(runtime.enable_provider(later.info.handle, kProvider, {}), Status::ok);
  EXPECT_EQ(calls.size(), 4u);
}

TEST(EtwRuntimeProviders, ProviderEnabledBeforeItRegistersLearnsOfItOnRegistration) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"early");
  auto filter = std::make_shared<const int>(7);
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, EnableSettings{2, 0x8, 0, filter}), Status::ok);

  std::vector<CallbackCall> calls;
  const RegistrationHandle provider = runtime.register_provider(kProvider, recorder(calls), nullptr).handle;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].is_enabled, 1u);
  EXPECT_EQ(calls[0].level, 2);
  EXPECT_EQ(calls[0].any, 0x8u);
  EXPECT_EQ(calls[0].filter, filter.get());
  EXPECT_TRUE(runtime.is_enabled(provider, 2, 0x8));
  EXPECT_FALSE(runtime.is_enabled(provider, 3, 0x8));
}

TEST(EtwRuntimeProviders, CallbackMayWriteAndCallBackIntoTheRuntime) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"reentrant");
  RegistrationHandle provider = 0;
  provider = runtime
                 .register_provider(kProvider,
                                    [&](const Guid&, std::uint32_t is_enabled, std::uint8_t, std::uint64_t,
                                        std::uint64_t, const void*, void*) {
                                      // Providers log their state when a session enables them.
                                      if (is_enabled == 1) {
                                        EXPECT_TRUE(runtime.is_provider_enabled(provider));
                                        EXPECT_EQ(write_sequence(runtime, provider, 99), Status::ok);
                                        EXPECT_EQ(runtime.query_session(u"reentrant").status, Status::ok);
                                      }
                                    })
                 .handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  EXPECT_EQ(runtime.query_session(session.info.handle).info.events_written, 1u);
}

TEST(EtwRuntimeDelivery, DeliversEveryFieldInWriteOrderToEverySessionThatListens) {
  Runtime runtime;
  static std::atomic<std::int64_t> clock;
  clock.store(1000);
  runtime.set_clock([] { return clock.fetch_add(10); });
  runtime.set_writer_identity([] { return WriterIdentity{4242, 0x1004, 3}; });
  const SessionResult first = runtime.start_session(u"first");
  const SessionResult second = runtime.start_session(u"second");
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  const RegistrationHandle other = runtime.register_provider(kOtherProvider).handle;
  ASSERT_EQ(runtime.enable_provider(first.info.handle, kProvider, {}), Status::ok);
  ASSERT_EQ(runtime.enable_provider(second.info.handle, kProvider, {}), Status::ok);
  Collector first_consumer(runtime, u"first");
  Collector second_consumer(runtime, u"second");

  const EventDescriptor descriptor{0x1234, 2, 0x10, 4, 11, 0x55, 0x8000000000000001ull};
  const char head[] = "head";
  const std::uint16_t middle = 0xBEEF;
  const std::uint64_t tail = 0x0102030405060708ull;
  const DataDescriptor pieces[] = {data_of(head, 4), data_of(nullptr, 0), data_of(&middle, 2), data_of(&tail, 8)};
  ASSERT_EQ(runtime.write(provider, descriptor, pieces), Status::ok);
  ASSERT_EQ(runtime.write(other, descriptor, pieces), Status::ok);  // nobody enabled it
  const WriterIdentity kernel_writer{4, 8, 1};
  const char16_t text[] = u"hi";
  EventDescriptor string_descriptor;
  string_descriptor.level = 1;
  const DataDescriptor string_data[] = {data_of(text, sizeof text)};
  ASSERT_EQ(runtime.write(provider, string_descriptor, string_data, WriteOptions{kHeaderFlagStringOnly, &kernel_writer}),
            Status::ok);
  runtime.stop_session(u"first");
  runtime.stop_session(u"second");
  first_consumer.join();
  second_consumer.join();
  EXPECT_EQ(first_consumer.result(), Status::ok);

  for (Collector* consumer : {&first_consumer, &second_consumer}) {
    const auto events = consumer->events();
    ASSERT_EQ(events.size(), 2u);
    const EventView& view = events[0].view;
    EXPECT_EQ(view.provider_id, kProvider);
    EXPECT_EQ(std::memcmp(&view.descriptor, &descriptor, sizeof descriptor), 0);
    EXPECT_EQ(view.header_flags, kHeaderFlag64BitHeader);
    EXPECT_EQ(view.process_id, 4242u);
    EXPECT_EQ(view.thread_id, 0x1004u);
    EXPECT_EQ(view.processor_number, 3);
    EXPECT_EQ(view.timestamp, 1000);
    const std::vector<std::uint8_t> expected = {'h', 'e', 'a', 'd', 0xEF, 0xBE, 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(events[0].data, expected);
    EXPECT_EQ(view.user_data_length, expected.size());

    const EventView& string_view = events[1].view;
    EXPECT_EQ(string_view.header_flags, kHeaderFlag64BitHeader | kHeaderFlagStringOnly);
    EXPECT_EQ(string_view.process_id, 4u);
    EXPECT_EQ(string_view.thread_id, 8u);
    EXPECT_EQ(string_view.timestamp, 1010);
    EXPECT_EQ(events[1].data.size(), sizeof text);
  }
  EXPECT_EQ(first_consumer.events()[0].view.logger_id, first.info.logger_id);
  EXPECT_EQ(second_consumer.events()[0].view.logger_id, second.info.logger_id);
  EXPECT_NE(first.info.logger_id, second.info.logger_id);
}

TEST(EtwRuntimeDelivery, RefusesMalformedWrites) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"small", SessionConfig{1, 0, 2});
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  const DataDescriptor missing[] = {data_of(nullptr, 4)};
  EXPECT_EQ(runtime.write(provider, {}, missing), Status::invalid_parameter);
  EXPECT_EQ(runtime.write(provider + 100, {}, {}), Status::invalid_handle);
  std::vector<char> big(kMaxUserDataSize + 1);
  const DataDescriptor too_big[] = {data_of(big.data(), static_cast<std::uint32_t>(big.size()))};
  EXPECT_EQ(runtime.write(provider, {}, too_big), Status::arithmetic_overflow);
  // Legal, but larger than this session's 2 KiB buffer: lost there, and counted.
  const DataDescriptor larger_than_buffer[] = {data_of(big.data(), 4096)};
  EXPECT_EQ(runtime.write(provider, {}, larger_than_buffer), Status::more_data);
  EXPECT_EQ(runtime.query_session(session.info.handle).info.events_lost, 1u);
}

TEST(EtwRuntimeConsumers, ProcessDeliversWhatWasBufferedAndReturnsWhenTheSessionStops) {
  Runtime runtime;
  EXPECT_EQ(runtime.open_consumer(u"absent").status, Status::wmi_instance_not_found);
  const SessionResult session = runtime.start_session(u"buffered");
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  for (std::uint32_t i = 0; i < 100; ++i) ASSERT_EQ(write_sequence(runtime, provider, i), Status::ok);

  Collector collector(runtime, u"BUFFERED");
  ASSERT_TRUE(collector.wait_for(100));
  ASSERT_EQ(write_sequence(runtime, provider, 100), Status::ok);
  ASSERT_EQ(runtime.stop_session(u"buffered").status, Status::ok);
  collector.join();
  EXPECT_EQ(collector.result(), Status::ok);
  const auto events = collector.events();
  ASSERT_EQ(events.size(), 101u);
  for (std::uint32_t i = 0; i < events.size(); ++i) EXPECT_EQ(sequence_of(events[i]), i);
  EXPECT_EQ(runtime.close_consumer(collector.handle()), Status::ok);
  EXPECT_EQ(runtime.close_consumer(collector.handle()), Status::invalid_handle);
}

TEST(EtwRuntimeConsumers, CloseFromAnotherThreadEndsProcess) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"closing");
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  Collector collector(runtime, u"closing");
  ASSERT_EQ(write_sequence(runtime, provider, 1), Status::ok);
  ASSERT_TRUE(collector.wait_for(1));
  EXPECT_EQ(runtime.close_consumer(collector.handle()), Status::close_pending);
  collector.join();
  EXPECT_EQ(collector.result(), Status::ok);
  EXPECT_EQ(runtime.process(collector.handle(), [](const EventView&) {}), Status::invalid_handle);
  EXPECT_EQ(runtime.query_session(u"closing").status, Status::ok);  // the session runs on
}

TEST(EtwRuntimeConsumers, StalledConsumerLosesEventsAndLearnsWhereInBand) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"stall", SessionConfig{1, 0, 2});  // 2 KiB
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  Collector collector(runtime, u"stall");
  collector.stall();

  std::uint32_t accepted = 0;
  std::uint32_t lost = 0;
  for (std::uint32_t i = 0; i < 100; ++i) {
    const Status status = write_sequence(runtime, provider, i);
    if (status == Status::ok) {
      ASSERT_EQ(lost, 0u) << "an event was accepted after the buffer filled while nothing was drained";
      ++accepted;
    } else {
      ASSERT_EQ(status, Status::not_enough_memory);
      ++lost;
    }
  }
  ASSERT_GT(lost, 0u);
  ASSERT_GT(accepted, 10u);
  SessionInfo info = runtime.query_session(session.info.handle).info;
  EXPECT_EQ(info.events_lost, lost);
  EXPECT_EQ(info.real_time_buffers_lost, 1u);

  collector.release();
  ASSERT_TRUE(collector.wait_for(accepted + 1));
  // The ring frees a batch once the consumer has finished it, just after its last callback.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (runtime.query_session(session.info.handle).info.free_buffers < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the drained ring was never freed";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (std::uint32_t i = 100; i < 105; ++i) ASSERT_EQ(write_sequence(runtime, provider, i), Status::ok);
  runtime.stop_session(session.info.handle);
  collector.join();

  const auto events = collector.events();
  ASSERT_EQ(events.size(), accepted + 1 + 5);
  for (std::uint32_t i = 0; i < accepted; ++i) EXPECT_EQ(sequence_of(events[i]), i);
  const EventView& notice = events[accepted].view;
  EXPECT_EQ(notice.provider_id, kRealTimeLostEventGuid);
  EXPECT_EQ(notice.descriptor.opcode, kRealTimeLostEventOpcode);
  EXPECT_EQ(notice.user_data_length, 0);
  EXPECT_EQ(notice.logger_id, session.info.logger_id);
  for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(sequence_of(events[accepted + 1 + i]), 100 + i);
}

TEST(EtwRuntimeReset, StopsSessionsWakesConsumersAndDropsRegistrations) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"reset");
  std::vector<CallbackCall> calls;
  const RegistrationHandle provider = runtime.register_provider(kProvider, recorder(calls), nullptr).handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  Collector collector(runtime, u"reset");

  runtime.stop_all_sessions();
  collector.join();
  EXPECT_EQ(collector.result(), Status::ok);
  EXPECT_EQ(runtime.query_session(u"reset").status, Status::wmi_instance_not_found);
  EXPECT_FALSE(runtime.is_provider_enabled(provider));
  EXPECT_EQ(calls.size(), 1u);  // the enable only: no callbacks into a process being reset

  runtime.drop_process_state();
  EXPECT_EQ(write_sequence(runtime, provider, 0), Status::invalid_handle);
  EXPECT_EQ(runtime.unregister_provider(provider), Status::invalid_handle);
  EXPECT_EQ(runtime.start_session(u"reset").status, Status::ok);
}

TEST(EtwRuntimeConcurrency, WritersControlAndConsumerRunTogether) {
  Runtime runtime;
  const SessionResult session = runtime.start_session(u"busy", SessionConfig{4, 0, 4});
  const RegistrationHandle provider = runtime.register_provider(kProvider).handle;
  ASSERT_EQ(runtime.enable_provider(session.info.handle, kProvider, {}), Status::ok);
  Collector collector(runtime, u"busy");

  // The settings change, other providers come and go and registrations of the same GUID
  // appear and vanish while the writers write level-1 events, which every setting takes.
  std::atomic<bool> done{false};
  std::thread toggler([&] {
    std::uint8_t level = 2;
    while (!done.load()) {
      level = level == 2 ? 5 : 2;
      runtime.enable_provider(session.info.handle, kProvider, EnableSettings{level, 0, 0, {}});
      runtime.enable_provider(session.info.handle, kOtherProvider, {});
      const RegistrationHandle extra = runtime.register_provider(kProvider).handle;
      runtime.query_session(u"busy");
      runtime.disable_provider(session.info.handle, kOtherProvider);
      runtime.unregister_provider(extra);
    }
  });
  std::vector<std::thread> writers;
  for (std::uint32_t w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (std::uint32_t i = 0; i < 20000; ++i) write_sequence(runtime, provider, w << 24 | i, 1);
    });
  }
  for (auto& writer : writers) writer.join();
  done.store(true);
  toggler.join();
  runtime.stop_session(session.info.handle);
  collector.join();

  // Each writer's events arrive in its own order, whatever was lost or filtered out.
  std::uint32_t last[2] = {0, 0};
  bool seen[2] = {false, false};
  EXPECT_FALSE(collector.events().empty());
  for (const Delivered& event : collector.events()) {
    if (event.view.provider_id == kRealTimeLostEventGuid) continue;
    const std::uint32_t sequence = sequence_of(event);
    const std::uint32_t writer = sequence >> 24;
    ASSERT_LT(writer, 2u);
    if (seen[writer]) {
      EXPECT_GT(sequence, last[writer]);
    }
    last[writer] = sequence;
    seen[writer] = true;
  }
}

}  // namespace
}  // namespace etw
