// An independent generator of the STP dialect stpdump reads, for its tests: it builds the
// stream as a plain list of nibbles and packs them at the end, the slow obvious way, so that
// it shares nothing with the service's packet writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "txr_public.h"

namespace stp_testing {

class StpGenerator {
 public:
  // `odd_start`: the stream begins with one NULL nibble, as the file sink's does.
  explicit StpGenerator(bool odd_start = true) {
    if (odd_start) nibbles_.push_back(0);
  }

  StpGenerator& nibbles(std::initializer_list<int> values) {
    for (int v : values) nibbles_.push_back(static_cast<std::uint8_t>(v & 0xF));
    return *this;
  }
  StpGenerator& value(std::uint64_t v, int count) {
    for (int i = 0; i < count; ++i) nibbles_.push_back(static_cast<std::uint8_t>((v >> (4 * i)) & 0xF));
    return *this;
  }
  StpGenerator& async() {
    for (int i = 0; i < 21; ++i) nibbles_.push_back(0xF);
    nibbles_.push_back(0);
    return *this;
  }
  StpGenerator& version() { return nibbles({0xF, 0, 0, 3}); }
  StpGenerator& freq(std::uint64_t hz) { return nibbles({0xF, 0, 8}).value(hz, 16); }
  StpGenerator& m16(std::uint16_t m) { return nibbles({0xF, 1}).value(m, 4); }
  StpGenerator& c16(std::uint16_t c) { return nibbles({0xF, 3}).value(c, 4); }
  // Full time stamps only: simple, and what a decoder must always accept.
  StpGenerator& d32ts(std::uint32_t v, std::uint64_t ts) { return nibbles({0xF, 6}).value(v, 8).nibbles({0xE}).value(ts, 16); }
  StpGenerator& d8(std::uint8_t v) { return nibbles({4}).value(v, 2); }
  StpGenerator& d16(std::uint16_t v) { return nibbles({5}).value(v, 4); }
  StpGenerator& d32(std::uint32_t v) { return nibbles({6}).value(v, 8); }
  StpGenerator& d64(std::uint64_t v) { return nibbles({7}).value(v, 16); }
  StpGenerator& flag() { return nibbles({0xF, 0xE}); }

  // One SyS-T message: header, payload in 8-, 4-, 2-, 1-byte stores, flag.
  StpGenerator& message(std::uint32_t header, const std::vector<std::uint8_t>& payload, std::uint64_t ts) {
    d32ts(header, ts);
    std::size_t at = 0;
    const auto take = [&](int count) {
      std::uint64_t v = 0;
      for (int i = 0; i < count; ++i) v |= static_cast<std::uint64_t>(payload[at + i]) << (8 * i);
      at += count;
      return v;
    };
    while (payload.size() - at >= 8) d64(take(8));
    if (payload.size() - at >= 4) d32(static_cast<std::uint32_t>(take(4)));
    if (payload.size() - at >= 2) d16(static_cast<std::uint16_t>(take(2)));
    if (payload.size() - at >= 1) d8(static_cast<std::uint8_t>(take(1)));
    return flag();
  }

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> packed((nibbles_.size() + 1) / 2, 0);
    for (std::size_t i = 0; i < nibbles_.size(); ++i) packed[i / 2] |= static_cast<std::uint8_t>(nibbles_[i] << (4 * (i % 2)));
    return packed;
  }

 private:
  std::vector<std::uint8_t> nibbles_;
};

struct EtwFields {
  std::uint8_t provider[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::uint16_t id = 42;
  std::uint8_t level = 3;
  std::uint8_t opcode = 1;
  std::uint32_t pid = 100;
  std::uint32_t tid = 200;
  std::uint64_t timestamp = 777;
  std::uint64_t frequency = 10'000'000;
};

inline std::vector<std::uint8_t> etw_payload(const EtwFields& f, const std::string& text) {
  std::vector<std::uint8_t> p(98 + text.size() + 1, 0);
  const auto put = [&p](std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0, p.size(), 2);
  put(2, 0xED01, 2);
  put(4 + 8, f.tid, 4);
  put(4 + 12, f.pid, 4);
  put(4 + 16, f.timestamp, 8);
  for (int i = 0; i < 16; ++i) p[4 + 24 + i] = f.provider[i];
  put(4 + 40, f.id, 2);
  p[4 + 44] = f.level;
  p[4 + 45] = f.opcode;
  put(88, f.frequency, 8);
  put(96, text.size(), 2);
  for (std::size_t i = 0; i < text.size(); ++i) p[98 + i] = static_cast<std::uint8_t>(text[i]);
  return p;
}

}  // namespace stp_testing
