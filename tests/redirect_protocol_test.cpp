// A redirect driven over the protocol: the fault for a session that does not exist, and a
// whole capture into each file sink, read back as a host engineer would.
#include <algorithm>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conduit_client.h"
#include "evntprov.h"
#include "sim/sim.h"
#include "stp_parser.h"
#include "stream_decoder.h"
#include "testing/hosted_conduit.h"
#include "testing/log_file.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::error_text;
using Bytes = std::vector<std::uint8_t>;

// The provider whose events travel raw: each record is the event's user data without its
// first two bytes.
constexpr char kRawGuid[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";
constexpr GUID kRawProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};
constexpr int kEvents = 300;

class RedirectProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    // Room for every event, so that the session itself loses none on a busy machine.
    sim::set_etw_session_buffer(1024, 64);
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(sim::target_root());
    m_service = std::make_unique<conduit::testing::HostedConduit>();
    ASSERT_TRUE(m_service->Start());
    m_client = std::make_unique<ConduitClient>("127.0.0.1", m_service->Port());
  }
  void TearDown() override {
    m_client.reset();
    m_service.reset();
    std::filesystem::current_path(m_previous);
  }

  // Start, enable the raw provider, redirect, write numbered events, wait until `delivered`
  // holds (a stop drops what the session has not delivered yet), stop.
  template <typename Delivered>
  void Capture(const std::string& session, Delivered delivered) {
    ASSERT_EQ(m_client->start_session(session).status, 0u);
    ASSERT_EQ(m_client->enable_providers_by_guid(session, {{kRawGuid, 5, 0, 0}}).status, 0u);
    ASSERT_EQ(m_client->redirect(session).status, 0u);
    REGHANDLE provider = 0;
    ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
    for (int i = 0; i < kEvents; ++i) {
      const std::string payload = "--event " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), '+');
      EVENT_DESCRIPTOR descriptor{};
      descriptor.Level = 4;
      EVENT_DATA_DESCRIPTOR item{};
      EventDataDescCreate(&item, payload.data(), static_cast<ULONG>(payload.size()));
      ASSERT_EQ(EventWrite(provider, &descriptor, 1, &item), 0u);
    }
    EventUnregister(provider);
    for (int i = 0; i < 1500 && !delivered(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(m_client->stop_session(session).status, 0u);
    m_client.reset();
    m_service.reset();
  }
  static std::string Expected(int i) {
    return "event " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), '+');
  }
  static Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path m_previous;
  std::unique_ptr<conduit::testing::HostedConduit> m_service;
  std::unique_ptr<ConduitClient> m_client;
};

TEST_F(RedirectProtocol, FaultsForAMissingSinkAndForASessionThatDoesNotExist) {
  auto answer = m_client->redirect("Nowhere");
  EXPECT_EQ(answer.status, 1u);
  EXPECT_EQ(error_text(answer.result), "Error:: Session name ,devicePtr cannot be NULL or empty. , Error code : 87");
  ASSERT_EQ(m_client->set_sync_type(1).status, 0u);
  ASSERT_EQ(m_client->start_session("Somewhere").status, 0u);
  answer = m_client->redirect("Nowhere");
  EXPECT_EQ(answer.status, 1u);
  EXPECT_EQ(error_text(answer.result), "Error:: Calling CEtwController::RedirectTrace failed. , Error code : 1359");
  EXPECT_EQ(m_client->stop_session("Somewhere").status, 0u);
}

TEST_F(RedirectProtocol, ThePlainFileHoldsWholeFramesInDeliveryOrder) {
  ASSERT_EQ(m_client->set_sync_type(1).status, 0u);
  std::size_t expected = 0;
  for (int i = 0; i < kEvents; ++i) expected += 10 + 3 + Expected(i).size();
  const auto path = sim::target_root() / "SESSION.bin";
  Capture("SESSION", [&] { return ReadFile(path).size() >= expected; });
  const Bytes file = ReadFile(path);
  std::size_t at = 0;
  int next = 0;
  while (at < file.size()) {
    ASSERT_GE(file.size() - at, 10u);
    ASSERT_EQ(file[at], 0xBF);
    ASSERT_EQ(file[at + 1], 0xAE);
    std::uint64_t length = 0;
    std::memcpy(&length, &file[at + 2], 8);
    ASSERT_LE(length, file.size() - at - 10);
    const std::uint8_t* record = &file[at + 10];
    EXPECT_EQ(record[0], 2);
    std::uint16_t payloadLength = 0;
    std::memcpy(&payloadLength, record + 1, 2);
    ASSERT_EQ(payloadLength + 3u, length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 3), payloadLength), Expected(next)) << next;
    ++next;
    at += 10 + length;
  }
  EXPECT_EQ(next, kEvents);
}

struct Collector : stpdump::ItemSink {
  std::vector<stpdump::Message> messages;
  int others = 0;
  void OnMessage(const stpdump::Message& m) override { messages.push_back(m); }
  void OnLoss(const stpdump::Loss&) override { ++others; }
  void OnSkip(const stpdump::Skip&) override { ++others; }
};

TEST_F(RedirectProtocol, TheStpFileDecodesToTheSameRecordsOnMaster256Channel32) {
  ASSERT_EQ(m_client->set_sync_type(3).status, 0u);
  const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
  std::vector<std::filesystem::path> files;
  Collector collector;
  const auto decode = [&] {
    files.clear();
    for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
    if (files.size() != 1) return false;
    const Bytes file = ReadFile(files.front());
    collector.messages.clear();
    collector.others = 0;
    stpdump::StreamDecoder decoder(collector);
    stpdump::StpParser parser(decoder);
    parser.Feed(file.data(), file.size());
    parser.Finish();
    decoder.Finish();
    return collector.messages.size() >= static_cast<std::size_t>(kEvents);
  };
  Capture("Stp Session", decode);
  // The sink's last bytes (a pending half byte among them) reach the file when the redirect
  // lets go of the sink, which may come a moment after the service has gone.
  const auto complete = [&] {
    if (!decode() || collector.others != 0) return false;
    return std::all_of(collector.messages.begin(), collector.messages.end(),
                       [](const stpdump::Message& m) { return m.cls == stpdump::MessageClass::RawData; });
  };
  for (int i = 0; i < 500 && !complete(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(collector.others, 0);
  ASSERT_EQ(collector.messages.size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) {
    const auto& message = collector.messages[static_cast<std::size_t>(i)];
    EXPECT_EQ(message.master, 256);
    EXPECT_EQ(message.channel, 32);
    ASSERT_EQ(message.cls, stpdump::MessageClass::RawData) << message.reason;
    EXPECT_EQ(std::string(message.payload.begin(), message.payload.end()), Expected(i)) << i;
  }
}

}  // namespace
