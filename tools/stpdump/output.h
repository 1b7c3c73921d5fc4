// Writes decoded items as readable lines, JSON lines, a Trace Event document for trace
// viewers (Perfetto UI, chrome://tracing) or per-type counts, and the closing statistics.
//
// The Trace Event document is a JSON array written incrementally: an interrupted run leaves
// an array without its closing bracket, which the Trace Event format accepts; a run that ends
// normally closes it, so the file is also plain valid JSON.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "stream_decoder.h"
#include "syst_guid_text.h"

namespace stpdump {

enum class Format { Text, Json, Chrome, Stats };

struct Filters {
  std::optional<std::array<std::uint8_t, 16>> provider;
  std::optional<unsigned> max_level;
  std::optional<std::uint16_t> master;
  std::optional<std::uint16_t> channel;
};

// The 16 bytes of a GUID in memory order from its text (syst::guid_text's form, braces optional,
// any case); nullopt when the text is not a GUID.
std::optional<std::array<std::uint8_t, 16>> parse_guid(const std::string& text);

class Formatter : public ItemSink {
 public:
  Formatter(Format format, Filters filters, std::ostream& out);

  // A plain record file carries no STP time: events are placed on the Trace Event timeline by
  // their header time stamps (performance-counter ticks) at this rate, or at the rate the
  // event itself names. `assumed`: the rate is a default, not the user's; the document says
  // which.
  void use_record_clock(std::uint64_t frequency, bool assumed);

  void on_message(const Message& message) override;
  void on_loss(const Loss& loss) override;
  void on_skip(const Skip& skip) override;
  // Closes the document and writes the statistics: to `out` for Format::Stats, else to `err`.
  void finish(const Statistics& stats, std::ostream& err);

  std::uint64_t messages_shown() const { return shown_; }

 private:
  bool passes(const Message& message) const;
  bool is_filtering() const { return filters_.provider || filters_.max_level || filters_.master || filters_.channel; }
  void write_chrome_event(const std::string& json);

  Format format_;
  Filters filters_;
  std::ostream& out_;
  bool chrome_started_ = false;
  double last_seconds_ = 0;  // of the last message with a time: where skipped input shows on a timeline
  std::uint64_t shown_ = 0;
  Statistics shown_stats_;  // of the messages that pass the filters
  std::uint64_t record_frequency_ = 0;
  bool record_frequency_assumed_ = false;
};

}  // namespace stpdump
