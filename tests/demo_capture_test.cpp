// conduit-target's demo providers captured end to end: the machine has the demo providers
// installed as conduit-target installs them, a host client enables every one of them in a
// session, redirects it and the providers write exact rounds of events; the STP file and the
// plain file are then read back as a host engineer would read them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conduit_client.h"
#include "demo_events.h"
#include "demo_providers.h"
#include "sim/providers.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "hosted_target.h"
#include "testing/stp_capture.h"
#include "testing/trace_record_builder.h"
#include "tessera/model.h"
#include "txr_boot.h"
#include "txr_public.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::ProviderSetting;
using conduit::target::DemoEvents;

constexpr unsigned kRounds = 36;
constexpr std::size_t kEvents = kRounds * DemoEvents::kProviders;
constexpr unsigned kDux = 4, kVex = 5;

// The text a host reads from one record: the decoded text of an ETW record, the data of a
// raw one.
struct Delivered {
  std::uint8_t type = 0;
  std::string text;
};

bool IsProvider(const std::uint8_t* guidBytes, unsigned provider) {
  return std::memcmp(guidBytes, &DemoEvents::kProviderTable[provider].guid, sizeof(GUID)) == 0;
}

// A reader of the hardware capture written here from the packet definitions alone (nibbles
// low half first, values least significant nibble first; ASYNC, VERSION, FREQ, M16, C16,
// D32TS with its time stamp, D8 to D64, FLAG), independent of stpdump's decoder: whole
// messages per master and channel, header word and payload bytes.
struct ReadMessage {
  unsigned master = 0, channel = 0;
  std::uint32_t header = 0;
  std::vector<std::uint8_t> payload;
};

std::optional<std::vector<ReadMessage>> ReadCaptureByHand(const std::vector<std::uint8_t>& bytes) {
  std::size_t at = 0;
  const std::size_t nibbles = bytes.size() * 2;
  const auto nibble = [&]() -> std::optional<unsigned> {
    if (at >= nibbles) return std::nullopt;
    const unsigned value = (bytes[at / 2] >> ((at % 2) * 4)) & 0xF;
    ++at;
    return value;
  };
  const auto value = [&](unsigned count) -> std::optional<std::uint64_t> {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < count; ++i) {
      const auto n = nibble();
      if (!n) return std::nullopt;
      v |= std::uint64_t{*n} << (4 * i);
    }
    return v;
  };
  std::vector<ReadMessage> messages;
  std::map<std::pair<unsigned, unsigned>, ReadMessage> open;
  unsigned master = 0, channel = 0;
  const auto append = [&](std::uint64_t v, unsigned bytesOf) {
    auto& message = open[{master, channel}];
    for (unsigned i = 0; i < bytesOf; ++i) message.payload.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  while (at < nibbles) {
    const auto first = nibble();
    if (*first == 0) continue;  // NULL (also the closing pad)
    if (*first >= 4 && *first <= 7) {
      const unsigned width = 1u << (*first - 4);  // 1, 2, 4, 8 bytes
      const auto v = value(width * 2);
      if (!v) return std::nullopt;
      append(*v, width);
      continue;
    }
    if (*first != 0xF) return std::nullopt;
    const auto second = nibble();
    if (!second) return std::nullopt;
    switch (*second) {
      case 0xF: {  // ASYNC: F's up to a 0
        std::optional<unsigned> n;
        while ((n = nibble()) && *n == 0xF) {
        }
        if (!n || *n != 0) return std::nullopt;
        break;
      }
      case 0x0: {
        const auto op = nibble();
        if (op == 0u) {
          if (!value(1)) return std::nullopt;  // VERSION
        } else if (op == 8u) {
          if (!value(16)) return std::nullopt;  // FREQ
        } else {
          return std::nullopt;
        }
        break;
      }
      case 0x1: {
        const auto m = value(4);
        if (!m) return std::nullopt;
        master = static_cast<unsigned>(*m);
        break;
      }
      case 0x3: {
        const auto c = value(4);
        if (!c) return std::nullopt;
        channel = static_cast<unsigned>(*c);
        break;
      }
      case 0x6: {  // D32TS: a message's header, then its time stamp
        const auto header = value(8);
        const auto length = nibble();
        if (!header || !length || !value(*length == 0xE ? 16 : *length)) return std::nullopt;
        ReadMessage& message = open[{master, channel}];
        message = ReadMessage{master, channel, static_cast<std::uint32_t>(*header), {}};
        break;
      }
      case 0xE: {  // FLAG ends the message
        const auto found = open.find({master, channel});
        if (found == open.end()) return std::nullopt;
        messages.push_back(std::move(found->second));
        open.erase(found);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return messages;
}

class DemoCapture : public conduit::testing::HostedTarget {
 protected:
  void SetUp() override {
    HostedTarget::SetUp();
    if (HasFatalFailure()) return;
    m_client = std::make_unique<ConduitClient>("127.0.0.1", m_service->Port());
    m_events = std::make_unique<DemoEvents>();
  }
  void TearDown() override {
    m_events.reset();
    m_client.reset();
    HostedTarget::TearDown();
  }

  // Every level. The providers the service lists are enabled by name; the others (WPP,
  // TraceLogging and the two raw providers are not registered ones) by GUID.
  void EnableEveryProvider(const std::string& session) {
    const auto listed = m_client->all_providers();
    ASSERT_EQ(listed.status, 0u);
    std::vector<ProviderSetting> byName;
    for (const std::string& name : conduit::host::decode_text_list(listed.result)) byName.push_back({name, 255, 0, 0});
    std::vector<ProviderSetting> byGuid;
    for (const DemoEvents::Provider& provider : DemoEvents::kProviderTable) {
      const bool isListed = std::any_of(byName.begin(), byName.end(), [&](const auto& s) { return s.name == provider.name; });
      if (!isListed) byGuid.push_back({provider.guidText, 255, 0, 0});
    }
    ASSERT_EQ(byGuid.size(), 4u);  // WPP, TraceLogging, DUX, VEX
    ASSERT_EQ(m_client->enable_providers(session, byName).status, 0u);
    ASSERT_EQ(m_client->enable_providers_by_guid(session, byGuid).status, 0u);
  }

  // Starts the session with the chosen sink, redirects it, writes (rounds 0..kRounds-1 unless
  // told otherwise), waits until `delivered` holds (a stop drops what the session has not
  // delivered yet), calls `stopWriting` and stops the session.
  template <typename Delivered>
  void CaptureRounds(unsigned sinkType, const std::string& session, Delivered delivered,
                     const std::function<void()>& write = {}, const std::function<void()>& stopWriting = {}) {
    ASSERT_EQ(m_client->set_sync_type(sinkType).status, 0u);
    ASSERT_EQ(m_client->start_session(session).status, 0u);
    EnableEveryProvider(session);
    ASSERT_EQ(m_client->redirect(session).status, 0u);
    if (write) {
      write();
    } else {
      for (unsigned n = 0; n < kRounds; ++n) ASSERT_EQ(m_events->WriteRound(n), DemoEvents::kProviders);
    }
    sim::wait_for(delivered);
    if (stopWriting) stopWriting();
    ASSERT_EQ(m_client->stop_session(session).status, 0u);
  }

  // The STP capture, once the file holds every event and the sink has let go of it (its
  // last half byte is written then).
  stp_testing::DecodedCapture CaptureStp() {
    const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
    std::optional<stp_testing::DecodedCapture> capture;
    const auto delivered = [&] {
      capture = stp_testing::decode_only_capture_in(folder);
      return capture && capture->messages.size() >= kEvents;
    };
    CaptureRounds(3, "Demo Stp", delivered);
    // Until then the file may end inside a packet.
    const auto complete = [&] { return delivered() && capture->skips.empty(); };
    sim::wait_for(complete, std::chrono::seconds(10));
    return capture.value_or(stp_testing::DecodedCapture());
  }

  // What SESSION.bin holds once it has every event; nothing when it is not whole frames.
  std::optional<std::vector<syst_testing::ReadRecord>> CapturePlain(const std::function<void()>& write = {},
                                                                     const std::function<void()>& stopWriting = {}) {
    const auto path = sim::target_root() / "SESSION.bin";
    std::optional<std::vector<syst_testing::ReadRecord>> records;
    const auto delivered = [&] {
      records = syst_testing::SplitFrames(stp_testing::read_whole_file(path));
      return records && records->size() >= kEvents;
    };
    CaptureRounds(1, "SESSION", delivered, write, stopWriting);
    return records;
  }

  static std::vector<Delivered> TextsOf(const stp_testing::DecodedCapture& capture) {
    std::vector<Delivered> texts;
    for (const stpdump::Message& message : capture.messages) {
      if (message.cls == stpdump::MessageClass::EtwEvent) {
        texts.push_back({TRACE_RECORD_TYPE_ETW, message.event.text});
      } else {
        const bool isDux = syst_header_subtype(message.header) == SYST_SUBTYPE_RAW_DUX;
        texts.push_back({isDux ? TRACE_RECORD_TYPE_DUX : TRACE_RECORD_TYPE_VEX,
                         std::string(message.payload.begin(), message.payload.end())});
      }
    }
    return texts;
  }

  static std::vector<Delivered> TextsOf(const std::vector<syst_testing::ReadRecord>& records) {
    std::vector<Delivered> texts;
    for (const auto& record : records) {
      if (record.type == TRACE_RECORD_TYPE_ETW && record.payload.size() >= ETW_PAYLOAD_MIN_SIZE) {
        const std::size_t length = syst_testing::GetLe<std::uint16_t>(&record.payload[ETW_PAYLOAD_TEXT_LENGTH_OFFSET]);
        const auto* text = reinterpret_cast<const char*>(&record.payload[ETW_PAYLOAD_TEXT_OFFSET]);
        texts.push_back({record.type, std::string(text, std::min(length, record.payload.size() - ETW_PAYLOAD_MIN_SIZE))});
      } else {
        texts.push_back({record.type, std::string(record.payload.begin(), record.payload.end())});
      }
    }
    return texts;
  }

  // The MOF text carries the event's time stamp, which differs from one capture to the next.
  static std::vector<Delivered> WithoutMofTimes(std::vector<Delivered> texts) {
    static const std::regex time(R"(\d\d/\d\d/\d+ \d\d:\d\d:\d\d\.\d+, )");
    for (Delivered& delivered : texts) delivered.text = std::regex_replace(delivered.text, time, "TIME, ");
    return texts;
  }

  std::unique_ptr<ConduitClient> m_client;
  std::unique_ptr<DemoEvents> m_events;
};

TEST_F(DemoCapture, TheStpFileCarriesEveryProvidersEventsInWriteOrder) {
  const stp_testing::DecodedCapture capture = CaptureStp();
  EXPECT_TRUE(capture.losses.empty());
  EXPECT_TRUE(capture.skips.empty());
  EXPECT_EQ(capture.frequency, 10000000u);
  ASSERT_EQ(capture.messages.size(), kEvents);
  for (std::size_t i = 0; i < kEvents; ++i) {
    const stpdump::Message& message = capture.messages[i];
    const unsigned provider = static_cast<unsigned>(i % DemoEvents::kProviders);
    const std::string round = std::to_string(i / DemoEvents::kProviders);
    SCOPED_TRACE("event " + std::to_string(i));
    EXPECT_EQ(message.master, 256);
    EXPECT_EQ(message.channel, 32);
    if (provider == kDux || provider == kVex) {
      ASSERT_EQ(message.cls, stpdump::MessageClass::RawData) << message.reason;
      const std::string data(message.payload.begin(), message.payload.end());
      EXPECT_EQ(data.rfind(provider == kDux ? "dux round " + round + ":" : "vex round " + round + ":", 0), 0u) << data;
      continue;
    }
    ASSERT_EQ(message.cls, stpdump::MessageClass::EtwEvent) << message.reason;
    const stpdump::EtwEvent& event = message.event;
    EXPECT_TRUE(IsProvider(event.provider.data(), provider));
    EXPECT_FALSE(event.text.empty());
    EXPECT_EQ(event.frequency, capture.frequency);
    ASSERT_EQ(message.payload.size(), ETW_PAYLOAD_MIN_SIZE + event.text.size());
    EXPECT_EQ(syst_testing::GetLe<std::uint16_t>(&message.payload[ETW_PAYLOAD_SIZE_OFFSET]), message.payload.size());
    EXPECT_EQ(syst_testing::GetLe<std::uint16_t>(&message.payload[ETW_PAYLOAD_MARKER_OFFSET]), ETW_PAYLOAD_MARKER);
    EXPECT_EQ(syst_testing::GetLe<std::uint64_t>(&message.payload[ETW_PAYLOAD_FREQUENCY_OFFSET]), capture.frequency);
  }

  // What a host reads: each manifest event in turn (round 6 for a file time with a
  // fraction), both MOF event types, both WPP messages, the TraceLogging answer, the raw data.
  const std::vector<Delivered> texts = WithoutMofTimes(TextsOf(capture));
  const auto text = [&](unsigned n, unsigned provider) { return texts[n * DemoEvents::kProviders + provider].text; };
  EXPECT_EQ(text(6, 0), "Conduit-Demo-Events-->Session demo-6 (id 6) started with flags 0xA0000006, activity "
                        "{C0DE0006-4D45-4D4F-8000-000000000006}, real time false, at 2026-01-01T00:06:06.0007404Z.");
  EXPECT_EQ(text(1, 0), "Conduit-Demo-Events-->Session 1 stopped after 1017 events, 1 lost.");
  EXPECT_EQ(text(2, 0), "Conduit-Demo-Events-->Session state changed from Stopped to Idle (options Compressed | Encrypted).");
  EXPECT_EQ(text(3, 0), "Conduit-Demo-Events-->Transferred 16384 bytes with host3.demo:8003 in 10 ms, checksum "
                        "0xFEEDFACE00000003, status 0x80070005, 4 samples (30, 40, 50, 60), header 0xDEAD0301, "
                        "completed at 2026-04-04T03:21:39.111Z.");
  EXPECT_EQ(text(4, 0), "Conduit-Demo-Events-->Transfer failed with 0x5 on attempt -1 (ratio 1.000000): retry 4");
  EXPECT_EQ(text(5, 0), "Conduit-Demo-Events-->Conduit demo heartbeat.");
  EXPECT_EQ(text(0, 1), "Event GUID: {CEEDAB19-C4D2-4422-95C8-C1A4E964CFEC}, Event version: 0, Event type: 1, TIME, "
                        "job-0, 0, Copy, 0x10, ");
  EXPECT_EQ(text(1, 1), "Event GUID: {CEEDAB19-C4D2-4422-95C8-C1A4E964CFEC}, Event version: 0, Event type: 2, TIME, "
                        "1, true, 250, ");
  EXPECT_EQ(text(0, 2), "[wpp] round 0: request queued at depth 0");
  EXPECT_EQ(text(1, 2), "[wpp] round 1: verbose detail 11");
  EXPECT_EQ(text(0, 3), ">>>>>>ERROR [DecodingSourceTlg] is not supported with TXR Driver");
  EXPECT_EQ(text(1, 4), "dux round 1: frame 3 presented");
  EXPECT_EQ(text(1, 5), "vex round 1: counter 1");
}

TEST_F(DemoCapture, ThePlainFileHoldsWholeFramesWithTheTextsOfTheStpCapture) {
  const std::vector<Delivered> fromStp = WithoutMofTimes(TextsOf(CaptureStp()));
  ASSERT_EQ(fromStp.size(), kEvents);
  const auto records = CapturePlain();
  ASSERT_TRUE(records.has_value()) << "SESSION.bin is not whole frames";
  ASSERT_EQ(records->size(), kEvents);
  const std::vector<Delivered> fromPlain = WithoutMofTimes(TextsOf(*records));
  for (std::size_t i = 0; i < kEvents; ++i) {
    EXPECT_EQ(fromPlain[i].type, fromStp[i].type) << i;
    EXPECT_EQ(fromPlain[i].text, fromStp[i].text) << i;
  }
}

// A tdh.dll without TdhFormatProperty: the decoder's own formatter renders every property.
TEST_F(DemoCapture, WithoutTdhFormatPropertyTheDecoderFormatsEveryEventItself) {
  sim::remove_tdh_export("TdhFormatProperty");
  const stp_testing::DecodedCapture capture = CaptureStp();
  ASSERT_EQ(capture.messages.size(), kEvents);
  const std::vector<Delivered> texts = WithoutMofTimes(TextsOf(capture));
  for (std::size_t i = 0; i < kEvents; ++i) EXPECT_FALSE(texts[i].text.empty()) << i;
  const auto text = [&](unsigned n, unsigned provider) { return texts[n * DemoEvents::kProviders + provider].text; };
  EXPECT_EQ(text(6, 0), "Conduit-Demo-Events-->Session demo-6 (id 6) started with flags 0xA0000006, activity "
                        "{c0de0006-4d45-4d4f-8000-000000000006}, real time false, at 2026-01-01T00:06:06.000740400Z.");
  EXPECT_EQ(text(4, 0), "Conduit-Demo-Events-->Transfer failed with 5 on attempt -1 (ratio 1.000000): retry 4");
  EXPECT_EQ(text(9, 0), "Conduit-Demo-Events-->Transferred 40960 bytes with host9.demo:18719 in 28 ms, checksum "
                        "0xFEEDFACE00000009, status 0x80070005, 2 samples (90, 100), header DEAD0901, completed at "
                        "2026-10-10T09:03:57.333Z.");
}

TEST_F(DemoCapture, AtARateTheWritersGoRoundAfterRoundFromRoundZero) {
  const auto records = CapturePlain([&] { m_events->Start(20000); }, [&] { m_events->Stop(); });
  ASSERT_TRUE(records.has_value()) << "SESSION.bin is not whole frames";
  ASSERT_GE(records->size(), kEvents);
  const std::vector<Delivered> texts = TextsOf(*records);
  for (std::size_t i = 0; i < kEvents; ++i) {
    SCOPED_TRACE("event " + std::to_string(i));
    const unsigned provider = static_cast<unsigned>(i % DemoEvents::kProviders);
    const std::string round = std::to_string(i / DemoEvents::kProviders);
    const syst_testing::ReadRecord& record = (*records)[i];
    if (provider == kDux || provider == kVex) {
      EXPECT_EQ(record.type, provider == kDux ? TRACE_RECORD_TYPE_DUX : TRACE_RECORD_TYPE_VEX);
      EXPECT_EQ(texts[i].text.rfind(provider == kDux ? "dux round " + round + ":" : "vex round " + round + ":", 0), 0u);
      continue;
    }
    ASSERT_EQ(record.type, TRACE_RECORD_TYPE_ETW);
    EXPECT_TRUE(IsProvider(&record.payload[ETW_PAYLOAD_EVENT_HEADER_OFFSET + EVENT_HEADER_PROVIDER_ID_OFFSET], provider));
    if (provider == 2) {
      EXPECT_EQ(texts[i].text.rfind("[wpp] round " + round + ":", 0), 0u) << texts[i].text;
    }
  }
}

// The main job: the same rounds through the STP file sink and through TXR and the Tessera
// decode to the same headers, payloads and texts; the capture lies on the ETW master's
// channel 32, read by stpdump and by a reader written here from the packet definitions.
TEST_F(DemoCapture, TheHardwareCaptureCarriesWhatTheStpFileCarries) {
  const stp_testing::DecodedCapture fromFile = CaptureStp();
  ASSERT_EQ(fromFile.messages.size(), kEvents);

  std::ostringstream console;
  ASSERT_EQ(conduit::target::load_txr(false, console), "");
  const auto folder = sim::target_root() / "Tessera";
  std::optional<stp_testing::DecodedCapture> fromHardware;
  CaptureRounds(2, "Demo Hardware", [&] {
    tessera::model().flush_capture();
    fromHardware = stp_testing::decode_only_capture_in(folder);
    return fromHardware && fromHardware->messages.size() >= kEvents;
  });
  m_client.reset();
  m_service.reset();  // the sink lets go of TXR
  EXPECT_TRUE(conduit::target::unload_txr(console)) << console.str();
  const auto files = std::vector<std::filesystem::path>(std::filesystem::directory_iterator(folder), {});
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = stp_testing::read_whole_file(files[0]);
  const stp_testing::DecodedCapture hardware = stp_testing::decode_stp(bytes);
  EXPECT_TRUE(hardware.skips.empty());
  EXPECT_TRUE(hardware.losses.empty());
  ASSERT_EQ(hardware.messages.size(), kEvents);

  const std::vector<Delivered> fileTexts = WithoutMofTimes(TextsOf(fromFile));
  const std::vector<Delivered> hardwareTexts = WithoutMofTimes(TextsOf(hardware));
  for (std::size_t i = 0; i < kEvents; ++i) {
    SCOPED_TRACE("event " + std::to_string(i));
    const stpdump::Message& fileMessage = fromFile.messages[i];
    const stpdump::Message& hardwareMessage = hardware.messages[i];
    EXPECT_EQ(fileMessage.master, 256);
    EXPECT_EQ(fileMessage.channel, 32);
    EXPECT_EQ(hardwareMessage.master, 256);  // ETWMasterBase
    EXPECT_EQ(hardwareMessage.channel, 32);
    EXPECT_EQ(hardwareMessage.header, fileMessage.header);
    EXPECT_EQ(hardwareTexts[i].type, fileTexts[i].type);
    EXPECT_EQ(hardwareTexts[i].text, fileTexts[i].text);
    if (hardwareMessage.cls == stpdump::MessageClass::RawData) {
      EXPECT_EQ(hardwareMessage.payload, fileMessage.payload);
    }
  }

  const auto byHand = ReadCaptureByHand(bytes);
  ASSERT_TRUE(byHand.has_value()) << "the capture breaks the packet definitions";
  ASSERT_EQ(byHand->size(), kEvents);
  for (std::size_t i = 0; i < kEvents; ++i) {
    EXPECT_EQ((*byHand)[i].master, 256u) << i;
    EXPECT_EQ((*byHand)[i].channel, 32u) << i;
    EXPECT_EQ((*byHand)[i].header, hardware.messages[i].header) << i;
    EXPECT_EQ((*byHand)[i].payload, hardware.messages[i].payload) << i;
  }
}

}  // namespace
