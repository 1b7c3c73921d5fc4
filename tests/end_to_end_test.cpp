// Conduit hosted in this process on the virtual target, through its own entry point, and
// driven over loopback by the host client as conduit-cli drives it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "conduit_client.h"
#include "support/free_port.h"
#include "conduit_main.h"
#include "sim/registry.h"
#include "sim/services.h"
#include "sim/sim.h"
#include "winbase.h"
#include "winsvc.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::ConnectionError;
using conduit::host::Envelope;

constexpr char16_t kServiceName[] = u"Orvix(R) Trace Redirect Service";
constexpr char kPortKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvix\\Tessera";

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class HostedConduit : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    m_port = conduit::testing::free_service_port();
    sim::set_registry_dword(kPortKey, "ETWConduit_PortNumber", m_port);
    sim::host_service(kServiceName);
    m_entry = std::thread([this] {
      WCHAR name[] = u"Conduit.exe";
      WCHAR* args[] = {name, nullptr};
      m_exitCode = wmain(1, args);
    });
    ASSERT_TRUE(sim::wait_for_service_state(kServiceName, SERVICE_RUNNING, std::chrono::seconds(10)));
  }

  void TearDown() override {
    if (m_entry.joinable()) {
      sim::send_service_control(kServiceName, SERVICE_CONTROL_STOP);
      m_entry.join();
    }
  }

  // The accept thread binds after the service has reported running: retry briefly.
  std::unique_ptr<ConduitClient> connect() {
    for (int attempt = 0;; ++attempt) {
      try {
        auto client = std::make_unique<ConduitClient>("127.0.0.1", static_cast<std::uint16_t>(m_port));
        return client;
      } catch (const ConnectionError&) {
        if (attempt == 500) {
          ADD_FAILURE() << "the service did not accept connections; its log:\n" << log();
          throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  std::string log() { return read_file(sim::target_root() / "ProgramData" / "Conduit_logs.txt"); }

  unsigned m_port = 0;
  std::thread m_entry;
  int m_exitCode = -1;
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

TEST_F(HostedConduit, OperationsStillToComeAnswerAnErrorNeverSuccess) {
  auto client = connect();
  for (const Envelope& answer : {client->all_providers(), client->start_session("s"), client->stop_session("s"),
                                 client->redirect("s"), client->provider_manifests({"P"}),
                                 client->enable_providers("s", {{"P"}}), client->disable_providers("s", {"P"}),
                                 client->enable_providers_by_guid("s", {{"{00000000-0000-0000-0000-000000000001}"}}),
                                 client->disable_providers_by_guid("s", {"{00000000-0000-0000-0000-000000000001}"})}) {
    EXPECT_EQ(answer.status, 1u) << answer.function;
    EXPECT_NE(conduit::host::error_text(answer.result).find("not available yet"), std::string::npos)
        << conduit::host::error_text(answer.result);
  }
}

TEST_F(HostedConduit, ServesTwoClientsAtOnceAndSurvivesAGarbledOne) {
  auto first = connect();
  auto second = connect();
  {
    ConduitClient garbled("127.0.0.1", static_cast<std::uint16_t>(m_port), std::chrono::milliseconds(500));
    EXPECT_TRUE(garbled.exchange_raw({1, 2, 3}).empty());
  }
  EXPECT_EQ(second->ping().status, 0u);
  EXPECT_EQ(first->ping().status, 0u);
  EXPECT_EQ(first->set_sync_type(12).status, 2u);
}

TEST_F(HostedConduit, StopsOnTheStopControlAndLogsIt) {
  auto client = connect();
  EXPECT_EQ(client->ping().status, 0u);
  sim::send_service_control(kServiceName, SERVICE_CONTROL_STOP);
  m_entry.join();
  EXPECT_EQ(m_exitCode, 0);
  const auto reports = sim::service_status_reports(kServiceName);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_NE(log().find("INFO # Conduit stopped successfully"), std::string::npos);
}

}  // namespace
