// Turns STP packets into SyS-T messages and ETW events.
//
// Messages are reassembled per master and channel: a timestamped 32-bit store (D32TS)
// opens a message with its SyS-T header, data stores append their bytes (least significant
// first), FLAG ends it. Each finished message is decoded: ETW event records (raw subtype
// 10) into their event header fields and text, DUX/VEX raw data (subtypes 11, 12) as hex,
// string messages with severity and component id. A message that cannot be decoded is
// handed on with the reason and its bytes, never dropped.
//
// Loss is reported as its own item: the redirect's skip/resume notices (the time range
// between them), ETW's real-time lost-event notifications (the time since the message
// before), and input skipped by the packet parser.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stp_parser.h"

namespace stpdump {

struct EtwEvent {
  std::array<std::uint8_t, 16> provider{};
  std::uint16_t id = 0;
  std::uint8_t version = 0;
  std::uint8_t channel = 0;
  std::uint8_t level = 0;
  std::uint8_t opcode = 0;
  std::uint16_t task = 0;
  std::uint64_t keywords = 0;
  std::uint32_t process_id = 0;
  std::uint32_t thread_id = 0;
  std::uint64_t timestamp = 0;  // the event's age in counter ticks when it was encoded
  std::uint8_t processor = 0;
  std::uint16_t logger_id = 0;
  std::uint64_t frequency = 0;
  std::string text;
};

enum class MessageClass { EtwEvent, RawData, String, Undecodable };

struct Message {
  MessageClass cls = MessageClass::Undecodable;
  std::uint16_t master = 0;
  std::uint16_t channel = 0;
  std::uint64_t byte_offset = 0;
  bool framed_record = false;     // read from a plain record file: no master, channel or STP time
  std::uint64_t ticks = 0;        // STP time stamp of the header
  bool has_seconds = false;       // FREQ known
  double seconds = 0;
  std::uint32_t header = 0;
  std::vector<std::uint8_t> payload;  // after the header (and its optional fields)
  std::string reason;                 // Undecodable: why
  EtwEvent event;                     // EtwEvent
  std::string text;                   // String
};

struct Loss {
  std::string what;         // "redirect skipped events", "ETW lost events", ...
  bool has_range = false;
  double from_seconds = 0;
  double to_seconds = 0;
  std::uint64_t byte_offset = 0;
};

struct Skip {
  std::uint64_t byte_offset = 0;
  std::uint64_t bytes = 0;
  std::string reason;
};

class ItemSink {
 public:
  virtual ~ItemSink() = default;
  virtual void on_message(const Message& message) = 0;
  virtual void on_loss(const Loss& loss) = 0;
  virtual void on_skip(const Skip& skip) = 0;
};

struct Statistics {
  std::uint64_t messages = 0;
  std::uint64_t events = 0;
  std::uint64_t raw_messages = 0;
  std::uint64_t strings = 0;
  std::uint64_t undecodable = 0;
  std::uint64_t bytes_skipped = 0;
  std::uint64_t loss_notices = 0;
  std::map<std::string, std::uint64_t> per_type;
};

// Counts one decoded message into `stats` (messages, per class, per type).
void count_message(Statistics& stats, const Message& message);

class StreamDecoder : public PacketHandler {
 public:
  explicit StreamDecoder(ItemSink& sink);

  void on_packet(const Packet& packet) override;
  void on_data64_run(const std::uint64_t* values, std::size_t count, std::uint64_t first_nibble) override;
  void on_skipped(std::uint64_t byte_offset, std::uint64_t nibbles, const char* reason) override;
  // One record of a plain record file (the plain file sink writes the frames the STP sink
  // would encode): decoded as the SyS-T message the encoder makes of that record type.
  void on_record(std::uint8_t type, const std::uint8_t* payload, std::size_t size, std::uint64_t byte_offset);
  // End of the stream: unfinished messages and an open skip notice are reported.
  void finish();
  // Reading was interrupted: messages still open are not yet finished rather than cut, so
  // they are dropped, not reported as damaged. Answers how many there were.
  std::size_t abandon();

  const Statistics& stats() const { return stats_; }
  std::uint64_t frequency() const { return frequency_; }

  static constexpr std::size_t kMaxMessageBytes = 1 << 17;
  static constexpr std::size_t kMaxOpenChannels = 256;

 private:
  struct Open {
    Message message;     // payload grows in whole chunks; `used` bytes of it are data
    std::size_t used = 0;
    bool overlong = false;
  };
  void complete(Open& open, const char* incomplete_reason);
  void decode(Message& message);
  void decode_etw(Message& message);
  void emit(Message& message);
  void append(Open& open, std::uint64_t value, unsigned bytes);
  // Data stores outside any message, in a row on one channel, are shown as one message: a
  // stretch of garbage is one report, not one per store.
  void flush_stray();
  double ticks_to_seconds(std::uint64_t ticks) const;

  ItemSink& sink_;
  Statistics stats_;
  std::map<std::uint32_t, Open> open_;
  Open* current_ = nullptr;  // the open message of master_/channel_, if any
  Open stray_;                // data stores outside a message, not reported yet
  bool has_stray_ = false;
  std::uint16_t master_ = 0;
  std::uint16_t channel_ = 0;
  std::uint64_t frequency_ = 0;
  bool skipping_ = false;           // a skip notice without its resume notice yet
  double skip_from_ = 0;
  bool has_last_time_ = false;
  double last_time_ = 0;
};

}  // namespace stpdump
