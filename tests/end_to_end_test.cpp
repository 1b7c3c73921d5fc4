// Conduit hosted in this process on the virtual target, through its own entry point, and
// driven over loopback by the host client as conduit-cli drives it.
#include <gtest/gtest.h>

#include <memory>

#include "conduit_client.h"
#include "sim/services.h"
#include "sim/sim.h"
#include "testing/hosted_conduit.h"
#include "testing/log_file.h"
#include "winbase.h"
#include "winsvc.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::Envelope;

class HostedConduit : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    m_service = std::make_unique<conduit::testing::HostedConduit>();
    ASSERT_TRUE(m_service->Start()) << log();
    m_port = m_service->Port();
  }

  void TearDown() override { m_service.reset(); }

  std::unique_ptr<ConduitClient> connect() { return std::make_unique<ConduitClient>("127.0.0.1", m_port); }

  std::string log() const { return LogFile(sim::target_root() / "ProgramData" / "Conduit_logs.txt").Read(); }

  std::unique_ptr<conduit::testing::HostedConduit> m_service;
  std::uint16_t m_port = 0;
};

TEST_F(HostedConduit, AnswersPingFrequencyAndSinkType) {
  auto client = connect();
  Envelope ping = client->ping();
  EXPECT_EQ(ping.status, 0u);
  EXPECT_EQ(ping.function, 2u);
  EXPECT_EQ(conduit::host::decode_text(ping.result), "conduit");

  LARGE_INTEGER frequency;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  Envelope freq = client->max_processor_frequency();
  EXPECT_EQ(freq.status, 0u);
  EXPECT_EQ(conduit::host::decode_u64(freq.result), static_cast<std::uint64_t>(frequency.QuadPart) << 10);

  EXPECT_EQ(client->set_sync_type(3).status, 0u);
  Envelope bad = client->set_sync_type(7);
  EXPECT_EQ(bad.status, 2u);
  EXPECT_EQ(conduit::host::error_text(bad.result), "Invalid Sync type provided");
}

TEST_F(HostedConduit, ServesTwoClientsAtOnceAndSurvivesAGarbledOne) {
  auto first = connect();
  auto second = connect();
  {
    ConduitClient garbled("127.0.0.1", m_port, std::chrono::milliseconds(500));
    EXPECT_TRUE(garbled.exchange_raw({1, 2, 3}).empty());
  }
  EXPECT_EQ(second->ping().status, 0u);
  EXPECT_EQ(first->ping().status, 0u);
  EXPECT_EQ(first->set_sync_type(12).status, 2u);
}

TEST_F(HostedConduit, StopsOnTheStopControlAndLogsIt) {
  auto client = connect();
  EXPECT_EQ(client->ping().status, 0u);
  EXPECT_EQ(m_service->Stop(), 0);
  const auto reports = sim::service_status_reports(CONDUIT_SERVICE_NAME);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_NE(log().find("INFO # Conduit stopped successfully"), std::string::npos);
}

}  // namespace
