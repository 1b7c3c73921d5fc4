#include "output.h"

#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "txr_public.h"

namespace stpdump {

namespace {

using nlohmann::json;

const char* const kHex = "0123456789abcdef";

std::string to_hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0xF]);
  }
  return text;
}

std::string printable(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      result.push_back('\\');
      result.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", c);
      result += escape;
    } else {
      result.push_back(static_cast<char>(c));
    }
  }
  return result;
}

std::string time_text(const Message& m) {
  char text[48];
  if (m.has_seconds) {
    std::snprintf(text, sizeof(text), "%.9f", m.seconds);
  } else {
    std::snprintf(text, sizeof(text), "ticks %llu", static_cast<unsigned long long>(m.ticks));
  }
  return text;
}

std::string dump_json(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string kind_name(const Message& m) {
  switch (m.cls) {
    case MessageClass::EtwEvent:
      return "etw";
    case MessageClass::RawData:
      return "raw";
    case MessageClass::String:
      return "string";
    case MessageClass::Undecodable:
      break;
  }
  return "undecodable";
}

json message_json(const Message& m) {
  json j;
  j["kind"] = kind_name(m);
  j["offset"] = m.byte_offset;
  j["master"] = m.master;
  j["channel"] = m.channel;
  j["ticks"] = m.ticks;
  if (m.has_seconds) j["time_s"] = m.seconds;
  j["header"] = m.header;
  j["type"] = syst_header_type(m.header);
  j["severity"] = syst_header_severity(m.header);
  j["origin"] = syst_header_origin(m.header);
  j["subtype"] = syst_header_subtype(m.header);
  switch (m.cls) {
    case MessageClass::EtwEvent: {
      const EtwEvent& e = m.event;
      j["provider"] = syst::guid_text(e.provider);
      j["event_id"] = e.id;
      j["version"] = e.version;
      j["channel_etw"] = e.channel;
      j["level"] = e.level;
      j["opcode"] = e.opcode;
      j["task"] = e.task;
      j["keywords"] = e.keywords;
      j["process_id"] = e.process_id;
      j["thread_id"] = e.thread_id;
      j["timestamp"] = e.timestamp;
      j["processor"] = e.processor;
      j["logger_id"] = e.logger_id;
      j["frequency"] = e.frequency;
      j["text"] = e.text;
      break;
    }
    case MessageClass::String:
      j["component"] = syst_header_origin(m.header);
      j["text"] = m.text;
      break;
    case MessageClass::RawData:
      j["payload_hex"] = to_hex(m.payload);
      break;
    case MessageClass::Undecodable:
      j["reason"] = m.reason;
      j["payload_hex"] = to_hex(m.payload);
      break;
  }
  return j;
}

}  // namespace

std::optional<std::array<std::uint8_t, 16>> parse_guid(const std::string& input) {
  std::string text = input;
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return std::nullopt;
  }
  std::string digits;
  for (char c : text) {
    if (c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits.push_back(c);
  }
  std::array<std::uint8_t, 16> big{};
  for (int i = 0; i < 16; ++i) big[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  // Data1, Data2 and Data3 lie little-endian in memory.
  return std::array<std::uint8_t, 16>{big[3], big[2], big[1],  big[0],  big[5],  big[4],  big[7],  big[6],
                                      big[8], big[9], big[10], big[11], big[12], big[13], big[14], big[15]};
}

Formatter::Formatter(Format format, Filters filters, std::ostream& out)
    : format_(format), filters_(filters), out_(out) {}

void Formatter::use_record_clock(std::uint64_t frequency, bool assumed) {
  record_frequency_ = frequency;
  record_frequency_assumed_ = assumed;
}

bool Formatter::passes(const Message& m) const {
  if (filters_.master && *filters_.master != m.master) return false;
  if (filters_.channel && *filters_.channel != m.channel) return false;
  if (filters_.provider && (m.cls != MessageClass::EtwEvent || m.event.provider != *filters_.provider)) return false;
  if (filters_.max_level) {
    if (m.cls == MessageClass::EtwEvent) return m.event.level <= *filters_.max_level;
    if (m.cls != MessageClass::Undecodable) return syst_header_severity(m.header) <= *filters_.max_level;
  }
  return true;
}

void Formatter::write_chrome_event(const std::string& text) {
  if (!chrome_started_ && record_frequency_ != 0) {
    // Metadata first: how the times of a record file's events were made.
    json clock{{"time_stamps", "event header time stamps (performance-counter ticks)"},
               {"frequency_hz", record_frequency_},
               {"frequency_source", record_frequency_assumed_ ? "assumed; --frequency sets it" : "--frequency"},
               {"note", "an event that names its counter's rate is placed by that rate"}};
    out_ << "[\n"
         << dump_json(json{{"name", "stpdump clock"}, {"ph", "M"}, {"pid", 0}, {"tid", 0}, {"args", clock}});
    chrome_started_ = true;
  }
  out_ << (chrome_started_ ? ",\n" : "[\n") << text;
  chrome_started_ = true;
}

void Formatter::on_message(const Message& m) {
  double seconds = m.has_seconds ? m.seconds : last_seconds_;
  if (m.framed_record && m.cls == MessageClass::EtwEvent && record_frequency_ != 0) {
    const std::uint64_t rate = m.event.frequency != 0 ? m.event.frequency : record_frequency_;
    seconds = static_cast<double>(m.event.timestamp) / static_cast<double>(rate);
  }
  if (m.has_seconds || m.framed_record) last_seconds_ = seconds;
  if (!passes(m)) return;
  if (is_filtering()) count_message(shown_stats_, m);
  if (format_ == Format::Stats) return;
  ++shown_;
  if (format_ == Format::Json) {
    out_ << dump_json(message_json(m)) << '\n';
    return;
  }
  if (format_ == Format::Chrome) {
    json event;
    json args = message_json(m);
    const bool isEvent = m.cls == MessageClass::EtwEvent;
    event["name"] = isEvent ? "ETW " + syst::guid_text(m.event.provider) + " #" + std::to_string(m.event.id)
                            : kind_name(m) + " subtype " + std::to_string(syst_header_subtype(m.header));
    event["cat"] = kind_name(m);
    event["ph"] = "i";
    event["s"] = "t";
    event["ts"] = seconds * 1e6;
    event["pid"] = isEvent ? m.event.process_id : 0u;
    event["tid"] = isEvent ? m.event.thread_id : (static_cast<std::uint32_t>(m.master) << 16 | m.channel);
    event["args"] = args;
    write_chrome_event(dump_json(event));
    return;
  }
  if (m.framed_record) {
    out_ << "[record at " << m.byte_offset << "] ";
  } else {
    out_ << '[' << time_text(m) << "] M" << m.master << "/C" << m.channel << ' ';
  }
  switch (m.cls) {
    case MessageClass::EtwEvent: {
      const EtwEvent& e = m.event;
      char line[256];
      std::snprintf(line, sizeof(line),
                    "ETW %s id=%u v%u level=%u opcode=%u task=%u keywords=0x%llx pid=%u tid=%u cpu=%u logger=%u "
                    "ts=%llu freq=%llu",
                    syst::guid_text(e.provider).c_str(), e.id, e.version, e.level, e.opcode, e.task,
                    static_cast<unsigned long long>(e.keywords), e.process_id, e.thread_id, e.processor,
                    e.logger_id, static_cast<unsigned long long>(e.timestamp),
                    static_cast<unsigned long long>(e.frequency));
      out_ << line << " \"" << printable(e.text) << "\"\n";
      break;
    }
    case MessageClass::String:
      out_ << "STRING severity=" << syst_header_severity(m.header) << " component=0x" << std::hex
           << syst_header_origin(m.header) << std::dec << " \"" << printable(m.text) << "\"\n";
      break;
    case MessageClass::RawData:
      out_ << "RAW subtype=" << syst_header_subtype(m.header) << " length=" << m.payload.size()
           << " hex=" << to_hex(m.payload) << '\n';
      break;
    case MessageClass::Undecodable:
      out_ << "UNDECODED header=0x" << std::hex << m.header << std::dec << " reason=\"" << m.reason
           << "\" hex=" << to_hex(m.payload) << '\n';
      break;
  }
}

void Formatter::on_loss(const Loss& loss) {
  if (format_ == Format::Stats) return;
  if (format_ == Format::Json) {
    json j{{"kind", "loss"}, {"what", loss.what}, {"offset", loss.byte_offset}};
    if (loss.has_range) {
      j["from_s"] = loss.from_seconds;
      j["to_s"] = loss.to_seconds;
    }
    out_ << dump_json(j) << '\n';
  } else if (format_ == Format::Chrome) {
    json args{{"what", loss.what}};
    if (loss.has_range) {
      args["from_s"] = loss.from_seconds;
      args["to_s"] = loss.to_seconds;
    }
    json event{{"name", "DATA LOSS: " + loss.what}, {"cat", "loss"}, {"ph", "i"}, {"s", "g"},
               {"ts", loss.has_range ? loss.from_seconds * 1e6 : 0.0}, {"pid", 0}, {"tid", 0}, {"args", args}};
    write_chrome_event(dump_json(event));
  } else {
    char range[96] = "time unknown";
    if (loss.has_range) std::snprintf(range, sizeof(range), "%.9f s to %.9f s", loss.from_seconds, loss.to_seconds);
    out_ << "DATA LOSS: " << loss.what << ", " << range << '\n';
  }
}

void Formatter::on_skip(const Skip& skip) {
  if (format_ == Format::Text) {
    out_ << "SKIPPED " << skip.bytes << " bytes at offset " << skip.byte_offset << " (" << skip.reason << ")\n";
  } else if (format_ == Format::Json) {
    out_ << dump_json(json{{"kind", "skipped"}, {"offset", skip.byte_offset}, {"bytes", skip.bytes},
                      {"reason", skip.reason}})
         << '\n';
  } else if (format_ == Format::Chrome) {
    // Skipped input has no time of its own: it shows where the last message before it was.
    json args{{"from_offset", skip.byte_offset}, {"to_offset", skip.byte_offset + skip.bytes}, {"bytes", skip.bytes},
              {"reason", skip.reason}};
    json event{{"name", "SKIPPED INPUT: " + std::to_string(skip.bytes) + " bytes"}, {"cat", "skipped"}, {"ph", "i"},
               {"s", "g"}, {"ts", last_seconds_ * 1e6}, {"pid", 0}, {"tid", 0}, {"args", args}};
    write_chrome_event(dump_json(event));
  }
}

void Formatter::finish(const Statistics& stats, std::ostream& err) {
  if (format_ == Format::Chrome) out_ << (chrome_started_ ? "\n]\n" : "[]\n");
  std::ostream& to = format_ == Format::Stats ? out_ : err;
  if (format_ == Format::Stats) {
    // With filters the counts are of the messages that pass them; the closing line below
    // still counts the whole capture.
    const Statistics& counted = is_filtering() ? shown_stats_ : stats;
    for (const auto& [type, count] : counted.per_type) to << type << ": " << count << '\n';
    if (is_filtering()) {
      to << "stpdump: " << shown_stats_.messages << " of " << stats.messages << " messages pass the filters\n";
    }
  }
  to << "stpdump: " << stats.messages << " messages (" << stats.events << " events, " << stats.raw_messages
     << " raw, " << stats.strings << " strings, " << stats.undecodable << " undecodable), " << stats.bytes_skipped
     << " bytes skipped, " << stats.loss_notices << " loss notices\n";
  out_.flush();
}

}  // namespace stpdump
