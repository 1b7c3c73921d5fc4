#include "stp_writer.h"

#include <bit>
#include <cstring>

void StpWriter::Announce() {
  if (current_master != kMaster) {
    Put(0xF | 0x1 << 4 | std::uint64_t{kMaster} << 8, 6);  // M16
    current_master = kMaster;
    current_channel = 0;
  }
  if (current_channel != kChannel) {
    Put(0xF | 0x3 << 4 | std::uint64_t{kChannel} << 8, 6);  // C16
    current_channel = kChannel;
  }
}

void StpWriter::Timestamp() {
  const std::uint64_t now = read_clock != nullptr ? read_clock() : 0;
  const std::uint64_t t = now - base_time;
  unsigned length = 16;
  if (last_timestamp != kNoTimestamp) {
    const std::uint64_t differing = t ^ last_timestamp;
    length = differing == 0 ? 0 : 16 - static_cast<unsigned>(std::countl_zero(differing)) / 4;
  }
  last_timestamp = t;
  if (length > 12) {
    Put(0xE, 1);
    Put(t, 16);
  } else {
    Put(length, 1);
    Put(t, length);
  }
}

void StpWriter::D32TS(std::uint32_t value) {
  Announce();
  Put(0xF | 0x6 << 4 | std::uint64_t{value} << 8, 10);
  Timestamp();
}

void StpWriter::D32MTS(std::uint32_t value) {
  Put(0xA | std::uint64_t{value} << 4, 9);
  Timestamp();
}

void StpWriter::D64Run(const std::uint8_t* values, std::size_t count) {
  for (; count >= 2; count -= 2, values += 16) {
    if (staged_ + 17 > kStageSize) Drain();
    std::uint64_t first;
    std::uint64_t second;
    std::memcpy(&first, values, 8);
    std::memcpy(&second, values + 8, 8);
    std::uint8_t* at = stage_ + staged_;
    if (nibble_state == kNibbleWaiting) {
      at[0] = static_cast<std::uint8_t>(pending_byte | 0x70);
      StoreLittleEndian(at + 1, first);
      StoreLittleEndian(at + 9, 0x7u | second << 4);
      pending_byte = static_cast<std::uint8_t>(second >> 60);
    } else {
      StoreLittleEndian(at, 0x7u | first << 4);
      at[8] = static_cast<std::uint8_t>(first >> 60 | 0x70);
      StoreLittleEndian(at + 9, second);
    }
    staged_ += 17;
  }
  if (count == 1) {
    std::uint64_t value;
    std::memcpy(&value, values, 8);
    D64(value);
  }
}

void StpWriter::Preamble() {
  Put(~std::uint64_t{0}, 16);  // ASYNC: 21 F nibbles, then 0
  Put(0x0FFFFF, 6);
  Put(0x300F, 4);  // VERSION 3
  current_master = 0;
  current_channel = 0;
  last_timestamp = kNoTimestamp;
  Put(0x80F, 3);  // FREQ
  Put(frequency, 16);
}

void StpWriter::Drain() {
  if (staged_ != 0 && output != nullptr) output(stage_, staged_);
  staged_ = 0;
}

void StpWriter::Flush() {
  if (nibble_state == kNibbleWaiting) {
    Stage(pending_byte);
    pending_byte = 0;
    nibble_state = kNoNibbleWaiting;
  }
  Drain();
}
