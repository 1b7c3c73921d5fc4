#include "capture.h"

#include <bit>
#include <system_error>

#include "tessera/model.h"

namespace tessera::detail {

namespace {

constexpr unsigned kAsyncFs = 21;
// The most one store adds: M16 and C16 (6 nibbles each) and D64MTS with a full time stamp
// (1 + 16 + 1 + 16 nibbles).
constexpr std::size_t kLargestStoreBytes = 24;

}  // namespace

PacketKind packet_for(std::uint64_t offset, unsigned width) {
  switch (offset) {
    case kChannelData:
      return PacketKind::data;
    case kChannelDataTimestamped:
      return width == 4 ? PacketKind::timestamped : PacketKind::none;
    case kChannelDataMarkedTimestamped:
      return width == 4 || width == 8 ? PacketKind::marked_timestamped : PacketKind::none;
    case kChannelFlag:
      return width == 2 ? PacketKind::flag : PacketKind::none;
    default:
      return PacketKind::none;
  }
}

Capture::Capture() { bytes_.reserve(kFlushBytes + kLargestStoreBytes); }

Capture::~Capture() { close(); }

bool Capture::open(const std::filesystem::path& path, std::uint64_t timestamp_hz) {
  close();
  std::error_code ignored;  // a folder that cannot be made shows as a file that cannot be
  std::filesystem::create_directories(path.parent_path(), ignored);
  file_ = std::fopen(path.c_str(), "wbx");  // never over an existing capture
  if (file_ == nullptr) return false;
  path_ = path;
  bytes_.clear();
  has_half_ = false;
  has_channel_ = false;
  has_timestamp_ = false;
  last_timestamp_ = 0;
  timestamp_hz_ = timestamp_hz;
  opened_ = std::chrono::steady_clock::now();

  put(0x0);  // NULL: idle before the first ASYNC
  for (unsigned i = 0; i < kAsyncFs; ++i) put(0xF);
  put(0x0);
  put({0xF, 0x0, 0x0, 0x3});  // VERSION 3
  put({0xF, 0x0, 0x8});       // FREQ
  put_value(timestamp_hz, 16);
  return true;
}

void Capture::store(std::uint16_t master, std::uint16_t channel, PacketKind kind, unsigned width,
                    std::uint64_t value) {
  if (file_ == nullptr || kind == PacketKind::none) return;
  // A decoder forgets the channel when the master changes, so a new master brings its C16.
  const bool new_master = !has_channel_ || master != master_;
  if (new_master) {
    put({0xF, 0x1});
    put_value(master, 4);
  }
  if (new_master || channel != channel_) {
    put({0xF, 0x3});
    put_value(channel, 4);
  }
  has_channel_ = true;
  master_ = master;
  channel_ = channel;

  const auto size_code = static_cast<unsigned>(std::countr_zero(width));  // 1, 2, 4, 8 -> 0..3
  switch (kind) {
    case PacketKind::data:
      put(0x4 + size_code);
      put_value(value, 2 * width);
      break;
    case PacketKind::timestamped:
      put({0xF, 0x6});
      put_value(value, 8);
      put_timestamp();
      break;
    case PacketKind::marked_timestamped:
      put(0x8 + size_code);
      put_value(value, 2 * width);
      put_timestamp();
      break;
    case PacketKind::flag:
      put({0xF, 0xE});
      break;
    case PacketKind::none:
      break;
  }
  if (bytes_.size() >= kFlushBytes) flush();
}

void Capture::put_timestamp() {
  const std::uint64_t ticks = ticks_now();
  const auto changed = static_cast<unsigned>(std::bit_width(ticks ^ last_timestamp_));
  const unsigned nibbles = has_timestamp_ ? (changed + 3) / 4 : 16;
  if (nibbles <= 12) {
    put(nibbles);
    put_value(ticks, nibbles);
  } else {
    put(0xE);
    put_value(ticks, 16);
  }
  has_timestamp_ = true;
  last_timestamp_ = ticks;
}

std::uint64_t ticks_in(std::uint64_t nanoseconds, std::uint64_t hz) {
  // nanoseconds × hz / 10^9, with both split at 10^9 so that no product overflows.
  constexpr std::uint64_t kGiga = 1'000'000'000;
  const std::uint64_t seconds = nanoseconds / kGiga;
  const std::uint64_t rest = nanoseconds % kGiga;
  return seconds * hz + rest * (hz / kGiga) + rest * (hz % kGiga) / kGiga;
}

std::uint64_t Capture::ticks_now() const {
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - opened_);
  return ticks_in(static_cast<std::uint64_t>(elapsed.count()), timestamp_hz_);
}

void Capture::flush() {
  if (file_ == nullptr || bytes_.empty()) return;
  // A write that fails loses these bytes, as a host whose disk is full loses them; the
  // stream goes on.
  std::fwrite(bytes_.data(), 1, bytes_.size(), file_);
  std::fflush(file_);
  bytes_.clear();
}

void Capture::close() {
  if (file_ == nullptr) return;
  if (has_half_) put(0x0);
  flush();
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace tessera::detail
