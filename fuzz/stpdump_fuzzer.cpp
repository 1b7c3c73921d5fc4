// Feeds arbitrary bytes, as a capture file could hold them, to stpdump's decoder (as an STP
// stream and as a plain record file) in two chunks, and formats everything it reports. The
// first byte chooses the output format and where the input is cut, so that packets split
// between reads are exercised. One format an input rather than all three: formatting is most
// of the work, and each format still sees every kind of input over a run. Whatever the input,
// the decoder must not crash, hang or grow without bound.
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
  constexpr stpdump::Format kFormats[] = {stpdump::Format::Text, stpdump::Format::Json, stpdump::Format::Chrome,
                                          stpdump::Format::Stats};
  const stpdump::Format format = kFormats[data[0] % 4];
  const std::size_t cut = (data[0] / 4u) % size;
  stpdump::Formatter formatter(format, stpdump::Filters{}, nowhere);
  stpdump::StreamDecoder decoder(formatter);
  stpdump::StpParser parser(decoder);
  parser.feed(data + 1, cut);
  parser.feed(data + 1 + cut, size - 1 - cut);
  parser.finish();
  stpdump::RecordParser records(decoder);
  records.feed(data + 1, cut);
  records.feed(data + 1 + cut, size - 1 - cut);
  records.finish();
  decoder.finish();
  formatter.finish(decoder.stats(), nowhere);
  return 0;
}
