// A redirect driven over the protocol: the fault for a session that does not exist, and a
// whole capture into each file sink, read back as a host engineer would.
#include <algorithm>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conduit_client.h"
#include "evntprov.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "hosted_target.h"
#include "tessera/model.h"
#include "txr_boot.h"
#include "testing/stp_capture.h"
#include "testing/trace_record_builder.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::error_text;
using stp_testing::read_whole_file;

// The provider whose events travel raw: each record is the event's user data without its
// first two bytes.
constexpr char kRawGuid[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";
constexpr GUID kRawProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};
constexpr int kEvents = 300;

class RedirectProtocol : public conduit::testing::HostedTarget {
 protected:
  void SetUp() override {
    HostedTarget::SetUp();
    if (HasFatalFailure()) return;
    m_client = std::make_unique<ConduitClient>("127.0.0.1", m_service->Port());
  }
  void TearDown() override {
    m_client.reset();
    HostedTarget::TearDown();
  }

  // Start, enable the raw provider, redirect, write numbered events, wait until `delivered`
  // holds (a stop drops what the session has not delivered yet), stop.
  template <typename Delivered>
  void Capture(const std::string& session, Delivered delivered) {
    ASSERT_EQ(m_client->start_session(session).status, 0u);
    ASSERT_EQ(m_client->enable_providers_by_guid(session, {{kRawGuid, 5, 0, 0}}).status, 0u);
    ASSERT_EQ(m_client->redirect(session).status, 0u);
    WriteRawEvents(kEvents);
    sim::wait_for(delivered);
    ASSERT_EQ(m_client->stop_session(session).status, 0u);
    m_client.reset();
    m_service.reset();
  }
  // Events of the raw provider, numbered from 0.
  static void WriteRawEvents(int count) {
    REGHANDLE provider = 0;
    ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
    for (int i = 0; i < count; ++i) {
      const std::string payload = "--event " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), '+');
      EVENT_DESCRIPTOR descriptor{};
      descriptor.Level = 4;
      EVENT_DATA_DESCRIPTOR item{};
      EventDataDescCreate(&item, payload.data(), static_cast<ULONG>(payload.size()));
      ASSERT_EQ(EventWrite(provider, &descriptor, 1, &item), 0u);
    }
    EventUnregister(provider);
  }
  // An STP capture into ETW-Traces, redirected and fed until the file holds every event.
  void StartStpCapture(const std::string& session) {
    ASSERT_EQ(m_client->set_sync_type(3).status, 0u);
    ASSERT_EQ(m_client->start_session(session).status, 0u);
    ASSERT_EQ(m_client->enable_providers_by_guid(session, {{kRawGuid, 5, 0, 0}}).status, 0u);
    ASSERT_EQ(m_client->redirect(session).status, 0u);
    WriteRawEvents(kEvents);
    const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
    sim::wait_for([&] {
      const auto capture = stp_testing::decode_only_capture_in(folder);
      return capture && capture->messages.size() + 1 >= static_cast<std::size_t>(kEvents);
    });
  }
  // The capture is whole the moment its redirect ended: every event, each message complete,
  // nothing skipped (a file left open ends inside a message or a packet).
  static void ExpectWholeCapture(const std::filesystem::path& file) {
    const stp_testing::DecodedCapture capture = stp_testing::decode_stp(read_whole_file(file));
    EXPECT_TRUE(capture.skips.empty()) << "the capture ends inside a packet";
    ASSERT_EQ(capture.messages.size(), static_cast<std::size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i) {
      const auto& message = capture.messages[static_cast<std::size_t>(i)];
      ASSERT_EQ(message.cls, stpdump::MessageClass::RawData) << i << ": " << message.reason;
      EXPECT_EQ(std::string(message.payload.begin(), message.payload.end()), Expected(i)) << i;
    }
  }
  static std::filesystem::path OnlyStpFile() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(sim::target_root() / "ProgramData" / "ETW-Traces")) {
      files.push_back(entry.path());
    }
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::filesystem::path() : files.front();
  }
  static std::string Expected(int i) {
    return "event " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), '+');
  }

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
  Capture("SESSION", [&] { return read_whole_file(path).size() >= expected; });
  const auto records = syst_testing::SplitFrames(read_whole_file(path));
  ASSERT_TRUE(records.has_value());
  ASSERT_EQ(records->size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) {
    const auto& record = (*records)[static_cast<std::size_t>(i)];
    EXPECT_EQ(record.type, 2);
    EXPECT_EQ(std::string(record.payload.begin(), record.payload.end()), Expected(i)) << i;
  }
}

TEST_F(RedirectProtocol, TheStpFileDecodesToTheSameRecordsOnMaster256Channel32) {
  ASSERT_EQ(m_client->set_sync_type(3).status, 0u);
  const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
  std::optional<stp_testing::DecodedCapture> capture;
  const auto decode = [&] {
    capture = stp_testing::decode_only_capture_in(folder);
    return capture && capture->messages.size() >= static_cast<std::size_t>(kEvents);
  };
  Capture("Stp Session", decode);
  // The sink's last bytes (a pending half byte among them) reach the file when the redirect
  // lets go of the sink, which may come a moment after the service has gone.
  const auto complete = [&] {
    if (!decode() || !capture->losses.empty() || !capture->skips.empty()) return false;
    return std::all_of(capture->messages.begin(), capture->messages.end(),
                       [](const stpdump::Message& m) { return m.cls == stpdump::MessageClass::RawData; });
  };
  sim::wait_for(complete, std::chrono::seconds(10));
  ASSERT_TRUE(capture.has_value());
  EXPECT_TRUE(capture->losses.empty());
  EXPECT_TRUE(capture->skips.empty());
  ASSERT_EQ(capture->messages.size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) {
    const auto& message = capture->messages[static_cast<std::size_t>(i)];
    EXPECT_EQ(message.master, 256);
    EXPECT_EQ(message.channel, 32);
    ASSERT_EQ(message.cls, stpdump::MessageClass::RawData) << message.reason;
    EXPECT_EQ(std::string(message.payload.begin(), message.payload.end()), Expected(i)) << i;
  }
}

// The product's main job: the service hands each buffer to TXR with a write, TXR stores each
// record into the ETW channel, and the host reads the block's trace port.
TEST_F(RedirectProtocol, TheHardwareCaptureDecodesToTheSameRecordsOnTheEtwMastersChannel32) {
  std::ostringstream boot;
  ASSERT_EQ(conduit::target::load_txr(false, boot), "");
  ASSERT_EQ(m_client->set_sync_type(2).status, 0u);
  std::optional<stp_testing::DecodedCapture> capture;
  const auto decode = [&] {
    tessera::model().flush_capture();
    capture = stp_testing::decode_only_capture_in(sim::target_root() / "Tessera");
    return capture && capture->messages.size() >= static_cast<std::size_t>(kEvents);
  };
  Capture("Hardware Session", decode);
  std::ostringstream unload;
  EXPECT_TRUE(conduit::target::unload_txr(unload)) << unload.str();
  capture = stp_testing::decode_only_capture_in(sim::target_root() / "Tessera");
  ASSERT_TRUE(capture.has_value());
  EXPECT_TRUE(capture->losses.empty());
  EXPECT_TRUE(capture->skips.empty());
  ASSERT_EQ(capture->messages.size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) {
    const auto& message = capture->messages[static_cast<std::size_t>(i)];
    EXPECT_EQ(message.master, 256);
    EXPECT_EQ(message.channel, 32);
    ASSERT_EQ(message.cls, stpdump::MessageClass::RawData) << message.reason;
    EXPECT_EQ(message.header, 0x0B200046u);
    EXPECT_EQ(std::string(message.payload.begin(), message.payload.end()), Expected(i)) << i;
  }
}

TEST_F(RedirectProtocol, AStartOfAnotherSessionLeavesTheRunningCaptureWholeAndSaysSo) {
  StartStpCapture("Session A");
  const std::filesystem::path first = OnlyStpFile();
  // Another client's start: one session at a time, so A's redirect ends, and its file is
  // whole as soon as the start has answered.
  ConduitClient other("127.0.0.1", m_service->Port());
  ASSERT_EQ(other.start_session("Session B").status, 0u);
  ExpectWholeCapture(first);
  EXPECT_NE(Log().find("WARNING # CEtwController::StartSession # Session (Session B) takes over from session "
                       "(Session A): the redirect of (Session A) ends."),
            std::string::npos);
  // A's client finds that its session is no longer the service's.
  EXPECT_EQ(error_text(m_client->stop_session("Session A").result), "Error:: Session not started , Error code : 87");
  EXPECT_EQ(other.stop_session("Session B").status, 0u);
}

TEST_F(RedirectProtocol, AServiceStopDuringARedirectLeavesAWholeCapture) {
  StartStpCapture("Stopped With The Service");
  const std::filesystem::path file = OnlyStpFile();
  m_client.reset();
  EXPECT_EQ(m_service->Stop(), 0);
  ExpectWholeCapture(file);
}

}  // namespace
