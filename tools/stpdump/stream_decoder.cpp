#include "stream_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "txr_public.h"

namespace stpdump {

namespace {

constexpr char kSkipNotice[] = ">>>>>>>WARNING::[MAX MEMORY REACHED] Conduit Max memory exceeded";
constexpr char kResumeNotice[] = ">>>>>>>WARNING::[MAX MEMORY REACHED] Resuming Traces";
// ETW's RT_LostEvent class {6A399AE0-4BC6-4DE9-870B-3657F8947E7E}, in memory order.
constexpr std::array<std::uint8_t, 16> kRealTimeLostEvent = {0xE0, 0x9A, 0x39, 0x6A, 0xC6, 0x4B, 0xE9, 0x4D,
                                                             0x87, 0x0B, 0x36, 0x57, 0xF8, 0x94, 0x7E, 0x7E};

constexpr std::uint32_t kLocationPresent = 1u << 8;
constexpr std::uint32_t kLengthPresent = 1u << 9;
constexpr std::uint32_t kChecksumPresent = 1u << 10;
constexpr std::uint32_t kTimestampPresent = 1u << 11;
constexpr std::uint32_t kGuidPresent = 1u << 23;

template <typename T>
T read_le(const std::uint8_t* at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(at[i]) << (8 * i));
  return value;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

StreamDecoder::StreamDecoder(ItemSink& sink) : sink_(sink) {}

double StreamDecoder::ticks_to_seconds(std::uint64_t ticks) const {
  return frequency_ == 0 ? 0.0 : static_cast<double>(ticks) / static_cast<double>(frequency_);
}

void StreamDecoder::append(Open& open, std::uint64_t value, unsigned bytes) {
  std::vector<std::uint8_t>& payload = open.message.payload;
  if (open.overlong || open.used + bytes > kMaxMessageBytes) {
    open.overlong = true;  // bounded memory on any input; the message is reported as cut
    return;
  }
  if (open.used + 8 > payload.size()) payload.resize(std::max<std::size_t>(payload.size() * 2, 1024));
  // One 8-byte store whatever the packet's width (the bytes past `bytes` are overwritten by
  // the next store or cut off at the end). Byte by byte through a stack buffer, the store
  // waited on the stores before it and cost a third of the whole decode.
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(payload.data() + open.used, &value, 8);
  } else {
    for (unsigned i = 0; i < 8; ++i) payload[open.used + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  open.used += bytes;
}

void StreamDecoder::on_data64_run(const std::uint64_t* values, std::size_t count, std::uint64_t first_nibble) {
  if (current_ == nullptr) {
    PacketHandler::on_data64_run(values, count, first_nibble);  // the slow path finds the channel's message
    return;
  }
  Open& open = *current_;
  const std::size_t bytes = 8 * count;
  if constexpr (std::endian::native == std::endian::little) {
    if (!open.overlong && open.used + bytes <= kMaxMessageBytes) {
      std::vector<std::uint8_t>& payload = open.message.payload;
      if (open.used + bytes > payload.size()) {
        payload.resize(std::max<std::size_t>({payload.size() * 2, open.used + bytes, 1024}));
      }
      std::memcpy(payload.data() + open.used, values, bytes);
      open.used += bytes;
      return;
    }
  }
  for (std::size_t i = 0; i < count; ++i) append(open, values[i], 8);
}

void StreamDecoder::flush_stray() {
  if (!has_stray_) return;
  has_stray_ = false;
  Open stray = std::move(stray_);
  stray_ = Open{};
  stray.message.payload.resize(stray.used);
  emit(stray.message);
}

void StreamDecoder::on_packet(const Packet& packet) {
  // Anything but one more stray store on the same channel ends a run of them.
  if (has_stray_ && (packet.kind != PacketKind::Data || packet.is_timestamped_store ||
                     stray_.message.master != master_ || stray_.message.channel != channel_)) {
    flush_stray();
  }
  switch (packet.kind) {
    case PacketKind::Frequency:
      frequency_ = packet.value;
      return;
    case PacketKind::Master:
      master_ = static_cast<std::uint16_t>(packet.value);
      channel_ = 0;
      current_ = nullptr;
      return;
    case PacketKind::Channel:
      channel_ = static_cast<std::uint16_t>(packet.value);
      current_ = nullptr;
      return;
    case PacketKind::Data:
      break;
    case PacketKind::Flag: {
      if (current_ == nullptr) {
        auto found = open_.find(static_cast<std::uint32_t>(master_) << 16 | channel_);
        if (found == open_.end()) return;  // a flag without a message ends nothing
        current_ = &found->second;
      }
      complete(*current_, nullptr);
      open_.erase(static_cast<std::uint32_t>(master_) << 16 | channel_);
      current_ = nullptr;
      return;
    }
    default:
      return;
  }

  const std::uint32_t key = static_cast<std::uint32_t>(master_) << 16 | channel_;
  const unsigned bytes = packet.data_bits == 4 ? 1 : packet.data_bits / 8;
  if (packet.is_timestamped_store && packet.data_bits == 32) {
    // A new message header; whatever was open on this channel never got its flag.
    if (current_ == nullptr) {
      auto found = open_.find(key);
      if (found != open_.end()) current_ = &found->second;
    }
    if (current_ != nullptr) {
      complete(*current_, "message not ended by FLAG");
      open_.erase(key);
      current_ = nullptr;
    }
    if (open_.size() >= kMaxOpenChannels) {
      Message message;
      message.master = master_;
      message.channel = channel_;
      message.byte_offset = packet.byte_offset;
      message.header = static_cast<std::uint32_t>(packet.value);
      message.reason = "too many channels with open messages";
      emit(message);
      return;
    }
    Open& open = open_[key];
    open = Open{};
    open.message.master = master_;
    open.message.channel = channel_;
    open.message.byte_offset = packet.byte_offset;
    open.message.header = static_cast<std::uint32_t>(packet.value);
    open.message.ticks = packet.timestamp;
    open.message.has_seconds = frequency_ != 0;
    open.message.seconds = ticks_to_seconds(packet.timestamp);
    current_ = &open;
    return;
  }
  if (current_ == nullptr) {
    auto found = open_.find(key);
    if (found == open_.end()) {
      // Data outside any message: shown, not dropped.
      if (!has_stray_) {
        has_stray_ = true;
        stray_.message.master = master_;
        stray_.message.channel = channel_;
        stray_.message.byte_offset = packet.byte_offset;
        stray_.message.reason = "data store outside a message";
      }
      append(stray_, packet.value, bytes);
      return;
    }
    current_ = &found->second;
  }
  append(*current_, packet.value, bytes);
}

void StreamDecoder::on_skipped(std::uint64_t byte_offset, std::uint64_t nibbles, const char* reason) {
  flush_stray();
  const std::uint64_t bytes = (nibbles + 1) / 2;
  stats_.bytes_skipped += bytes;
  // Messages open across the gap lost their rest.
  for (auto& [key, open] : open_) complete(open, "message cut by skipped input");
  open_.clear();
  current_ = nullptr;
  sink_.on_skip(Skip{byte_offset, bytes, reason});
}

void StreamDecoder::on_record(std::uint8_t type, const std::uint8_t* payload, std::size_t size,
                              std::uint64_t byte_offset) {
  flush_stray();
  Message message;
  message.framed_record = true;
  message.byte_offset = byte_offset;
  message.payload.assign(payload, payload + size);
  switch (type) {
    case TRACE_RECORD_TYPE_ETW:
      message.header = syst_make_header(SYST_TYPE_RAW, SYST_SEVERITY_INFO, 0, SYST_SUBTYPE_RAW_ETW);
      break;
    case TRACE_RECORD_TYPE_DUX:
      message.header = syst_make_header(SYST_TYPE_RAW, SYST_SEVERITY_INFO, SYST_ORIGIN_MODULE32, SYST_SUBTYPE_RAW_DUX);
      break;
    case TRACE_RECORD_TYPE_VEX:
      message.header = syst_make_header(SYST_TYPE_RAW, SYST_SEVERITY_INFO, SYST_ORIGIN_MODULE32, SYST_SUBTYPE_RAW_VEX);
      break;
    case TRACE_RECORD_TYPE_DEBUG:
      message.header = syst_make_header(SYST_TYPE_STRING, SYST_SEVERITY_INFO, 0, SYST_SUBTYPE_STRING_GENERIC);
      break;
    default:
      message.reason = "record type " + std::to_string(type) + " is not written by any sink";
      emit(message);
      return;
  }
  decode(message);
  emit(message);
}

std::size_t StreamDecoder::abandon() {
  flush_stray();
  const std::size_t open = open_.size();
  open_.clear();
  current_ = nullptr;
  finish();
  return open;
}

void StreamDecoder::finish() {
  flush_stray();
  for (auto& [key, open] : open_) complete(open, "message not ended by FLAG at the end of the stream");
  open_.clear();
  current_ = nullptr;
  if (skipping_) {
    Loss loss;
    loss.what = "redirect skipped events (no resume notice before the end)";
    loss.has_range = frequency_ != 0;
    loss.from_seconds = skip_from_;
    loss.to_seconds = has_last_time_ ? last_time_ : skip_from_;
    skipping_ = false;
    ++stats_.loss_notices;
    sink_.on_loss(loss);
  }
}

void StreamDecoder::complete(Open& open, const char* incomplete_reason) {
  Message& message = open.message;
  message.payload.resize(open.used);
  if (incomplete_reason != nullptr) {
    message.reason = incomplete_reason;
  } else if (open.overlong) {
    message.reason = "message longer than 131072 bytes";
  } else {
    decode(message);
  }
  emit(message);
}

void count_message(Statistics& stats, const Message& message) {
  ++stats.messages;
  switch (message.cls) {
    case MessageClass::EtwEvent:
      ++stats.events;
      ++stats.per_type["etw"];
      break;
    case MessageClass::RawData:
      ++stats.raw_messages;
      ++stats.per_type["raw subtype " + std::to_string(syst_header_subtype(message.header))];
      break;
    case MessageClass::String:
      ++stats.strings;
      ++stats.per_type["string"];
      break;
    case MessageClass::Undecodable:
      ++stats.undecodable;
      ++stats.per_type["undecodable"];
      break;
  }
}

void StreamDecoder::emit(Message& message) {
  if (!message.reason.empty()) message.cls = MessageClass::Undecodable;
  count_message(stats_, message);
  if (message.has_seconds) {
    has_last_time_ = true;
    last_time_ = message.seconds;
  }
  sink_.on_message(message);

  if (message.cls != MessageClass::EtwEvent) return;
  const std::string& text = message.event.text;
  if (starts_with(text, kSkipNotice)) {
    if (!skipping_) {
      skipping_ = true;
      skip_from_ = message.seconds;
    }
  } else if (starts_with(text, kResumeNotice)) {
    Loss loss;
    loss.what = "redirect skipped events (memory cap)";
    loss.has_range = message.has_seconds;
    loss.from_seconds = skipping_ ? skip_from_ : message.seconds;
    loss.to_seconds = message.seconds;
    loss.byte_offset = message.byte_offset;
    skipping_ = false;
    ++stats_.loss_notices;
    sink_.on_loss(loss);
  }
}

void StreamDecoder::decode(Message& message) {
  const std::uint32_t header = message.header;
  // Optional fields between the header and the payload.
  std::size_t skip = 0;
  if ((header & kLocationPresent) != 0) {
    message.reason = "location record present (not supported)";
    return;
  }
  if ((header & kGuidPresent) != 0) skip += 16;
  if ((header & kLengthPresent) != 0) skip += 2;
  if ((header & kTimestampPresent) != 0) skip += 8;
  std::size_t tail = (header & kChecksumPresent) != 0 ? 4 : 0;
  if (message.payload.size() < skip + tail) {
    message.reason = "shorter than its optional header fields";
    return;
  }
  if ((header & kLengthPresent) != 0) {
    const std::size_t at = skip - 2 - ((header & kTimestampPresent) != 0 ? 8 : 0);
    const std::size_t declared = read_le<std::uint16_t>(&message.payload[at]);
    if (declared != message.payload.size() - skip - tail) {
      message.reason = "length field does not match the message";
      return;
    }
  }
  message.payload.erase(message.payload.end() - static_cast<std::ptrdiff_t>(tail), message.payload.end());
  message.payload.erase(message.payload.begin(), message.payload.begin() + static_cast<std::ptrdiff_t>(skip));

  const std::uint32_t type = syst_header_type(header);
  const std::uint32_t subtype = syst_header_subtype(header);
  if (type == SYST_TYPE_RAW) {
    if (subtype == SYST_SUBTYPE_RAW_ETW) {
      decode_etw(message);
    } else {
      message.cls = MessageClass::RawData;
    }
  } else if (type == SYST_TYPE_STRING) {
    message.cls = MessageClass::String;
    std::size_t length = message.payload.size();
    while (length > 0 && message.payload[length - 1] == 0) --length;
    message.text.assign(message.payload.begin(), message.payload.begin() + static_cast<std::ptrdiff_t>(length));
  } else {
    message.reason = "SyS-T message type " + std::to_string(type) + " is not decoded";
  }
}

void StreamDecoder::decode_etw(Message& message) {
  const std::vector<std::uint8_t>& p = message.payload;
  if (p.size() < ETW_PAYLOAD_MIN_SIZE) {
    message.reason = "ETW payload shorter than 99 bytes";
    return;
  }
  if (read_le<std::uint16_t>(&p[ETW_PAYLOAD_SIZE_OFFSET]) != p.size()) {
    message.reason = "ETW payload size field does not match the message";
    return;
  }
  if (read_le<std::uint16_t>(&p[ETW_PAYLOAD_MARKER_OFFSET]) != ETW_PAYLOAD_MARKER) {
    message.reason = "ETW payload marker is not 0xED01";
    return;
  }
  const std::size_t textLength = read_le<std::uint16_t>(&p[ETW_PAYLOAD_TEXT_LENGTH_OFFSET]);
  if (ETW_PAYLOAD_TEXT_OFFSET + textLength + 1 > p.size()) {
    message.reason = "ETW event text runs past the payload";
    return;
  }
  EtwEvent& e = message.event;
  const std::uint8_t* h = &p[ETW_PAYLOAD_EVENT_HEADER_OFFSET];
  std::memcpy(e.provider.data(), h + EVENT_HEADER_PROVIDER_ID_OFFSET, 16);
  e.id = read_le<std::uint16_t>(h + EVENT_HEADER_EVENT_ID_OFFSET);
  e.version = h[EVENT_HEADER_VERSION_OFFSET];
  e.channel = h[EVENT_HEADER_CHANNEL_OFFSET];
  e.level = h[EVENT_HEADER_LEVEL_OFFSET];
  e.opcode = h[EVENT_HEADER_OPCODE_OFFSET];
  e.task = read_le<std::uint16_t>(h + EVENT_HEADER_TASK_OFFSET);
  e.keywords = read_le<std::uint64_t>(h + EVENT_HEADER_KEYWORD_OFFSET);
  e.process_id = read_le<std::uint32_t>(h + EVENT_HEADER_PROCESS_ID_OFFSET);
  e.thread_id = read_le<std::uint32_t>(h + EVENT_HEADER_THREAD_ID_OFFSET);
  e.timestamp = read_le<std::uint64_t>(h + EVENT_HEADER_TIMESTAMP_OFFSET);
  e.processor = p[ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET];
  e.logger_id = read_le<std::uint16_t>(&p[ETW_PAYLOAD_BUFFER_CONTEXT_OFFSET + 2]);
  e.frequency = read_le<std::uint64_t>(&p[ETW_PAYLOAD_FREQUENCY_OFFSET]);
  e.text.assign(reinterpret_cast<const char*>(&p[ETW_PAYLOAD_TEXT_OFFSET]), textLength);
  message.cls = MessageClass::EtwEvent;

  if (e.provider == kRealTimeLostEvent && e.opcode >= 32 && e.opcode <= 34) {
    Loss loss;
    loss.what = e.opcode == 32 ? "ETW lost events" : e.opcode == 33 ? "ETW lost buffers" : "ETW lost log file";
    loss.has_range = message.has_seconds;
    loss.from_seconds = has_last_time_ ? last_time_ : message.seconds;
    loss.to_seconds = message.seconds;
    loss.byte_offset = message.byte_offset;
    ++stats_.loss_notices;
    sink_.on_loss(loss);
  }
}

}  // namespace stpdump
