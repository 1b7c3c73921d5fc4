#include "stpdump_app.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "output.h"
#include "record_parser.h"
#include "stp_parser.h"
#include "stream_decoder.h"

namespace stpdump {

namespace {

std::atomic<bool> g_stop{false};

constexpr std::size_t kChunk = 1 << 20;
constexpr std::uint64_t kProgressThreshold = 64ull << 20;
constexpr std::uint64_t kDefaultRecordFrequency = 10'000'000;

}  // namespace

void request_stop() { g_stop.store(true); }

int run_stpdump(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  g_stop.store(false);
  CLI::App app{"Decodes a MIPI STP capture of SyS-T messages (STP file sink or hardware) into messages and "
               "ETW events.",
               "stpdump"};
  std::string path;
  bool asJson = false;
  bool statsOnly = false;
  bool follow = false;
  bool records = false;
  std::string format = "text";
  std::string provider;
  int level = -1;
  int master = -1;
  int channel = -1;
  std::uint64_t frequency = 0;
  app.add_option("file", path, "STP capture to decode")->required();
  app.add_flag("--json", asJson, "one JSON object per line");
  app.add_option("--format", format, "text, json or chrome (Trace Event JSON for Perfetto / chrome://tracing)")
      ->check(CLI::IsMember({"text", "json", "chrome"}));
  app.add_flag("--stats", statsOnly, "only per-type counts and statistics");
  app.add_flag("--records", records,
               "the file holds plain record frames (the plain file sink's SESSION.bin), not STP; "
               "assumed when it begins with a frame's magic");
  app.add_flag("--follow", follow, "keep reading as the capture grows (until interrupted)");
  app.add_option("--provider", provider, "only ETW events of this provider GUID");
  app.add_option("--level", level, "only events and messages of this level/severity or more severe")
      ->check(CLI::Range(0, 255));
  app.add_option("--master", master, "only this master")->check(CLI::Range(0, 65535));
  app.add_option("--channel", channel, "only this channel")->check(CLI::Range(0, 65535));
  app.add_option("--frequency", frequency,
                 "a plain record file's time-stamp rate in Hz, for --format chrome (default 10000000, the "
                 "performance counter's usual rate)")
      ->check(CLI::Range(std::uint64_t{1}, std::numeric_limits<std::uint64_t>::max()));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err) == 0 ? 0 : 2;
  }

  Filters filters;
  if (!provider.empty()) {
    filters.provider = parse_guid(provider);
    if (!filters.provider) {
      err << "stpdump: --provider: not a GUID: " << provider << '\n';
      return 2;
    }
  }
  if (level >= 0) filters.max_level = static_cast<unsigned>(level);
  if (master >= 0) filters.master = static_cast<std::uint16_t>(master);
  if (channel >= 0) filters.channel = static_cast<std::uint16_t>(channel);
  Format chosen = Format::Text;
  if (statsOnly) {
    chosen = Format::Stats;
  } else if (asJson || format == "json") {
    chosen = Format::Json;
  } else if (format == "chrome") {
    chosen = Format::Chrome;
  }

  std::error_code kindError;
  if (std::filesystem::is_directory(path, kindError)) {
    err << "stpdump: " << path << " is a directory, not a capture\n";
    return 1;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err << "stpdump: cannot open " << path << '\n';
    return 1;
  }
  in.seekg(0, std::ios::end);
  const auto total = static_cast<std::uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
  in.seekg(0, std::ios::beg);
  const bool showProgress = !follow && total >= kProgressThreshold && isatty(STDERR_FILENO) != 0;

  // An STP stream starts with a NULL nibble and ASYNC (0xF0 0xFF ...), a record file with BF AE.
  if (!records) {
    char head[2] = {};
    in.read(head, 2);
    records = in.gcount() == 2 && static_cast<std::uint8_t>(head[0]) == 0xBF && static_cast<std::uint8_t>(head[1]) == 0xAE;
    in.clear();
    in.seekg(0, std::ios::beg);
  }

  Formatter formatter(chosen, filters, out);
  if (records) formatter.use_record_clock(frequency != 0 ? frequency : kDefaultRecordFrequency, frequency == 0);
  StreamDecoder decoder(formatter);
  StpParser stpParser(decoder);
  RecordParser recordParser(decoder);
  auto feed = [&](const std::uint8_t* data, std::size_t size) {
    if (records) {
      recordParser.feed(data, size);
    } else {
      stpParser.feed(data, size);
    }
  };
  std::vector<std::uint8_t> chunk(kChunk);
  std::uint64_t done = 0;
  bool readFailed = false;
  auto lastProgress = std::chrono::steady_clock::now();
  // A stop ends a plain read at once; a follow first catches up with what the capture holds
  // now, so that an interrupt shows everything written before it.
  while (follow || !g_stop.load()) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > 0) {
      feed(chunk.data(), got);
      done += got;
      if (showProgress && std::chrono::steady_clock::now() - lastProgress > std::chrono::milliseconds(500)) {
        lastProgress = std::chrono::steady_clock::now();
        err << "\rstpdump: " << (done * 100 / total) << "% (" << (done >> 20) << " of " << (total >> 20) << " MiB)"
            << std::flush;
      }
    }
    if (!in) {
      if (!in.eof()) {
        err << "stpdump: read error on " << path << '\n';
        readFailed = true;
        break;
      }
      if (!follow || g_stop.load()) break;
      out.flush();
      in.clear();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  if (showProgress) err << "\r\033[K" << std::flush;
  if (g_stop.load()) {
    // Interrupted while the capture may still be written: its unfinished end is not damage.
    const std::uint64_t pendingBytes = records ? recordParser.abandon() : stpParser.abandon();
    const std::size_t openMessages = decoder.abandon();
    if (pendingBytes != 0 || openMessages != 0) {
      err << "stpdump: interrupted: " << openMessages << " unfinished message(s) and " << pendingBytes
          << " byte(s) of an unfinished " << (records ? "frame" : "packet") << " not decoded\n";
    }
  } else {
    if (records) {
      recordParser.finish();
    } else {
      stpParser.finish();
    }
    decoder.finish();
  }
  formatter.finish(decoder.stats(), err);
  if (readFailed) return 1;
  // Bytes that never showed an ASYNC (nor, for a record file, a frame) are no capture at
  // all: say so rather than a quiet "0 messages".
  if (done > 0 && decoder.stats().messages == 0 && (records ? recordParser.records() == 0 : !stpParser.has_been_in_sync())) {
    err << "stpdump: " << path << " is not a capture: no " << (records ? "whole record frame" : "STP ASYNC")
        << (records ? "" : " and it does not begin with a record frame") << " in its " << done << " bytes\n";
    return 1;
  }
  return 0;
}

}  // namespace stpdump
