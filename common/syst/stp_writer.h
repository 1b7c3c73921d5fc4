// StpWriter: the MIPI STP (version 2) packet writer behind the service's SyS-T output.
//
// STP is a stream of 4-bit nibbles. Nibbles are packed low half of a byte first, and every
// multi-byte value goes out least significant nibble first. The stream of one file:
//
//   ASYNC     F F F ... F (21) 0
//   VERSION   F 0 0 3
//   FREQ      F 0 8  f0 .. f15                  (64-bit ticks per second)
//   M16       F 1    m0 m1 m2 m3                (master 256: 0 0 1 0; first message only)
//   C16       F 3    c0 c1 c2 c3                (channel 32: 0 2 0 0; first message only)
//   D32TS     F 6    v0 .. v7   ts              (SyS-T message header)
//   D32MTS    A      v0 .. v7   ts
//   D8        4      v0 v1
//   D16       5      v0 .. v3
//   D32       6      v0 .. v7
//   D64       7      v0 .. v15
//   FLAG      F E                               (end of message)
//   ts        n t0 .. t(n-1)  with n = 0..12, or E t0 .. t15 (full 64-bit time stamp)
//
// Time stamps count ticks of the frequency since the writer's base time. Each carries only
// the nibbles that differ from the previous time stamp (from the most significant
// difference down); the first one is always written in full.
//
// Completed bytes are handed to the output callback in runs, in order; the writer stages at
// most kStageSize bytes. Drain() hands over what is staged; Flush() also completes a pending
// half byte (high half 0), which ends the stream. One thread at a time uses a writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct StpWriter {
  using ReadClock = std::uint64_t (*)();
  using OutputBytes = void (*)(const std::uint8_t* bytes, std::size_t count);

  static constexpr std::uint8_t kNibbleWaiting = 0;    // low half of pending_byte holds one
  static constexpr std::uint8_t kNoNibbleWaiting = 1;
  static constexpr std::uint16_t kMaster = 256;
  static constexpr std::uint16_t kChannel = 32;
  static constexpr std::uint64_t kNoTimestamp = ~std::uint64_t{0};
  static constexpr std::size_t kStageSize = 64 * 1024;

  // A fresh writer has one nibble waiting whose value is 0, so the first byte of a stream
  // carries an STP NULL nibble in its low half.
  std::uint8_t nibble_state = kNibbleWaiting;
  std::uint8_t pending_byte = 0;
  std::uint16_t current_master = 0;
  std::uint16_t current_channel = 0;
  std::uint64_t frequency = 0;
  std::uint64_t base_time = 0;
  std::uint64_t last_timestamp = kNoTimestamp;
  ReadClock read_clock = nullptr;
  OutputBytes output = nullptr;

  // Primitives.
  void WriteNibble(std::uint8_t nibble) { Put(nibble & 0xF, 1); }
  void WriteByte(std::uint8_t value) { Put(value, 2); }
  void WriteValue64(std::uint64_t value) { Put(value, 16); }

  // Packets.
  void D32TS(std::uint32_t value);
  void D32MTS(std::uint32_t value);
  void D8(std::uint8_t value) { Put(0x4u | static_cast<std::uint64_t>(value) << 4, 3); }
  void D16(std::uint16_t value) { Put(0x5u | static_cast<std::uint64_t>(value) << 4, 5); }
  void D32(std::uint32_t value) { Put(0x6u | static_cast<std::uint64_t>(value) << 4, 9); }
  // The bulk of every message: 17 nibbles, written as whole bytes at either alignment.
  void D64(std::uint64_t value) {
    if (staged_ + 9 > kStageSize) Drain();
    if (nibble_state == kNibbleWaiting) {
      stage_[staged_] = static_cast<std::uint8_t>(pending_byte | 0x70);
      StoreLittleEndian(stage_ + staged_ + 1, value);
      staged_ += 9;
      pending_byte = 0;
      nibble_state = kNoNibbleWaiting;
    } else {
      StoreLittleEndian(stage_ + staged_, 0x7u | value << 4);
      staged_ += 8;
      pending_byte = static_cast<std::uint8_t>(value >> 60);
      nibble_state = kNibbleWaiting;
    }
  }
  // `count` D64 packets of consecutive little-endian 8-byte values: the same nibbles as
  // `count` calls of D64, two packets (34 nibbles, 17 bytes) at a time.
  void D64Run(const std::uint8_t* values, std::size_t count);
  void Flag() { Put(0xEF, 2); }

  // ASYNC, VERSION, the reset of master, channel and time stamp, FREQ.
  void Preamble();
  void Drain();
  void Flush();

  bool HasPendingNibble() const { return nibble_state == kNibbleWaiting; }

 private:
  // Emits the `count` (at most 16) least significant nibbles of `bits`, lowest first.
  void Put(std::uint64_t bits, unsigned count) {
    if (count == 0) return;
    if (nibble_state == kNibbleWaiting) {
      Stage(static_cast<std::uint8_t>(pending_byte | (bits & 0xF) << 4));
      pending_byte = 0;
      nibble_state = kNoNibbleWaiting;
      bits >>= 4;
      --count;
    }
    const unsigned whole = count / 2;
    if (staged_ + 8 > kStageSize) Drain();
    StoreLittleEndian(stage_ + staged_, bits);
    staged_ += whole;
    if ((count & 1) != 0) {
      pending_byte = static_cast<std::uint8_t>((bits >> (4 * (count - 1))) & 0xF);
      nibble_state = kNibbleWaiting;
    }
  }
  void Stage(std::uint8_t byte) {
    if (staged_ == kStageSize) Drain();
    stage_[staged_++] = byte;
  }
  // Both deliverables run on little-endian machines: one 8-byte store.
  static void StoreLittleEndian(std::uint8_t* at, std::uint64_t bits) { std::memcpy(at, &bits, sizeof(bits)); }
  void Announce();
  void Timestamp();

  std::size_t staged_ = 0;
  std::uint8_t stage_[kStageSize + 16];  // room for a whole 8-byte store at the end
};
