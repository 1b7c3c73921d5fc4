#include "record_parser.h"

#include <algorithm>

#include "txr_public.h"

namespace stpdump {

namespace {

constexpr std::uint8_t kMagicLow = TRACE_RECORD_MAGIC & 0xFF;
constexpr std::uint8_t kMagicHigh = TRACE_RECORD_MAGIC >> 8;
constexpr std::uint64_t kMaxRecord = TRACE_RECORD_BODY_HEAD + 0xFFFF;

std::uint64_t read_le64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

}  // namespace

void RecordParser::skip_bytes(std::size_t bytes, const char* reason) {
  decoder_.on_skipped(offset_, std::uint64_t{bytes} * 2, reason);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(bytes));
  offset_ += bytes;
}

void RecordParser::feed(const std::uint8_t* data, std::size_t size) {
  pending_.insert(pending_.end(), data, data + size);
  std::size_t at = 0;  // consumed bytes of pending_, erased once at the end
  auto consume = [&](std::size_t bytes) {
    at += bytes;
    offset_ += bytes;
  };
  while (pending_.size() - at >= TRACE_RECORD_HEADER_SIZE) {
    const std::uint8_t* frame = pending_.data() + at;
    const std::uint64_t length = read_le64(frame + 2);
    const std::uint16_t payload = static_cast<std::uint16_t>(frame[TRACE_RECORD_PAYLOAD_LENGTH_OFFSET] |
                                                             frame[TRACE_RECORD_PAYLOAD_LENGTH_OFFSET + 1] << 8);
    const bool sound = frame[0] == kMagicLow && frame[1] == kMagicHigh && length <= kMaxRecord &&
                       length == TRACE_RECORD_BODY_HEAD + payload;
    if (!sound) {
      // Resynchronise on the next magic; everything before it is reported in one piece.
      std::size_t next = at + 1;
      while (next + 1 < pending_.size() && !(pending_[next] == kMagicLow && pending_[next + 1] == kMagicHigh)) ++next;
      if (next + 1 >= pending_.size() && !(next < pending_.size() && pending_[next] == kMagicLow)) next = pending_.size();
      decoder_.on_skipped(offset_, std::uint64_t{next - at} * 2, "not a record frame");
      consume(next - at);
      continue;
    }
    const std::size_t whole = TRACE_RECORD_FRAME_SIZE + static_cast<std::size_t>(length);
    if (pending_.size() - at < whole) break;
    decoder_.on_record(frame[TRACE_RECORD_TYPE_OFFSET], frame + TRACE_RECORD_HEADER_SIZE, payload, offset_);
    ++records_;
    consume(whole);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

void RecordParser::finish() {
  if (!pending_.empty()) skip_bytes(pending_.size(), "frame cut at the end of the file");
}

}  // namespace stpdump
