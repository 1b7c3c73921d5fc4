// The model's packetizer: channel stores as MIPI STP v2 packets, nibble-packed into a
// capture file as a host would record them from the block's trace port.
//
// The stream is nibbles packed low half of each byte first, every value least significant
// nibble first. It opens with a NULL nibble (so the first byte holds NULL and the first F of
// ASYNC), ASYNC, VERSION and FREQ. Time-stamped packets carry the capture's own clock in
// FREQ ticks since `open`, each as a length nibble n and the n low nibbles that differ from
// the previous time stamp (n = 0..12), or E and all 16 nibbles for the first time stamp and
// for any change above nibble 11.
//
// Threads: none of its own; the model calls it under its lock. Ownership: it owns the open
// file and closes it in `close` and in its destructor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <vector>

namespace tessera::detail {

// What a channel store becomes on the trace port.
enum class PacketKind : std::uint8_t {
  none,                // accepted, but makes no packet
  data,                // D8, D16, D32, D64 by width
  timestamped,         // D32TS
  marked_timestamped,  // D32MTS, D64MTS by width
  flag,                // FLAG
};

// The packet that a store of `width` bytes (1, 2, 4 or 8) at `offset` inside a 64-byte
// channel window makes.
PacketKind packet_for(std::uint64_t offset, unsigned width);

// `nanoseconds` as ticks of a `hz` clock, rounded down: exact whenever the result fits in
// 64 bits (no intermediate product overflows), wrapping past that as a hardware counter
// would.
std::uint64_t ticks_in(std::uint64_t nanoseconds, std::uint64_t hz);

class Capture {
 public:
  // Bytes buffered before they are written out on their own.
  static constexpr std::size_t kFlushBytes = 64 * 1024;

  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  bool is_open() const { return file_ != nullptr; }
  const std::filesystem::path& path() const { return path_; }

  // Creates `path` (and its folder), replacing a file of that name, and starts the stream.
  // False when the file cannot be created; then nothing is open.
  bool open(const std::filesystem::path& path, std::uint64_t timestamp_hz);

  // One store's packet on `master`/`channel`, after M16 and C16 when the channel is not the
  // previous packet's. `value` holds `width` bytes. Nothing without an open file.
  void store(std::uint16_t master, std::uint16_t channel, PacketKind kind, unsigned width, std::uint64_t value);

  // Writes the whole bytes buffered so far; an odd last nibble stays buffered, so the
  // stream on disk is the same however often it is flushed.
  void flush();

  // Completes an odd nibble count with a 0 nibble, writes everything and closes the file.
  void close();

 private:
  void put(unsigned nibble) {
    if (has_half_) {
      bytes_.push_back(static_cast<std::uint8_t>(half_ | nibble << 4));
      has_half_ = false;
    } else {
      half_ = static_cast<std::uint8_t>(nibble);
      has_half_ = true;
    }
  }
  void put(std::initializer_list<unsigned> nibbles) {
    for (unsigned nibble : nibbles) put(nibble);
  }
  void put_value(std::uint64_t value, unsigned nibbles) {
    for (unsigned i = 0; i < nibbles; ++i) put(static_cast<unsigned>(value >> (4 * i)) & 0xF);
  }
  void put_timestamp();
  std::uint64_t ticks_now() const;

  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
  std::vector<std::uint8_t> bytes_;  // whole bytes not yet written, capacity kept
  std::uint8_t half_ = 0;            // the low nibble of the next byte, when has_half_
  bool has_half_ = false;
  bool has_channel_ = false;  // master_/channel_ were announced in this stream
  std::uint16_t master_ = 0;
  std::uint16_t channel_ = 0;
  bool has_timestamp_ = false;  // last_timestamp_ was sent in this stream
  std::uint64_t last_timestamp_ = 0;
  std::uint64_t timestamp_hz_ = 0;
  std::chrono::steady_clock::time_point opened_;
};

}  // namespace tessera::detail
