#include "etw/runtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "runtime_session.h"

namespace etw {

namespace {

using detail::Consumer;
using detail::RecordHeader;
using detail::Session;

std::int64_t default_clock() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

WriterIdentity default_identity() {
  static const auto process_id = static_cast<std::uint32_t>(getpid());
  thread_local const auto thread_id = static_cast<std::uint32_t>(syscall(SYS_gettid));
  const int cpu = sched_getcpu();
  return WriterIdentity{process_id, thread_id, static_cast<std::uint8_t>(cpu < 0 ? 0 : cpu)};
}

// Simple upper-case mapping of the Latin-1, Greek and Cyrillic letters, which is what logger
// names use in practice.
char16_t fold_case(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

// The state lock: shared for writers and enabled checks, exclusive for control. It prefers
// the exclusive side, so that a start or stop is not starved by writers on several threads
// that keep the shared side held between them. Nothing takes the shared side twice on one
// thread.
class StateLock {
 public:
  StateLock() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }
  ~StateLock() { pthread_rwlock_destroy(&lock_); }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

  void lock() { pthread_rwlock_wrlock(&lock_); }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

// One session's enable of a provider.
struct Enable {
  std::shared_ptr<Session> session;
  EnableSettings settings;
};

// What the runtime knows of one provider GUID: the sessions that enabled it (also before
// anyone registered it) and how many registrations point here.
struct ProviderEntry {
  std::vector<Enable> enables;
  std::size_t registrations = 0;
};

struct Registration {
  RegistrationHandle handle = 0;
  Guid guid;
  ProviderEntry* provider = nullptr;
  EnableCallback callback;
  void* context = nullptr;
  std::atomic<bool> active{true};
};

struct PendingCallback {
  std::shared_ptr<Registration> registration;
  Guid source_id;
  std::uint32_t is_enabled = 0;
  EnableSettings settings;
};

}  // namespace

bool session_names_equal(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return fold_case(x) == fold_case(y); });
}

// Locks: `control` serialises control operations and the enable callbacks they cause (it is
// recursive so that a callback may call back into the runtime); `state` guards the tables
// (writers and enabled checks share it); each session has its own lock for its buffer.
// Order: control, then state, then a session's lock.
struct Runtime::Impl {
  std::recursive_mutex control;
  mutable StateLock state;
  std::array<std::shared_ptr<Session>, kMaxSessions> sessions;  // logger id = slot + 1
  std::uint64_t next_session_sequence = 1;
  std::unordered_map<Guid, ProviderEntry, GuidHash> providers;
  std::unordered_map<RegistrationHandle, std::shared_ptr<Registration>> registrations;
  RegistrationHandle next_registration = 1;
  std::unordered_map<ConsumerHandle, std::shared_ptr<Consumer>> consumers;
  ConsumerHandle next_consumer = 1;
  std::atomic<ClockHook> clock{&default_clock};
  std::atomic<IdentityHook> identity{&default_identity};
  std::mt19937_64 random{std::random_device{}()};

  std::shared_ptr<Session> session_by_handle(SessionHandle handle) const {
    const std::uint64_t logger_id = handle & 0xFFFF;
    if (logger_id == 0 || logger_id > kMaxSessions) return nullptr;
    const auto& session = sessions[logger_id - 1];
    return session && session->handle() == handle ? session : nullptr;
  }

  std::shared_ptr<Session> session_by_name(std::u16string_view name) const {
    for (const auto& session : sessions) {
      if (session && session_names_equal(session->name(), name)) return session;
    }
    return nullptr;
  }

  Guid new_session_guid() {
    Guid guid;
    const std::uint64_t parts[2] = {random(), random()};
    std::memcpy(&guid, parts, sizeof guid);
    guid.data3 = static_cast<std::uint16_t>((guid.data3 & 0x0FFF) | 0x4000);  // version 4
    guid.data4[0] = static_cast<std::uint8_t>((guid.data4[0] & 0x3F) | 0x80);
    return guid;
  }

  void queue_callbacks_locked(const Guid& provider, const Guid& source_id, std::uint32_t is_enabled,
                              const EnableSettings& settings, std::vector<PendingCallback>& pending) const {
    for (const auto& [handle, registration] : registrations) {
      if (registration->guid == provider && registration->callback) {
        pending.push_back(PendingCallback{registration, source_id, is_enabled, settings});
      }
    }
  }

  void forget_if_unused_locked(std::unordered_map<Guid, ProviderEntry, GuidHash>::iterator entry) {
    if (entry->second.enables.empty() && entry->second.registrations == 0) providers.erase(entry);
  }

  // Removes every enable of `session`; given `pending`, queues the disable callbacks there.
  void drop_enables_locked(const Session& session, std::vector<PendingCallback>* pending) {
    for (auto entry = providers.begin(); entry != providers.end();) {
      auto& enables = entry->second.enables;
      const auto removed = std::erase_if(enables, [&](const Enable& e) { return e.session.get() == &session; });
      if (removed != 0 && pending != nullptr) queue_callbacks_locked(entry->first, session.guid(), 0, {}, *pending);
      auto next = std::next(entry);
      forget_if_unused_locked(entry);
      entry = next;
    }
  }

  // Called with `control` held and `state` released.
  static void run_callbacks(std::vector<PendingCallback>& pending) {
    std::stable_sort(pending.begin(), pending.end(), [](const PendingCallback& a, const PendingCallback& b) {
      return a.registration->handle < b.registration->handle;
    });
    for (const PendingCallback& call : pending) {
      Registration& registration = *call.registration;
      // A callback before this one may have unregistered it.
      if (!registration.active.load()) continue;
      registration.callback(call.source_id, call.is_enabled, call.settings.level, call.settings.match_any,
                            call.settings.match_all, call.settings.filter_data.get(), registration.context);
    }
  }

  SessionResult stop(const std::shared_ptr<Session>& session, std::unique_lock<StateLock>& state_lock) {
    std::vector<PendingCallback> pending;
    sessions[session->logger_id() - 1].reset();
    drop_enables_locked(*session, &pending);
    state_lock.unlock();
    session->stop();
    run_callbacks(pending);
    return SessionResult{Status::ok, session->info()};
  }
};

Runtime::Runtime() : impl_(std::make_unique<Impl>()) {}

Runtime::~Runtime() {
  stop_all_sessions();
  drop_process_state();
}

void Runtime::set_clock(ClockHook clock) { impl_->clock.store(clock != nullptr ? clock : &default_clock); }

void Runtime::set_writer_identity(IdentityHook hook) {
  impl_->identity.store(hook != nullptr ? hook : &default_identity);
}

SessionResult Runtime::start_session(std::u16string_view name, const SessionConfig& config) {
  if (name.empty()) return SessionResult{Status::invalid_parameter, {}};
  std::unique_lock state(impl_->state);
  if (impl_->session_by_name(name)) return SessionResult{Status::already_exists, {}};
  const auto slot = std::find(impl_->sessions.begin(), impl_->sessions.end(), nullptr);
  if (slot == impl_->sessions.end()) return SessionResult{Status::no_system_resources, {}};
  const auto logger_id = static_cast<std::uint16_t>(slot - impl_->sessions.begin() + 1);
  const SessionHandle handle = impl_->next_session_sequence++ << 16 | logger_id;
  *slot = std::make_shared<Session>(std::u16string(name), logger_id, handle, impl_->new_session_guid(), config);
  return SessionResult{Status::ok, (*slot)->info()};
}

SessionResult Runtime::stop_session(SessionHandle handle) {
  std::lock_guard control(impl_->control);
  std::unique_lock state(impl_->state);
  const auto session = impl_->session_by_handle(handle);
  if (!session) return SessionResult{Status::wmi_instance_not_found, {}};
  return impl_->stop(session, state);
}

SessionResult Runtime::stop_session(std::u16string_view name) {
  std::lock_guard control(impl_->control);
  std::unique_lock state(impl_->state);
  const auto session = impl_->session_by_name(name);
  if (!session) return SessionResult{Status::wmi_instance_not_found, {}};
  return impl_->stop(session, state);
}

SessionResult Runtime::query_session(SessionHandle handle) {
  std::shared_lock state(impl_->state);
  const auto session = impl_->session_by_handle(handle);
  if (!session) return SessionResult{Status::wmi_instance_not_found, {}};
  return SessionResult{Status::ok, session->info()};
}

SessionResult Runtime::query_session(std::u16string_view name) {
  std::shared_lock state(impl_->state);
  const auto session = impl_->session_by_name(name);
  if (!session) return SessionResult{Status::wmi_instance_not_found, {}};
  return SessionResult{Status::ok, session->info()};
}

Status Runtime::enable_provider(SessionHandle handle, const Guid& provider, const EnableSettings& settings) {
  if (handle == 0) return Status::invalid_parameter;
  std::lock_guard control(impl_->control);
  std::vector<PendingCallback> pending;
  {
    std::unique_lock state(impl_->state);
    const auto session = impl_->session_by_handle(handle);
    if (!session) return Status::invalid_handle;
    auto entry = impl_->providers.try_emplace(provider).first;
    auto& enables = entry->second.enables;
    auto existing = std::find_if(enables.begin(), enables.end(), [&](const Enable& e) { return e.session == session; });
    if (existing != enables.end()) {
      existing->settings = settings;
    } else if (enables.size() >= kMaxSessionsPerProvider) {
      impl_->forget_if_unused_locked(entry);
      return Status::no_system_resources;
    } else {
      enables.push_back(Enable{session, settings});
    }
    impl_->queue_callbacks_locked(provider, session->guid(), 1, settings, pending);
  }
  impl_->run_callbacks(pending);
  return Status::ok;
}

Status Runtime::disable_provider(SessionHandle handle, const Guid& provider) {
  if (handle == 0) return Status::invalid_parameter;
  std::lock_guard control(impl_->control);
  std::vector<PendingCallback> pending;
  {
    std::unique_lock state(impl_->state);
    const auto session = impl_->session_by_handle(handle);
    if (!session) return Status::invalid_handle;
    const auto entry = impl_->providers.find(provider);
    if (entry == impl_->providers.end()) return Status::ok;
    if (std::erase_if(entry->second.enables, [&](const Enable& e) { return e.session == session; }) != 0) {
      impl_->queue_callbacks_locked(provider, session->guid(), 0, {}, pending);
    }
    impl_->forget_if_unused_locked(entry);
  }
  impl_->run_callbacks(pending);
  return Status::ok;
}

RegisterResult Runtime::register_provider(const Guid& provider, EnableCallback callback, void* context) {
  std::lock_guard control(impl_->control);
  std::vector<PendingCallback> pending;
  RegistrationHandle handle = 0;
  {
    std::unique_lock state(impl_->state);
    auto& entry = impl_->providers[provider];
    auto registration = std::make_shared<Registration>();
    handle = impl_->next_registration++;
    registration->handle = handle;
    registration->guid = provider;
    registration->provider = &entry;
    registration->callback = std::move(callback);
    registration->context = context;
    ++entry.registrations;
    if (registration->callback) {
      for (const Enable& enable : entry.enables) {
        pending.push_back(PendingCallback{registration, enable.session->guid(), 1, enable.settings});
      }
    }
    impl_->registrations.emplace(handle, std::move(registration));
  }
  impl_->run_callbacks(pending);
  return RegisterResult{Status::ok, handle};
}

Status Runtime::unregister_provider(RegistrationHandle handle) {
  // Taking `control` waits for callbacks running on other threads.
  std::lock_guard control(impl_->control);
  std::unique_lock state(impl_->state);
  const auto found = impl_->registrations.find(handle);
  if (found == impl_->registrations.end()) return Status::invalid_handle;
  const auto registration = found->second;
  registration->active.store(false);
  impl_->registrations.erase(found);
  --registration->provider->registrations;
  impl_->forget_if_unused_locked(impl_->providers.find(registration->guid));
  return Status::ok;
}

bool Runtime::is_provider_enabled(RegistrationHandle handle) const {
  std::shared_lock state(impl_->state);
  const auto found = impl_->registrations.find(handle);
  return found != impl_->registrations.end() && !found->second->provider->enables.empty();
}

bool Runtime::is_enabled(RegistrationHandle handle, std::uint8_t level, std::uint64_t keyword) const {
  std::shared_lock state(impl_->state);
  const auto found = impl_->registrations.find(handle);
  if (found == impl_->registrations.end()) return false;
  const auto& enables = found->second->provider->enables;
  return std::any_of(enables.begin(), enables.end(), [&](const Enable& e) {
    return event_matches(e.settings.level, e.settings.match_any, e.settings.match_all, level, keyword);
  });
}

Status Runtime::write(RegistrationHandle handle, const EventDescriptor& descriptor, std::span<const DataDescriptor> data,
                      const WriteOptions& options) {
  std::shared_lock state(impl_->state);
  const auto found = impl_->registrations.find(handle);
  if (found == impl_->registrations.end()) return Status::invalid_handle;
  const auto& enables = found->second->provider->enables;
  if (enables.empty()) return Status::ok;  // nobody listens: the common case stays cheap

  std::uint64_t total = 0;
  for (const DataDescriptor& piece : data) {
    if (piece.size != 0 && piece.ptr == 0) return Status::invalid_parameter;
    total += piece.size;
  }
  if (total > kMaxUserDataSize) return Status::arithmetic_overflow;

  RecordHeader header{};
  bool prepared = false;
  Status result = Status::ok;
  for (const Enable& enable : enables) {
    const EnableSettings& settings = enable.settings;
    if (!event_matches(settings.level, settings.match_any, settings.match_all, descriptor.level, descriptor.keyword)) {
      continue;
    }
    if (!prepared) {
      // Once per event, so that every session sees the same time stamp and writer.
      const WriterIdentity identity = options.identity != nullptr ? *options.identity : impl_->identity.load()();
      header.header_flags = static_cast<std::uint16_t>(options.header_flags | kHeaderFlag64BitHeader);
      header.provider = found->second->guid;
      header.descriptor = descriptor;
      header.timestamp = impl_->clock.load()();
      header.process_id = identity.process_id;
      header.thread_id = identity.thread_id;
      header.processor_number = identity.processor_number;
      prepared = true;
    }
    const Status status = enable.session->append(header, data, static_cast<std::uint32_t>(total));
    if (result == Status::ok) result = status;
  }
  return result;
}

OpenResult Runtime::open_consumer(std::u16string_view session_name) {
  std::unique_lock state(impl_->state);
  auto session = impl_->session_by_name(session_name);
  if (!session) return OpenResult{Status::wmi_instance_not_found, 0};
  auto consumer = std::make_shared<Consumer>();
  consumer->handle = impl_->next_consumer++;
  consumer->session = std::move(session);
  impl_->consumers.emplace(consumer->handle, consumer);
  return OpenResult{Status::ok, consumer->handle};
}

Status Runtime::process(ConsumerHandle handle, const EventCallback& callback) {
  std::shared_ptr<Consumer> consumer;
  {
    std::unique_lock state(impl_->state);
    const auto found = impl_->consumers.find(handle);
    if (found == impl_->consumers.end()) return Status::invalid_handle;
    if (found->second->processing) return Status::invalid_parameter;
    consumer = found->second;
    consumer->processing = true;
  }
  consumer->session->deliver(*consumer, callback);
  std::unique_lock state(impl_->state);
  consumer->processing = false;
  return Status::ok;
}

Status Runtime::close_consumer(ConsumerHandle handle) {
  std::shared_ptr<Consumer> consumer;
  bool was_processing = false;
  {
    std::unique_lock state(impl_->state);
    const auto found = impl_->consumers.find(handle);
    if (found == impl_->consumers.end()) return Status::invalid_handle;
    consumer = found->second;
    impl_->consumers.erase(found);
    consumer->closed.store(true);
    was_processing = consumer->processing;
  }
  consumer->session->wake_consumers();
  return was_processing ? Status::close_pending : Status::ok;
}

void Runtime::stop_all_sessions() {
  std::lock_guard control(impl_->control);
  std::vector<std::shared_ptr<Session>> stopped;
  {
    std::unique_lock state(impl_->state);
    for (auto& session : impl_->sessions) {
      if (!session) continue;
      impl_->drop_enables_locked(*session, nullptr);
      stopped.push_back(std::move(session));
      session.reset();
    }
  }
  for (const auto& session : stopped) session->stop();
}

void Runtime::drop_process_state() {
  std::lock_guard control(impl_->control);
  std::vector<std::shared_ptr<Consumer>> closed;
  {
    std::unique_lock state(impl_->state);
    for (auto& [handle, registration] : impl_->registrations) registration->active.store(false);
    impl_->registrations.clear();
    for (auto entry = impl_->providers.begin(); entry != impl_->providers.end();) {
      entry->second.registrations = 0;
      auto next = std::next(entry);
      impl_->forget_if_unused_locked(entry);
      entry = next;
    }
    for (auto& [handle, consumer] : impl_->consumers) {
      consumer->closed.store(true);
      closed.push_back(consumer);
    }
    impl_->consumers.clear();
  }
  for (const auto& consumer : closed) consumer->session->wake_consumers();
}

Runtime& runtime() {
  // Never destroyed: threads of the process may still write while static objects go.
  static Runtime& instance = *new Runtime;
  return instance;
}

}  // namespace etw
