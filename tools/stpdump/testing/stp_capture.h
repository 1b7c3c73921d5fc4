// Reading an STP capture back in tests, as a host engineer's stpdump would: the whole file
// through the packet parser and the stream decoder, every item kept.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "stp_parser.h"
#include "stream_decoder.h"

namespace stp_testing {

using FileBytes = std::vector<std::uint8_t>;

// One read of the file's size, not a byte at a time (the TXR write fuzzer reads a capture
// for every input). A file that cannot be read is empty.
inline FileBytes read_whole_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (!in || error) return {};
  FileBytes bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

struct DecodedCapture : stpdump::ItemSink {
  std::vector<stpdump::Message> messages;
  std::vector<stpdump::Loss> losses;
  std::vector<stpdump::Skip> skips;
  std::uint64_t frequency = 0;  // from the stream's FREQ packet

  void on_message(const stpdump::Message& message) override { messages.push_back(message); }
  void on_loss(const stpdump::Loss& loss) override { losses.push_back(loss); }
  void on_skip(const stpdump::Skip& skip) override { skips.push_back(skip); }
};

inline DecodedCapture decode_stp(const FileBytes& bytes) {
  DecodedCapture capture;
  stpdump::StreamDecoder decoder(capture);
  stpdump::StpParser parser(decoder);
  parser.feed(bytes.data(), bytes.size());
  parser.finish();
  decoder.finish();
  capture.frequency = decoder.frequency();
  return capture;
}

// The one capture file in `folder`, decoded; nothing when the folder holds no file or more
// than one.
inline std::optional<DecodedCapture> decode_only_capture_in(const std::filesystem::path& folder) {
  std::error_code error;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) files.push_back(entry.path());
  if (error || files.size() != 1) return std::nullopt;
  return decode_stp(read_whole_file(files.front()));
}

}  // namespace stp_testing
