// Reads the Tessera model's capture back with stpdump's decoder, as a host would read what it
// recorded from the block's trace port.
#pragma once

#include <fstream>
#include <iterator>
#include <vector>

#include "stp_parser.h"
#include "stream_decoder.h"
#include "tessera/model.h"

namespace txr_testing {

struct DecodedCapture : stpdump::ItemSink {
  std::vector<stpdump::Message> messages;
  std::size_t losses = 0;
  std::size_t skips = 0;
  void OnMessage(const stpdump::Message& message) override { messages.push_back(message); }
  void OnLoss(const stpdump::Loss&) override { ++losses; }
  void OnSkip(const stpdump::Skip&) override { ++skips; }
};

inline DecodedCapture decode_capture() {
  DecodedCapture decoded;
  tessera::model().flush_capture();
  const auto path = tessera::model().capture_path();
  if (!path) return decoded;
  std::ifstream in(*path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  stpdump::StreamDecoder decoder(decoded);
  stpdump::StpParser parser(decoder);
  parser.Feed(bytes.data(), bytes.size());
  parser.Finish();
  decoder.Finish();
  return decoded;
}

}  // namespace txr_testing
