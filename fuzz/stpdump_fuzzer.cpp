// Feeds arbitrary bytes, as a capture file could hold them, to stpdump's decoder (as an STP
// stream and as a plain record file) in two chunks (the first byte chooses where the input is cut, so packets split between reads are
// exercised) and formats everything it reports. Whatever the input, the decoder must not
// crash, hang or grow without bound.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

#include "output.h"
#include "record_parser.h"
#include "stp_parser.h"
#include "stream_decoder.h"

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static NullBuffer nullBuffer;
  static std::ostream nowhere(&nullBuffer);
  if (size == 0) return 0;
  const std::size_t cut = data[0] % size;
  for (stpdump::Format format : {stpdump::Format::Text, stpdump::Format::Json, stpdump::Format::Chrome}) {
    stpdump::Formatter formatter(format, stpdump::Filters{}, nowhere);
    stpdump::StreamDecoder decoder(formatter);
    stpdump::StpParser parser(decoder);
    parser.Feed(data + 1, cut);
    parser.Feed(data + 1 + cut, size - 1 - cut);
    parser.Finish();
    stpdump::RecordParser records(decoder);
    records.Feed(data + 1, cut);
    records.Feed(data + 1 + cut, size - 1 - cut);
    records.Finish();
    decoder.Finish();
    formatter.Finish(decoder.Stats(), nowhere);
  }
  return 0;
}
