// Reads a plain record file, as the plain file sink writes it: frames back to back, each the
// magic BF AE, the record's length (u64) and the record (type, u16 payload length, payload).
// Every record goes to the stream decoder as the message the STP sink would have made of it,
// so both capture kinds print alike.
//
// Input that is not a whole frame (a wrong magic, a length that disagrees with the record, a
// frame cut at the end) is reported as skipped with its offset and size; reading resumes at
// the next magic. Memory stays bounded whatever the input: no record exceeds 3 + 65535 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stream_decoder.h"

namespace stpdump {

class RecordParser {
 public:
  explicit RecordParser(StreamDecoder& decoder) : decoder_(decoder) {}

  void feed(const std::uint8_t* data, std::size_t size);
  // End of input: a partial frame left over is reported as skipped.
  void finish();
  // Reading was interrupted: a partial frame at the end is not yet written, not broken.
  // Answers how many bytes it held.
  std::uint64_t abandon() {
    const std::uint64_t pending = pending_.size();
    pending_.clear();
    return pending;
  }

  std::uint64_t records() const { return records_; }

 private:
  void skip_bytes(std::size_t bytes, const char* reason);

  StreamDecoder& decoder_;
  std::vector<std::uint8_t> pending_;  // input not consumed yet, from offset_ on
  std::uint64_t offset_ = 0;
  std::uint64_t records_ = 0;
};

}  // namespace stpdump
