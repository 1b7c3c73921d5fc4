// TxrEvents: a real-time ETW session on the virtual target that enables TXR's provider
// ("Orvix-Tessera") and keeps every event it delivers, so that tests read the driver's log
// lines as a session on the target would. Start it before the driver does what the test
// looks at; `events()` waits until everything written so far was delivered.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "etw/runtime.h"

namespace txr_testing {

inline constexpr etw::Guid kTxrProvider{0xC9CB79C1, 0x31AD, 0x4193, {0xBD, 0x19, 0x4D, 0x2A, 0x90, 0x18, 0x90, 0x4C}};

struct TxrEvent {
  std::uint16_t id = 0;
  std::uint8_t level = 0;
  std::uint64_t keyword = 0;
  std::vector<std::uint8_t> data;

  // The first field when it is a UTF-16 text (Message, FunctionName), as ASCII.
  std::string text() const {
    std::string out;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
      const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
      if (unit == 0) break;
      out += static_cast<char>(unit);
    }
    return out;
  }
  // The 32-bit field after the first text (Status of events 102 and 104).
  std::uint32_t status_after_text() const {
    std::size_t i = 0;
    while (i + 1 < data.size() && (data[i] | data[i + 1]) != 0) i += 2;
    i += 2;
    std::uint32_t value = 0;
    for (int b = 0; b < 4 && i + b < data.size(); ++b) value |= std::uint32_t{data[i + b]} << (8 * b);
    return value;
  }
};

class TxrEvents {
 public:
  explicit TxrEvents(std::uint8_t level = 5, std::uint64_t match_any = ~0ull, std::uint64_t match_all = 0) {
    etw::Runtime& runtime = etw::runtime();
    const etw::SessionResult started = runtime.start_session(u"TxrTestSession");
    session_ = started.info.handle;
    etw::EnableSettings settings;
    settings.level = level;
    settings.match_any = match_any;
    settings.match_all = match_all;
    runtime.enable_provider(session_, kTxrProvider, settings);
    consumer_ = runtime.open_consumer(u"TxrTestSession").handle;
    thread_ = std::thread([this] {
      etw::runtime().process(consumer_, [this](const etw::EventView& event) {
        if (!(event.provider_id == kTxrProvider)) return;
        TxrEvent kept;
        kept.id = event.descriptor.id;
        kept.level = event.descriptor.level;
        kept.keyword = event.descriptor.keyword;
        const auto* bytes = static_cast<const std::uint8_t*>(event.user_data);
        kept.data.assign(bytes, bytes + event.user_data_length);
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(kept));
      });
    });
  }
  ~TxrEvents() { stop(); }
  TxrEvents(const TxrEvents&) = delete;
  TxrEvents& operator=(const TxrEvents&) = delete;

  // Stops the session: every event written before is delivered.
  void stop() {
    if (!thread_.joinable()) return;
    etw::runtime().stop_session(session_);
    thread_.join();
  }

  std::vector<TxrEvent> events() {
    stop();
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::vector<std::string> texts_of(std::uint16_t id) {
    std::vector<std::string> out;
    for (const TxrEvent& event : events()) {
      if (event.id == id) out.push_back(event.text());
    }
    return out;
  }

 private:
  etw::SessionHandle session_ = 0;
  etw::ConsumerHandle consumer_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<TxrEvent> events_;
};

}  // namespace txr_testing
