#include "runtime_session.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace etw::detail {

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(RecordHeader);
// A write leaves room for one lost-event record and the padding it might need at the ring's
// end, so that the first loss of a run can always be marked where it happened.
constexpr std::uint64_t kLossReserve = 2 * kHeaderSize;

constexpr std::uint32_t align8(std::uint32_t n) { return (n + 7u) & ~7u; }

SessionConfig effective(const SessionConfig& requested) {
  SessionConfig config = requested;
  if (config.buffer_size_kb == 0) config.buffer_size_kb = kDefaultBufferSizeKb;
  config.buffer_size_kb = std::min<std::uint32_t>(config.buffer_size_kb, 1024);
  if (config.maximum_buffers == 0) config.maximum_buffers = kDefaultMaximumBuffers;
  const auto most = static_cast<std::uint32_t>(kMaxBufferBytes / (config.buffer_size_kb * 1024ull));
  config.maximum_buffers = std::clamp<std::uint32_t>(config.maximum_buffers, 2, most);
  config.minimum_buffers = std::min(config.minimum_buffers, config.maximum_buffers);
  return config;
}

}  // namespace

Session::Session(std::u16string name, std::uint16_t logger_id, SessionHandle handle, Guid guid,
                 const SessionConfig& config)
    : name_(std::move(name)), logger_id_(logger_id), handle_(handle), guid_(guid), config_(effective(config)) {
  capacity_ = std::uint64_t{config_.buffer_size_kb} * 1024 * config_.maximum_buffers;
  // Not zero-filled: only bytes a writer has written are ever read.
  ring_.reset(new std::byte[capacity_]);
}

bool Session::reserve(std::uint32_t size, std::uint64_t keep_free, std::uint32_t& padding) const {
  const std::uint64_t contiguous = capacity_ - head_ % capacity_;
  padding = contiguous < size ? static_cast<std::uint32_t>(contiguous) : 0;
  return free_bytes() >= std::uint64_t{padding} + size + keep_free;
}

void Session::write_padding(std::uint32_t padding) {
  if (padding == 0) return;
  // Every record is 8-aligned, so at least the size and kind fields fit.
  const std::uint16_t kind = kPadding;
  std::memcpy(at(head_) + offsetof(RecordHeader, size), &padding, sizeof padding);
  std::memcpy(at(head_) + offsetof(RecordHeader, kind), &kind, sizeof kind);
  head_ += padding;
}

Status Session::append(const RecordHeader& header, std::span<const DataDescriptor> data, std::uint32_t data_size) {
  const std::uint32_t size = align8(kHeaderSize + data_size);
  Status status = Status::ok;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return Status::ok;
    const std::uint64_t head_before = head_;
    std::uint32_t padding = 0;
    if (size + kLossReserve > capacity_) {
      record_loss(header);
      status = Status::more_data;
    } else if (!reserve(size, kLossReserve, padding)) {
      record_loss(header);
      status = Status::not_enough_memory;
    } else {
      write_padding(padding);
      std::byte* out = at(head_);
      RecordHeader record = header;
      record.size = size;
      record.kind = kEvent;
      record.user_data_length = static_cast<std::uint16_t>(data_size);
      std::memcpy(out, &record, kHeaderSize);
      out += kHeaderSize;
      for (const DataDescriptor& piece : data) {
        if (piece.size == 0) continue;
        std::memcpy(out, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(piece.ptr)), piece.size);
        out += piece.size;
      }
      head_ += size;
      ++events_written_;
      in_loss_run_ = false;
    }
    wake = waiting_consumers_ > 0 && head_ != head_before;
  }
  if (wake) readable_.notify_all();
  return status;
}

void Session::record_loss(const RecordHeader& header) {
  ++events_lost_;
  if (in_loss_run_) return;
  std::uint32_t padding = 0;
  // Always true: every successful write kept kLossReserve free.
  if (!reserve(kHeaderSize, 0, padding)) return;
  in_loss_run_ = true;
  ++loss_runs_;
  write_padding(padding);
  RecordHeader marker = header;
  marker.size = kHeaderSize;
  marker.kind = kLost;
  marker.header_flags = kHeaderFlagClassicHeader | kHeaderFlag64BitHeader;
  marker.provider = kRealTimeLostEventGuid;
  marker.descriptor = EventDescriptor{};
  marker.descriptor.opcode = kRealTimeLostEventOpcode;
  marker.user_data_length = 0;
  std::memcpy(at(head_), &marker, kHeaderSize);
  head_ += kHeaderSize;
}

void Session::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  readable_.notify_all();
}

void Session::wake_consumers() {
  // Taking the lock orders the caller's flag change before a waiter's next check.
  { std::lock_guard lock(mutex_); }
  readable_.notify_all();
}

SessionInfo Session::info() const {
  std::lock_guard lock(mutex_);
  SessionInfo info;
  info.handle = handle_;
  info.logger_id = logger_id_;
  info.session_guid = guid_;
  info.name = name_;
  info.config = config_;
  info.number_of_buffers = config_.maximum_buffers;
  info.free_buffers = static_cast<std::uint32_t>(free_bytes() / (config_.buffer_size_kb * 1024ull));
  info.events_lost = events_lost_;
  info.real_time_buffers_lost = loss_runs_;
  info.buffers_written = hand_offs_;
  info.events_written = events_written_;
  info.events_delivered = events_delivered_;
  return info;
}

void Session::advance_tail_locked() {
  if (attached_.empty()) return;
  std::uint64_t oldest = head_;
  for (const Consumer* consumer : attached_) oldest = std::min(oldest, consumer->cursor);
  tail_ = oldest;
}

void Session::deliver(Consumer& consumer, const EventCallback& callback) {
  std::unique_lock lock(mutex_);
  consumer.cursor = tail_;
  attached_.push_back(&consumer);
  struct Detach {
    Session& session;
    Consumer& consumer;
    std::unique_lock<std::mutex>& lock;
    ~Detach() {
      if (!lock.owns_lock()) lock.lock();  // a callback threw while the lock was released
      auto& attached = session.attached_;
      attached.erase(std::find(attached.begin(), attached.end(), &consumer));
      // What this consumer took is gone; what it left stays for the next one.
      if (attached.empty()) session.tail_ = consumer.cursor;
      session.advance_tail_locked();
    }
  } detach{*this, consumer, lock};

  for (;;) {
    while (consumer.cursor == head_ && !stopped_ && !consumer.closed.load()) {
      ++waiting_consumers_;
      readable_.wait(lock);
      --waiting_consumers_;
    }
    if (consumer.closed.load() || consumer.cursor == head_) return;
    // The records up to `end` are complete and no writer touches them until the tail passes
    // them, so they are delivered without the lock.
    const std::uint64_t end = head_;
    ++hand_offs_;
    lock.unlock();
    std::uint64_t position = consumer.cursor;
    std::uint64_t delivered = 0;
    while (position < end && !consumer.closed.load(std::memory_order_relaxed)) {
      const std::byte* record = at(position);
      // Size and kind first: a padding record at the ring's end may be shorter than a header.
      std::uint32_t size = 0;
      std::uint16_t kind = 0;
      std::memcpy(&size, record + offsetof(RecordHeader, size), sizeof size);
      std::memcpy(&kind, record + offsetof(RecordHeader, kind), sizeof kind);
      if (kind != kPadding) {
        RecordHeader header;
        std::memcpy(&header, record, kHeaderSize);
        EventView view;
        view.provider_id = header.provider;
        view.descriptor = header.descriptor;
        view.header_flags = header.header_flags;
        view.process_id = header.process_id;
        view.thread_id = header.thread_id;
        view.timestamp = header.timestamp;
        view.processor_number = header.processor_number;
        view.logger_id = logger_id_;
        view.user_data = header.user_data_length != 0 ? record + kHeaderSize : nullptr;
        view.user_data_length = header.user_data_length;
        callback(view);
        ++delivered;
      }
      position += size;
    }
    lock.lock();
    events_delivered_ += delivered;
    consumer.cursor = position;
    advance_tail_locked();
  }
}

}  // namespace etw::detail
