// One real-time session's buffer: a byte ring of records that writers append to and
// consumers read from. Writers never wait for a consumer; a record that does not fit is
// lost and counted, and the first loss of a run leaves a lost-event record in the ring at
// that point, so consumers learn where events are missing.
//
// Ring record (8-byte aligned, never split at the ring's end; a padding record fills the
// rest of the ring when the next record does not fit there):
//   size u32 | kind u16 | header flags u16 | provider GUID (16) | descriptor (16)
//   | time stamp i64 | pid u32 | tid u32 | user data length u16 | processor u8 | 0 (5)
//   | user data | 0 padding to 8
// Positions grow without wrapping (64 bits); the ring offset is position % capacity.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "etw/runtime.h"

namespace etw::detail {

struct RecordHeader {
  std::uint32_t size;
  std::uint16_t kind;
  std::uint16_t header_flags;
  Guid provider;
  EventDescriptor descriptor;
  std::int64_t timestamp;
  std::uint32_t process_id;
  std::uint32_t thread_id;
  std::uint16_t user_data_length;
  std::uint8_t processor_number;
  std::uint8_t reserved[5];
};
static_assert(sizeof(RecordHeader) == 64);

enum RecordKind : std::uint16_t { kPadding = 0, kEvent = 1, kLost = 2 };

struct Consumer;

class Session {
 public:
  Session(std::u16string name, std::uint16_t logger_id, SessionHandle handle, Guid guid, const SessionConfig& config);

  const std::u16string& name() const { return name_; }
  std::uint16_t logger_id() const { return logger_id_; }
  SessionHandle handle() const { return handle_; }
  const Guid& guid() const { return guid_; }

  // Appends one event; `header` has everything but size and kind. The caller checked the
  // descriptors and the total size.
  Status append(const RecordHeader& header, std::span<const DataDescriptor> data, std::uint32_t data_size);

  // Ends the session: consumers deliver what is buffered and return.
  void stop();
  SessionInfo info() const;

  // Consumer side: `deliver` runs until the session stops and is drained, or `consumer` is
  // closed.
  void deliver(Consumer& consumer, const EventCallback& callback);
  void wake_consumers();

 private:
  std::uint64_t free_bytes() const { return capacity_ - (head_ - tail_); }
  std::byte* at(std::uint64_t position) { return ring_.get() + position % capacity_; }
  // Room for `size` contiguous bytes at the head: how much padding that needs, or false.
  bool reserve(std::uint32_t size, std::uint64_t keep_free, std::uint32_t& padding) const;
  void write_padding(std::uint32_t padding);
  void record_loss(const RecordHeader& header);
  void advance_tail_locked();

  const std::u16string name_;
  const std::uint16_t logger_id_;
  const SessionHandle handle_;
  const Guid guid_;
  SessionConfig config_;
  std::uint64_t capacity_ = 0;
  std::unique_ptr<std::byte[]> ring_;

  mutable std::mutex mutex_;
  std::condition_variable readable_;
  std::uint64_t head_ = 0;  // next write position
  std::uint64_t tail_ = 0;  // oldest position a consumer may still read
  bool stopped_ = false;
  bool in_loss_run_ = false;
  std::uint32_t waiting_consumers_ = 0;
  std::vector<Consumer*> attached_;
  std::uint32_t events_lost_ = 0;
  std::uint32_t loss_runs_ = 0;
  std::uint32_t hand_offs_ = 0;
  std::uint64_t events_written_ = 0;
  std::uint64_t events_delivered_ = 0;
};

struct Consumer {
  ConsumerHandle handle = 0;
  std::shared_ptr<Session> session;
  std::atomic<bool> closed{false};
  bool processing = false;           // guarded by the runtime's state lock
  std::uint64_t cursor = 0;          // guarded by the session's lock while attached
};

}  // namespace etw::detail
