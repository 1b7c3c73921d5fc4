// A streaming parser of MIPI STP (version 2) packets as the STP file sink and the Tessera
// hardware write them: nibbles low half of each byte first, values least significant nibble
// first, 64-bit FREQ, M16/C16 channel announcements.
//
// Input arrives in chunks of any size (a file read piece by piece, a growing capture); a
// packet split between chunks is completed by the next chunk. The parser starts out of
// synchronisation: everything before the first ASYNC (21 or more F nibbles and a 0, at any
// nibble alignment) is skipped and counted, and so is everything from a packet that cannot
// be parsed to the next ASYNC. Nothing is ever fatal. Memory is bounded: the parser keeps at
// most one incomplete packet between chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stpdump {

enum class PacketKind : std::uint8_t {
  Null,
  Async,
  Version,
  Frequency,
  Master,    // M8 / M16
  Channel,   // C8 / C16
  Data,      // D4..D64 with or without marker and time stamp
  Flag,      // FLAG / FLAG_TS
  Error,     // MERR / GERR
  NullTimestamp,
};

struct Packet {
  PacketKind kind = PacketKind::Null;
  std::uint8_t data_bits = 0;  // Data: 4, 8, 16, 32 or 64; Master/Channel: 8 or 16
  bool marked = false;
  bool has_timestamp = false;
  bool is_timestamped_store = false;  // D8TS..D64TS: how a SyS-T message header arrives
  std::uint64_t value = 0;
  std::uint64_t timestamp = 0;     // reconstructed absolute value in FREQ ticks
  std::uint64_t byte_offset = 0;   // where the packet starts in the input
};

class PacketHandler {
 public:
  virtual ~PacketHandler() = default;
  virtual void on_packet(const Packet& packet) = 0;
  // A run of `count` D64 packets (payload stores of 64 bits, no marker, no time stamp), the
  // bulk of any SyS-T stream, handed over at once; packet i starts at input nibble
  // `first_nibble + 17 * i`. By default each becomes an on_packet.
  virtual void on_data64_run(const std::uint64_t* values, std::size_t count, std::uint64_t first_nibble);
  // `bytes` input bytes (nibbles / 2, rounded up) were skipped, starting at `byte_offset`,
  // for `reason`.
  virtual void on_skipped(std::uint64_t byte_offset, std::uint64_t nibbles, const char* reason) = 0;
};

class StpParser {
 public:
  explicit StpParser(PacketHandler& handler);

  void feed(const std::uint8_t* data, std::size_t size);
  // End of input: an incomplete packet at the end counts as skipped.
  void finish();
  // Reading was interrupted (a followed capture still being written): an incomplete packet
  // at the end is not yet written rather than broken, so it is dropped without a skip
  // report. Answers how many bytes it held.
  std::uint64_t abandon();

  std::uint64_t nibbles_skipped() const { return nibbles_skipped_; }
  std::uint64_t bytes_consumed() const { return base_nibble_ / 2 + pos_ / 2; }
  bool is_in_sync() const { return in_sync_; }
  // Whether any ASYNC was found: input without one is no STP stream at all.
  bool has_been_in_sync() const { return ever_in_sync_; }

 private:
  enum class Step { Done, NeedMore, Broken };
  Step parse_one();
  void scan_for_async();
  void skip_nibbles(std::uint64_t from, std::uint64_t count, const char* reason);

  unsigned nibble_at(std::size_t index) const { return (buffer_[index >> 1] >> ((index & 1) * 4)) & 0xF; }
  std::uint64_t value_at(std::size_t index, unsigned nibbles) const;
  std::size_t nibbles_available() const { return nibble_count_ - pos_; }
  Step parse_timestamp(std::size_t& at, Packet& packet);

  PacketHandler& handler_;
  std::vector<std::uint8_t> buffer_;
  std::size_t nibble_count_ = 0;  // valid nibbles in buffer_
  std::size_t pos_ = 0;           // next nibble to parse
  std::uint64_t base_nibble_ = 0; // input offset of buffer_[0], in nibbles
  bool in_sync_ = false;
  bool ever_in_sync_ = false;
  unsigned f_run_ = 0;            // F nibbles seen in a row while out of sync
  std::uint64_t skip_start_ = 0;  // first skipped nibble of the current run
  bool skip_has_data_ = false;    // the run holds more than NULL nibbles
  std::uint64_t last_timestamp_ = 0;
  std::uint64_t nibbles_skipped_ = 0;
  const char* skip_reason_ = "before the first ASYNC";
};

}  // namespace stpdump
