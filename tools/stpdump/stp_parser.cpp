#include "stp_parser.h"

#include <cstring>

namespace stpdump {

namespace {
constexpr std::size_t kPadding = 16;  // lets value_at() load 9 bytes past any valid nibble
constexpr unsigned kAsyncFs = 21;
}  // namespace

void PacketHandler::on_data64_run(const std::uint64_t* values, std::size_t count, std::uint64_t first_nibble) {
  Packet packet;
  packet.kind = PacketKind::Data;
  packet.data_bits = 64;
  for (std::size_t i = 0; i < count; ++i) {
    packet.value = values[i];
    packet.byte_offset = (first_nibble + 17 * i) / 2;
    on_packet(packet);
  }
}

StpParser::StpParser(PacketHandler& handler) : handler_(handler) { buffer_.assign(kPadding, 0); }

std::uint64_t StpParser::value_at(std::size_t index, unsigned nibbles) const {
  const std::size_t byte = index >> 1;
  std::uint64_t low;
  std::memcpy(&low, &buffer_[byte], 8);  // little-endian host
  std::uint64_t value = low;
  if ((index & 1) != 0) value = (low >> 4) | static_cast<std::uint64_t>(buffer_[byte + 8]) << 60;
  if (nibbles < 16) value &= (std::uint64_t{1} << (4 * nibbles)) - 1;
  return value;
}

void StpParser::skip_nibbles(std::uint64_t from, std::uint64_t count, const char* reason) {
  if (count == 0) return;
  nibbles_skipped_ += count;
  handler_.on_skipped(from / 2, count, reason);
}

void StpParser::feed(const std::uint8_t* data, std::size_t size) {
  // Drop whole bytes already parsed, keep the rest (and the nibble alignment), and the last
  // nibbles before the position: a broken packet looks back over them for an ASYNC's start.
  const std::size_t keep = pos_ < kAsyncFs ? pos_ : kAsyncFs;
  const std::size_t dropBytes = (pos_ - keep) / 2;
  const std::size_t validBytes = (nibble_count_ + 1) / 2;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(dropBytes));
  base_nibble_ += dropBytes * 2;
  nibble_count_ -= dropBytes * 2;
  pos_ -= dropBytes * 2;
  buffer_.resize(validBytes - dropBytes);
  buffer_.insert(buffer_.end(), data, data + size);
  nibble_count_ += size * 2;
  buffer_.resize(buffer_.size() + kPadding, 0);

  while (pos_ < nibble_count_) {
    if (!in_sync_) {
      scan_for_async();
      if (!in_sync_) break;
      continue;
    }
    const std::size_t start = pos_;
    const Step step = parse_one();
    if (step == Step::NeedMore) break;
    if (step == Step::Broken) {
      // The packet before may have taken the first F nibbles of an ASYNC as its value (a cut
      // capture followed by a whole one, a garbage byte before one): the search for the next
      // ASYNC starts at the first of the F nibbles that run up to the break, so that ASYNC is
      // found whole. Those nibbles were parsed already and are not counted as skipped.
      std::size_t resume = start;
      while (resume > 0 && start - resume < kAsyncFs && nibble_at(resume - 1) == 0xF) --resume;
      pos_ = resume;
      in_sync_ = false;
      f_run_ = 0;
      skip_start_ = base_nibble_ + start;
      skip_reason_ = "broken packet";
      skip_has_data_ = true;
    }
  }
}

void StpParser::finish() {
  if (in_sync_) {
    skip_nibbles(base_nibble_ + pos_, nibble_count_ - pos_, "truncated packet at the end");
  } else if (skip_has_data_ || f_run_ != 0) {
    skip_nibbles(skip_start_, base_nibble_ + nibble_count_ - skip_start_, skip_reason_);
  }
  base_nibble_ += nibble_count_;
  buffer_.assign(kPadding, 0);
  nibble_count_ = 0;
  pos_ = 0;
  skip_start_ = base_nibble_;
  skip_has_data_ = false;
  f_run_ = 0;
}

std::uint64_t StpParser::abandon() {
  const std::uint64_t pending = in_sync_ ? nibble_count_ - pos_ : 0;
  if (!in_sync_) {
    finish();  // input that never became a packet is reported as ever
    return 0;
  }
  nibble_count_ = pos_;
  finish();
  return (pending + 1) / 2;
}

void StpParser::scan_for_async() {
  for (; pos_ < nibble_count_; ++pos_) {
    const unsigned nibble = nibble_at(pos_);
    if (nibble == 0xF) {
      ++f_run_;
      continue;
    }
    if (nibble == 0 && f_run_ >= kAsyncFs) {
      const std::uint64_t asyncStart = base_nibble_ + pos_ - f_run_;
      // NULL nibbles before an ASYNC are idle padding (every file sink stream starts with
      // one), not garbage.
      if (asyncStart > skip_start_ && skip_has_data_) skip_nibbles(skip_start_, asyncStart - skip_start_, skip_reason_);
      skip_has_data_ = false;
      ++pos_;
      in_sync_ = true;
      ever_in_sync_ = true;
      f_run_ = 0;
      Packet packet;
      packet.kind = PacketKind::Async;
      packet.byte_offset = asyncStart / 2;
      last_timestamp_ = 0;
      handler_.on_packet(packet);
      return;
    }
    if (nibble != 0 || f_run_ != 0) skip_has_data_ = true;
    f_run_ = 0;
  }
}

StpParser::Step StpParser::parse_timestamp(std::size_t& at, Packet& packet) {
  if (at >= nibble_count_) return Step::NeedMore;
  const unsigned code = nibble_at(at++);
  unsigned nibbles;
  if (code <= 12) {
    nibbles = code;
  } else if (code == 13) {
    nibbles = 14;
  } else if (code == 14) {
    nibbles = 16;
  } else {
    return Step::Broken;
  }
  if (nibble_count_ - at < nibbles) return Step::NeedMore;
  const std::uint64_t value = nibbles == 0 ? 0 : value_at(at, nibbles);
  at += nibbles;
  const std::uint64_t mask = nibbles == 16 ? ~std::uint64_t{0} : (std::uint64_t{1} << (4 * nibbles)) - 1;
  packet.has_timestamp = true;
  packet.timestamp = (last_timestamp_ & ~mask) | value;
  return Step::Done;
}

StpParser::Step StpParser::parse_one() {
  const std::size_t start = pos_;
  const std::size_t available = nibbles_available();
  const unsigned op = nibble_at(start);
  // The bulk of a SyS-T stream: D64 payload stores, taken as a run.
  if (op == 0x7 && available >= 17) {
    constexpr std::size_t kRun = 64;
    std::uint64_t values[kRun];
    std::size_t count = 0;
    std::size_t at = start;
    do {
      values[count++] = value_at(at + 1, 16);
      at += 17;
    } while (count < kRun && nibble_count_ - at >= 17 && nibble_at(at) == 0x7);
    pos_ = at;
    handler_.on_data64_run(values, count, base_nibble_ + start);
    return Step::Done;
  }
  Packet packet;
  packet.byte_offset = (base_nibble_ + start) / 2;
  std::size_t at = start + 1;
  unsigned payload = 0;  // value nibbles
  bool timestamped = false;
  const auto need = [&](std::size_t nibbles) { return nibble_count_ - at < nibbles; };

  switch (op) {
    case 0x0:
      packet.kind = PacketKind::Null;
      break;
    case 0x1:
    case 0x3:
      packet.kind = op == 0x1 ? PacketKind::Master : PacketKind::Channel;
      packet.data_bits = 8;
      payload = 2;
      break;
    case 0x2:
      packet.kind = PacketKind::Error;
      payload = 2;
      break;
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7:
      packet.kind = PacketKind::Data;
      packet.data_bits = static_cast<std::uint8_t>(8u << (op - 0x4));
      payload = packet.data_bits / 4;
      break;
    case 0x8:
    case 0x9:
    case 0xA:
    case 0xB:
      packet.kind = PacketKind::Data;
      packet.data_bits = static_cast<std::uint8_t>(8u << (op - 0x8));
      packet.marked = true;
      payload = packet.data_bits / 4;
      timestamped = true;
      break;
    case 0xC:
    case 0xD:
      packet.kind = PacketKind::Data;
      packet.data_bits = 4;
      packet.marked = op == 0xD;
      payload = 1;
      timestamped = op == 0xD;
      break;
    case 0xE:
      packet.kind = PacketKind::Flag;
      timestamped = true;
      break;
    default: {  // 0xF: extended
      if (need(1)) return Step::NeedMore;
      const unsigned op2 = nibble_at(at++);
      switch (op2) {
        case 0x0: {
          if (need(1)) return Step::NeedMore;
          const unsigned op3 = nibble_at(at++);
          if (op3 == 0x0) {
            packet.kind = PacketKind::Version;
            payload = 1;
          } else if (op3 == 0x1) {
            packet.kind = PacketKind::NullTimestamp;
            timestamped = true;
          } else if (op3 == 0x8 || op3 == 0x9) {
            packet.kind = PacketKind::Frequency;
            payload = 16;
            timestamped = op3 == 0x9;
          } else {
            return Step::Broken;
          }
          break;
        }
        case 0x1:
        case 0x3:
          packet.kind = op2 == 0x1 ? PacketKind::Master : PacketKind::Channel;
          packet.data_bits = 16;
          payload = 4;
          break;
        case 0x2:
          packet.kind = PacketKind::Error;
          payload = 2;
          break;
        case 0x4:
        case 0x5:
        case 0x6:
        case 0x7:
          packet.kind = PacketKind::Data;
          packet.data_bits = static_cast<std::uint8_t>(8u << (op2 - 0x4));
          packet.is_timestamped_store = true;
          payload = packet.data_bits / 4;
          timestamped = true;
          break;
        case 0x8:
        case 0x9:
        case 0xA:
        case 0xB:
          packet.kind = PacketKind::Data;
          packet.data_bits = static_cast<std::uint8_t>(8u << (op2 - 0x8));
          packet.marked = true;
          payload = packet.data_bits / 4;
          break;
        case 0xC:
        case 0xD:
          packet.kind = PacketKind::Data;
          packet.data_bits = 4;
          packet.is_timestamped_store = op2 == 0xC;
          packet.marked = op2 == 0xD;
          payload = 1;
          timestamped = op2 == 0xC;
          break;
        case 0xE:
          packet.kind = PacketKind::Flag;
          break;
        default: {  // 0xF: ASYNC, or a run of F that is not one
          std::size_t end = start;
          while (end < nibble_count_ && nibble_at(end) == 0xF) ++end;
          if (end == nibble_count_) return Step::NeedMore;
          if (nibble_at(end) != 0 || end - start < kAsyncFs) return Step::Broken;
          packet.kind = PacketKind::Async;
          last_timestamp_ = 0;
          pos_ = end + 1;
          handler_.on_packet(packet);
          return Step::Done;
        }
      }
    }
  }
  if (need(payload)) return Step::NeedMore;
  if (payload > 0) packet.value = value_at(at, payload);
  at += payload;
  if (timestamped) {
    const Step step = parse_timestamp(at, packet);
    if (step != Step::Done) return step;
    last_timestamp_ = packet.timestamp;
  }
  pos_ = at;
  handler_.on_packet(packet);
  return Step::Done;
}

}  // namespace stpdump
