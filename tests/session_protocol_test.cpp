// The session requests over the protocol, as a client written from docs/protocol.md sees
// them: the answers for the cases that go wrong, and many clients at once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conduit_client.h"
#include "etw_session_query.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "testing/hosted_conduit.h"
#include "testing/log_file.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::Envelope;
using conduit::host::error_text;

constexpr char kDemoGuid[] = "{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81}";

class SessionProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    m_service = std::make_unique<conduit::testing::HostedConduit>();
    ASSERT_TRUE(m_service->Start()) << log();
    m_client = connect();
    // The plain file sink: the hardware one needs TXR.
    ASSERT_EQ(m_client->set_sync_type(1).status, 0u);
  }
  void TearDown() override {
    m_client.reset();
    m_service.reset();
  }

  std::unique_ptr<ConduitClient> connect() { return std::make_unique<ConduitClient>("127.0.0.1", m_service->Port()); }
  std::string log() const { return LogFile(sim::target_root() / "ProgramData" / "Conduit_logs.txt").Read(); }

  std::unique_ptr<conduit::testing::HostedConduit> m_service;
  std::unique_ptr<ConduitClient> m_client;
};

void ExpectError(const Envelope& answer, const std::string& text) {
  EXPECT_EQ(answer.status, 1u) << error_text(answer.result);
  EXPECT_EQ(error_text(answer.result), text);
}

TEST_F(SessionProtocol, BeforeAnyStart) {
  ExpectError(m_client->stop_session("Never"), "Error:: Session not started , Error code : 87");
  ExpectError(m_client->enable_providers("Never", {{"Some-Provider"}}),
              "Error:: Session not started yet , Error code : 87");
  ExpectError(m_client->enable_providers_by_guid("Never", {{kDemoGuid}}),
              "Error:: Session not started yet , Error code : 87");
  // Disabling only logs what went wrong.
  EXPECT_EQ(m_client->disable_providers("Never", {"Some-Provider"}).status, 0u);
  EXPECT_EQ(m_client->disable_providers_by_guid("Never", {kDemoGuid}).status, 0u);
  EXPECT_NE(log().find("ERROR # Conduit::DisableProvidersByGUID # Session not started yet"), std::string::npos);
}

TEST_F(SessionProtocol, NamesThatCannotBeSessions) {
  ExpectError(m_client->start_session(""), "Error:: Session name cannot be NULL or empty. , Error code : 87");
  ExpectError(m_client->start_session(std::string(1024, 'n')),
              "Error:: CEtwController::StartSession failed , Error code : 87");
  EXPECT_FALSE(IsSessionRunning(std::u16string(1024, u'n')));
  EXPECT_EQ(m_client->start_session(std::string(1023, 'n')).status, 0u);
}

// The plain file sink writes "<session name>.bin" into the service's working directory.
TEST_F(SessionProtocol, TheFileSinkRefusesNamesThatAreNoPlainFileNames) {
  const std::string refused = "Error:: Session name is not a valid file name for the file sink. , Error code : 123";
  for (const std::string name :
       {"..\\..\\..\\x", "logs/x", "C:x", "x:stream", "nul.txt", "Com1", "LPT9", "end.", "end "}) {
    ExpectError(m_client->start_session(name), refused);
    EXPECT_FALSE(IsSessionRunning(std::u16string(name.begin(), name.end()))) << name;
  }
  EXPECT_NE(log().find("ERROR # Conduit::StartTraceSession # Session name is not a valid file name for the file sink"),
            std::string::npos);
  for (const std::string name : {"ConduitRecord", "trace-2024.01 run", "Sess\xC3\xA3o \xE6\x97\xA5\xE6\x9C\xAC"}) {
    EXPECT_EQ(m_client->start_session(name).status, 0u) << name;
  }
}

TEST_F(SessionProtocol, StartEnableDisableStop) {
  ASSERT_EQ(m_client->start_session("Demo Session").status, 0u);
  EXPECT_TRUE(IsSessionRunning(u"Demo Session"));
  // A restart of the running name stops it and starts it anew.
  EXPECT_EQ(m_client->start_session("Demo Session").status, 0u);
  EXPECT_TRUE(IsSessionRunning(u"Demo Session"));

  EXPECT_EQ(m_client->enable_providers_by_guid("Demo Session", {{kDemoGuid, 5, 0xFF, 0}}).status, 0u);
  EXPECT_NE(log().find(std::string("INFO # Conduit::EnableProvidersByGUID # Enabling provider ") + kDemoGuid +
                       " with Level=5, MatchAnyKeyword=255, MatchAllKeyWord=0..."),
            std::string::npos);
  ExpectError(m_client->enable_providers_by_guid("Demo Session", {{"{not-a-guid}"}}),
              "Error:: Failed to get the provider GUID , Error code : 87");
  // A name that is not registered resolves to the zero GUID; the request succeeds.
  EXPECT_EQ(m_client->enable_providers("Demo Session", {{"Not-Registered-Provider"}}).status, 0u);
  EXPECT_EQ(m_client->disable_providers_by_guid("Demo Session", {kDemoGuid}).status, 0u);
  EXPECT_EQ(m_client->disable_providers("Demo Session", {"Never-Enabled"}).status, 0u);
  EXPECT_NE(log().find("ERROR # Conduit::DisableProviders # Never-Enabled Provider is not enabled in the session Demo "
                       "Session: No providers disabled. 87"),
            std::string::npos);

  // Stopped by the name in another case; a second stop is the platform's refusal.
  EXPECT_EQ(m_client->stop_session("DEMO SESSION").status, 0u);
  EXPECT_FALSE(IsSessionRunning(u"Demo Session"));
  ExpectError(m_client->stop_session("Demo Session"),
              "Error::  Calling CEtwController::StopSession failed , Error code : 4201");
}

TEST_F(SessionProtocol, HardwareSinkWithoutTxrFailsTheStart) {
  ASSERT_EQ(m_client->set_sync_type(2).status, 0u);
  ExpectError(m_client->start_session("Hardware"),
              "Error :: InitializeDevice failed , TXR device is not configured to be managed by OS");
  EXPECT_FALSE(IsSessionRunning(u"Hardware"));
  ExpectError(m_client->stop_session("Hardware"), "Error:: Session not started , Error code : 87");
}

// Several clients at once start, enable, disable and stop the same session: every request is
// answered, nothing crashes, and the service still works afterwards.
TEST_F(SessionProtocol, ManyClientsAtOnce) {
  constexpr int kClients = 4;
  constexpr int kRounds = 25;
  std::atomic<int> answered{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto client = connect();
      const std::string guid = "{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E8" + std::to_string(c) + "}";
      for (int round = 0; round < kRounds; ++round) {
        for (const Envelope& answer :
             {client->start_session("Shared"), client->enable_providers("Shared", {{"Provider" + std::to_string(c)}}),
              client->enable_providers_by_guid("Shared", {{guid}}), client->disable_providers_by_guid("Shared", {guid}),
              client->disable_providers("Shared", {"Provider" + std::to_string(c)}), client->stop_session("shared")}) {
          ++answered;
          if (answer.status > 1) ++unexpected;
        }
      }
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(answered.load(), kClients * kRounds * 6);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(m_client->ping().status, 0u);
  ASSERT_EQ(m_client->start_session("Shared").status, 0u);
  EXPECT_EQ(m_client->stop_session("Shared").status, 0u);
}

// The service goes while clients are connected, one of them in the middle of requests, and
// a session runs: the teardown waits for them and touches nothing destroyed.
TEST_F(SessionProtocol, TeardownWithClientsConnectedAndASessionRunning) {
  ASSERT_EQ(m_client->start_session("Running").status, 0u);
  auto idle = connect();
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  const auto port = m_service->Port();
  std::thread busy([&] {
    try {
      ConduitClient client("127.0.0.1", port);
      auto* c = &client;
      while (!stop.load()) {
        ++rounds;
        c->enable_providers_by_guid("Running", {{kDemoGuid}});
        c->disable_providers_by_guid("Running", {kDemoGuid});
      }
    } catch (const std::exception&) {
      // The connection ends with the service.
    }
  });
  EXPECT_TRUE(sim::wait_for([&] { return rounds.load() >= 3; }));
  m_service.reset();
  stop = true;
  busy.join();
  EXPECT_THROW(idle->ping(), std::exception);
  // Every client thread had ended before the controller went.
  const std::string text = log();
  const auto released = text.find("Entering  function CEtwController::~CEtwController");
  const auto lastClientExit = text.rfind("Exiting function ServerSocket::ClientSockProcessThread");
  ASSERT_NE(released, std::string::npos);
  ASSERT_NE(lastClientExit, std::string::npos);
  EXPECT_LT(lastClientExit, released);
  // The session outlives the service, as on Windows.
  EXPECT_TRUE(IsSessionRunning(u"Running"));
}

}  // namespace
