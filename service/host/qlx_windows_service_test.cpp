#include "qlx_windows_service.h"

#include <algorithm>
#include <barrier>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "binary_stream.h"
#include "etw_controller.h"
#include "etw_schema_collector.h"
#include "etw_tdh_manifest_loader.h"
#include "service_fault.h"
#include "sim/providers.h"
#include "sim/services.h"
#include "sim/sim.h"
#include "stop_flag.h"
#include "testing/host_test_support.h"
#include "testing/hosted_conduit.h"
#include "windows.h"
#include "winsock2.h"
#include "wire_records.h"

namespace {


const char16_t* const kServiceName = u"Orvix(R) Trace Redirect Service";

// Exposes the start and stop hooks, which the control manager normally reaches through
// the base's sequences.
class TestableService : public QLXWindowsService {
 public:
  TestableService() : QLXWindowsService(kServiceName) {}
  using QLXWindowsService::OnStart;
  using QLXWindowsService::OnStop;
};

class QLXWindowsServiceTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    ServiceStopRequested().store(false);
  }

  // Writes the configuration and makes the process-wide settings read it, as a fresh
  // service process would.
  void Configure(const std::string& adds) {
    WriteAppSettings(adds);
    ConfigurationManager::ReloadForTesting();
  }

  void ConfigureKey(const std::string& key, const std::string& value) {
    Configure("    <add key=\"" + key + "\" value=\"" + value + "\"/>\n");
  }
};

TEST_F(QLXWindowsServiceTest, ConstructionWithLogLevelTwoKeepsWarningsAndDropsInformation) {
  ConfigureKey("LogLevel", "2");
  TestableService service;
  WriteLog(LOG_WARNING, "WARNING # after construction");
  WriteLog(LOG_INFO, "INFO # dropped after construction");

  EXPECT_EQ(GetLogThreshold(), 2);
  const std::string log = Log();
  EXPECT_EQ(log.find("INFO_LOG # Conduit::Conduit all init completed successfully"), std::string::npos);
  EXPECT_EQ(log.find("dropped"), std::string::npos);
  EXPECT_EQ(log.find("DEBUG #  Entering  function CEtwController::CEtwController"), std::string::npos);
  EXPECT_NE(log.find("WARNING # after construction\n"), std::string::npos);
}

TEST_F(QLXWindowsServiceTest, LogLevelOutOfRangeLogsAndKeepsOnlyErrors) {
  for (const char* value : {"9", "-1", "4294967296"}) {
    SetLogLevel("0");
    ConfigureKey("LogLevel", value);
    TestableService service;
    EXPECT_EQ(GetLogThreshold(), 3) << value;
  }
  EXPECT_EQ(log_->Count("STANDARD EXCEPTION Fn: QLXWindowsService::GetLogLevel : "
                                    "Exception: Invlaid Loglevel Entry\n"),
            3u);
}

// The threshold applied is the number that was checked, whatever notation the file uses.
TEST_F(QLXWindowsServiceTest, LogLevelIsAppliedAsTheValueThatWasChecked) {
  for (const auto& [text, applied] : {std::pair{"0x3", 3}, std::pair{"08", 0}, std::pair{"09", 0}, std::pair{" 2", 2}}) {
    SetLogLevel("0");
    ConfigureKey("LogLevel", text);
    TestableService service;
    EXPECT_EQ(GetLogThreshold(), applied) << text;
  }
}

TEST_F(QLXWindowsServiceTest, MissingConfigurationLogsEverythingAndCompletesInit) {
  RemoveConfig();
  ConfigurationManager::ReloadForTesting();
  TestableService service;
  EXPECT_EQ(GetLogThreshold(), 0);
  EXPECT_EQ(service.GetLogLevel(), "0");
  EXPECT_EQ(QLXWindowsService::GetInstance(), &service);

  const std::string log = Log();
  EXPECT_NE(log.find("ERROR # ConfigurationManager::LoadConfig # xmlReadFile on file " + ConfigPath().string() +
                     " failed\n"),
            std::string::npos);
  EXPECT_NE(log.find("INFO_LOG # Conduit::Conduit all init completed successfully\n"), std::string::npos);
  EXPECT_NE(log.find("DEBUG #  Entering  function QLXWindowsService::QLXWindowsService\n"), std::string::npos);
  EXPECT_NE(log.find("INFO # Returning instance from Conduit::GetInstance \n"), std::string::npos);
}

TEST_F(QLXWindowsServiceTest, InstanceIsClearedWhenTheServiceIsDestroyed) {
  ConfigurationManager::ReloadForTesting();
  { TestableService service; }
  EXPECT_EQ(QLXWindowsService::GetInstance(), nullptr);
}

struct SinkTypeCase {
  const char* configured;  // nullptr: key missing
  DWORD expected;
  bool logsInvalidEntry;
};

class DefaultTraceSinkTypeTest : public QLXWindowsServiceTest,
                                 public ::testing::WithParamInterface<SinkTypeCase> {};

TEST_P(DefaultTraceSinkTypeTest, ReadsOneToThreeAndFallsBackToHardware) {
  const SinkTypeCase& sinkCase = GetParam();
  if (sinkCase.configured != nullptr) {
    ConfigureKey("DefaultTraceSinkType", sinkCase.configured);
  } else {
    Configure("");
  }
  TestableService service;
  EXPECT_EQ(service.GetDefaultTraceSinkType(), sinkCase.expected);
  const bool logged = Log().find("STANDARD EXCEPTION Fn: QLXWindowsService::GetDefaultTraceSinkType : "
                                 "Exception: Invalid Entry\n") != std::string::npos;
  EXPECT_EQ(logged, sinkCase.logsInvalidEntry);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DefaultTraceSinkTypeTest,
    ::testing::Values(SinkTypeCase{"1", 1, false}, SinkTypeCase{"0x3", 3, false}, SinkTypeCase{"02", 2, false},
                      SinkTypeCase{"7", 2, true}, SinkTypeCase{"abc", 2, true}, SinkTypeCase{"0", 2, true},
                      SinkTypeCase{nullptr, 2, true},
                      // A value that wraps to a negative number or exceeds 32 bits is no sink type.
                      SinkTypeCase{"0xFFFFFFFF", 2, true}, SinkTypeCase{"4294967297", 2, true}));

TEST_F(QLXWindowsServiceTest, SinkTypeIsCachedUntilSetTraceSinkTypeReplacesIt) {
  ConfigureKey("DefaultTraceSinkType", "3");
  TestableService service;
  EXPECT_EQ(service.GetDefaultTraceSinkType(), 3u);
  ConfigureKey("DefaultTraceSinkType", "1");
  EXPECT_EQ(service.GetDefaultTraceSinkType(), 3u);
  service.SetTraceSinkType(1);
  EXPECT_EQ(service.GetDefaultTraceSinkType(), 1u);
}

TEST_F(QLXWindowsServiceTest, TraceLevelAcceptsZeroToFourAndFallsBackToTwo) {
  struct LevelCase {
    const char* configured;
    UINT8 expected;
  };
  for (const LevelCase& levelCase : {LevelCase{"4", 4}, LevelCase{"1", 1}, LevelCase{"5", 2},
                                     LevelCase{"0x104", 4}, LevelCase{"255", 2}}) {
    ConfigureKey("DefaultTraceLevel", levelCase.configured);
    TestableService service;
    EXPECT_EQ(service.GetDefaultTraceLevel(), levelCase.expected) << levelCase.configured;
  }
  EXPECT_EQ(log_->Count("STANDARD EXCEPTION Fn: QLXWindowsService::GetDefaultTraceLevel : "
                                    "Exception: Invalid Entry\n"),
            2u);
}

TEST_F(QLXWindowsServiceTest, MissingTraceLevelReadsZeroAndIsLookedUpAgain) {
  Configure("");
  TestableService service;
  EXPECT_EQ(service.GetDefaultTraceLevel(), 0);
  ConfigureKey("DefaultTraceLevel", "3");
  EXPECT_EQ(service.GetDefaultTraceLevel(), 3);
  ConfigureKey("DefaultTraceLevel", "1");
  EXPECT_EQ(service.GetDefaultTraceLevel(), 3);
  EXPECT_EQ(Log().find("Exception: Invalid Entry"), std::string::npos);
}

TEST_F(QLXWindowsServiceTest, KeywordMasksReadAnyUnsigned64BitNumber) {
  Configure(
      "    <add key=\"DefaultMatchAnyKeyword\" value=\"0xFF00\"/>\n"
      "    <add key=\"DefaultMatchAllKeyword\" value=\"18446744073709551615\"/>\n");
  TestableService service;
  EXPECT_EQ(service.GetDefaultMatchAnykeyword(), 0xFF00u);
  EXPECT_EQ(service.GetDefaultMatchAllkeyword(), 0xFFFFFFFFFFFFFFFFull);
}

TEST_F(QLXWindowsServiceTest, UnreadableKeywordMaskIsLoggedAndAMissingOneIsQuietlyZero) {
  Configure("    <add key=\"DefaultMatchAnyKeyword\" value=\"lots\"/>\n");
  TestableService service;
  EXPECT_EQ(service.GetDefaultMatchAnykeyword(), 0u);
  EXPECT_EQ(service.GetDefaultMatchAllkeyword(), 0u);
  ConfigureKey("DefaultMatchAnyKeyword", "7");
  EXPECT_EQ(service.GetDefaultMatchAnykeyword(), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("STANDARD EXCEPTION Fn: QLXWindowsService::GetDefaultMatchAnykeyword : Exception: "),
            std::string::npos);
  EXPECT_EQ(log.find("QLXWindowsService::GetDefaultMatchAllkeyword : Exception: "), std::string::npos);
  EXPECT_EQ(log.find("GENERIC EXCEPTION Fn: QLXWindowsService::GetDefaultMatchAllkeyword"), std::string::npos);
}

TEST_F(QLXWindowsServiceTest, MaskEqualToTheNotReadMarkerIsReadAgainOnEveryCall) {
  ConfigureKey("DefaultMatchAnyKeyword", "1234567890");
  TestableService service;
  EXPECT_EQ(service.GetDefaultMatchAnykeyword(), 1234567890u);
  ConfigureKey("DefaultMatchAnyKeyword", "5");
  EXPECT_EQ(service.GetDefaultMatchAnykeyword(), 5u);
}

TEST_F(QLXWindowsServiceTest, MaxProcessorFrequencyIsTheCounterFrequencyTimes1024) {
  ConfigurationManager::ReloadForTesting();
  TestableService service;
  sim::set_performance_frequency(3'000'000);
  EXPECT_EQ(service.GetMaxProcessorFrequency(), 3'000'000ull * 1024);
}

TEST_F(QLXWindowsServiceTest, MaxProcessorFrequencyIsZeroWhenTheCounterFails) {
  ConfigurationManager::ReloadForTesting();
  TestableService service;
  sim::fail_next("QueryPerformanceFrequency", 1, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(service.GetMaxProcessorFrequency(), 0u);
  EXPECT_NE(Log().find("ERROR # Conduit::GetMaxProcessorFrequency # QueryPerformanceFrequency failed: 1\n"),
            std::string::npos);
  EXPECT_EQ(service.GetMaxProcessorFrequency(), 10'000'000ull * 1024);
}

TEST_F(QLXWindowsServiceTest, ApiVersionAndTargetSideDecodingAnswerWithTheirLines) {
  ConfigurationManager::ReloadForTesting();
  TestableService service;
  EXPECT_EQ(service.GetApiVersion(), 1u);
  EXPECT_TRUE(service.IsTargetSideDecodingSupported());
  const std::string log = Log();
  EXPECT_NE(log.find("INFO # Conduit::GetApiVersion # returning the API version\n"), std::string::npos);
  EXPECT_NE(log.find("INFO # Conduit::IsTargetSideDecodingSupported # returning the TARGET supported value\n"),
            std::string::npos);
}

TEST_F(QLXWindowsServiceTest, SingletonsAreCreatedOnceAndReleasedInOrder) {
  ConfigurationManager::ReloadForTesting();
  {
    TestableService service;
    EXPECT_EQ(CEtwController::getInstance(), CEtwController::getInstance());
    EXPECT_EQ(CEtwSchemaCollector::getInstance(), CEtwSchemaCollector::getInstance());
    EXPECT_EQ(CEtwTdhManifestLoader::getInstance(nullptr),
              CEtwTdhManifestLoader::getInstance(CEtwSchemaCollector::getInstance()));
  }
  const std::string log = Log();
  for (const char* name : {"CEtwSchemaCollector::CEtwSchemaCollector", "CEtwTdhManifestLoader::CEtwTdhManifestLoader",
                           "CEtwController::CEtwController", "CEtwSchemaCollector::~CEtwSchemaCollector",
                           "CEtwTdhManifestLoader::~CEtwTdhManifestLoader", "CEtwController::~CEtwController"}) {
    EXPECT_EQ(LogFile::CountIn(log, std::string("DEBUG #  Entering  function ") + name + "\n"), 1u) << name;
  }
  const size_t collectorGone = log.find("Entering  function CEtwSchemaCollector::~CEtwSchemaCollector");
  const size_t loaderGone = log.find("Entering  function CEtwTdhManifestLoader::~CEtwTdhManifestLoader");
  const size_t controllerGone = log.find("Entering  function CEtwController::~CEtwController");
  EXPECT_LT(collectorGone, loaderGone);
  EXPECT_LT(loaderGone, controllerGone);
}

TEST_F(QLXWindowsServiceTest, LockFailureOfTheCollectorIsLoggedAndConstructionCompletes) {
  ConfigurationManager::ReloadForTesting();
  sim::fail_next("InitializeCriticalSectionAndSpinCount", 1, ERROR_NOT_ENOUGH_MEMORY);
  TestableService service;
  const std::string log = Log();
  EXPECT_NE(log.find("ERROR # CEtwSchemaCollector::CEtwSchemaCollector# "
                     "InitializeCriticalSectionAndSpinCount Failed 8\n"),
            std::string::npos);
  EXPECT_NE(log.find("INFO_LOG # Conduit::Conduit all init completed successfully"), std::string::npos);
}

TEST_F(QLXWindowsServiceTest, ManifestDirectoryIsCreatedUnderTempOnlyWhenMissing) {
  ConfigurationManager::ReloadForTesting();
  char tempPath[MAX_PATH] = {};
  ASSERT_GT(GetTempPathA(MAX_PATH, tempPath), 0u);
  const std::string directory = std::string(tempPath) + "ManifestFiles\\";
  const std::string createdLine =
      "INFO # CEtwTdhManifestLoader::CEtwTdhManifestLoader # Dir:" + directory + " created successfully\n";

  { TestableService service; }
  EXPECT_TRUE(PathFileExistsA(directory.c_str()));
  EXPECT_EQ(log_->Count(createdLine), 1u);

  { TestableService service; }
  EXPECT_EQ(log_->Count(createdLine), 1u);
}

TEST_F(QLXWindowsServiceTest, ManifestDirectoryThatCannotBeMadeIsLogged) {
  ConfigurationManager::ReloadForTesting();
  sim::fail_next("CreateDirectoryA", 1, ERROR_ACCESS_DENIED);
  TestableService service;
  EXPECT_NE(Log().find("ERROR # CEtwTdhManifestLoader::CEtwTdhManifestLoaderDir:"), std::string::npos);
  EXPECT_NE(Log().find("ManifestFiles\\ is not created\n"), std::string::npos);
}

// ---- Concurrent provider operations ----

// Clients enable and disable providers by name at the same time, as connections of their own
// would. Between the phases of each round, the providers the service lists as enabled are
// exactly those the session has enabled, each once. The clients disable the same providers
// in the same order at the same moment: an entry taken out by one must not be taken out
// again by another that found it a moment before.
TEST_F(QLXWindowsServiceTest, ConcurrentEnablesAndDisablesLeaveTheListAsTheSessionIs) {
  Configure(
      "    <add key=\"LogLevel\" value=\"3\"/>\n"
      "    <add key=\"DefaultTraceSinkType\" value=\"1\"/>\n");
  constexpr int kClients = 4;
  constexpr int kPerClient = 2;
  constexpr int kRounds = 400;
  std::vector<std::string> names;
  std::vector<GUID> guids;
  for (int i = 0; i < kClients * kPerClient; ++i) {
    const GUID guid = {0x5EC0A000, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(i)}};
    char text[40];
    std::snprintf(text, sizeof(text), "{5EC0A000-0000-4000-8000-0000000000%02X}", static_cast<unsigned>(i));
    etw::ProviderSchema schema;
    schema.name = "Race-Provider-" + std::to_string(i);
    schema.guid = *etw::parse_guid_text(text);
    ASSERT_EQ(sim::install_declared_provider(schema), etw::CatalogStatus::Ok);
    names.push_back(schema.name);
    guids.push_back(guid);
  }
  TestableService service;
  service.StartTraceSession("Race");

  // What the session has enabled, as a provider registered for each GUID is told.
  auto enabledInSession = [&] {
    std::vector<std::string> enabled;
    for (std::size_t i = 0; i < guids.size(); ++i) {
      REGHANDLE probe = 0;
      EventRegister(&guids[i], nullptr, nullptr, &probe);
      if (EventProviderEnabled(probe, 0, 0) != FALSE) enabled.push_back(names[i]);
      EventUnregister(probe);
    }
    return enabled;
  };
  std::vector<std::string> mismatches;
  auto check = [&](int round, const char* phase, const std::vector<std::string>& expected) {
    std::vector<std::string> listed = service.GetSessionProviders("Race");
    std::sort(listed.begin(), listed.end());
    const std::vector<std::string> enabled = enabledInSession();
    if (listed != expected || enabled != expected) {
      mismatches.push_back("round " + std::to_string(round) + " after " + phase + ": " +
                           std::to_string(listed.size()) + " listed, " + std::to_string(enabled.size()) +
                           " enabled in the session");
    }
  };
  std::vector<std::string> all = names;
  std::sort(all.begin(), all.end());

  std::barrier phase(kClients);
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back([&, client] {
      std::vector<ProviderSetting> own;
      for (int k = 0; k < kPerClient; ++k) own.push_back(ProviderSetting{names[client * kPerClient + k], 4, 0, 0});
      // Each client starts its disables with its own providers and goes on with the others':
      // every client runs into the others' walks.
      std::vector<std::string> order(names.begin() + client * kPerClient, names.end());
      order.insert(order.end(), names.begin(), names.begin() + client * kPerClient);
      for (int round = 0; round < kRounds; ++round) {
        service.EnableProviders("Race", own);
        phase.arrive_and_wait();
        if (client == 0) check(round, "enabling", all);
        phase.arrive_and_wait();
        service.DisableProviders("Race", order);
        phase.arrive_and_wait();
        if (client == 0) check(round, "disabling", {});
        phase.arrive_and_wait();
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " inconsistent rounds, first: " << mismatches.front();
  service.StopTraceSession("Race");
}

// ---- Start and stop, hosted by the virtual target's control manager ----

// Keeps Windows Sockets started for the test's own client sockets.
class SocketsStarted {
 public:
  SocketsStarted() {
    WSADATA data{};
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~SocketsStarted() {
    if (started_) WSACleanup();
  }
  SocketsStarted(const SocketsStarted&) = delete;
  SocketsStarted& operator=(const SocketsStarted&) = delete;

 private:
  bool started_ = false;
};

sockaddr_in LoopbackAddress(DWORD port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<USHORT>(port));
  return address;
}

// One request as a host tool sends it, and the response it reads back.
Socketdata Exchange(DWORD port, const Socketdata& request) {
  SocketsStarted sockets;
  const sockaddr_in address = LoopbackAddress(port);
  // The accept thread binds after the service has reported running: retry briefly.
  SOCKET client = INVALID_SOCKET;
  for (int attempt = 0; client == INVALID_SOCKET; ++attempt) {
    client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (client != INVALID_SOCKET &&
        connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      closesocket(client);
      client = INVALID_SOCKET;
      if (attempt == 500) throw std::runtime_error("connect failed");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  BinaryStream requestStream;
  request >> requestStream;
  const auto bytes = requestStream.GetBuffer();
  send(client, bytes.get(), static_cast<int>(requestStream.GetSize()), 0);

  std::vector<char> received;
  for (;;) {
    WSAPOLLFD readable{};
    readable.fd = client;
    readable.events = POLLRDNORM;
    if (WSAPoll(&readable, 1, 10000) <= 0) {
      break;
    }
    char chunk[4096];
    const int count = recv(client, chunk, sizeof(chunk), 0);
    if (count <= 0) {
      break;
    }
    received.insert(received.end(), chunk, chunk + count);
    try {
      BinaryStream responseStream(received.data(), received.size());
      Socketdata response;
      response << responseStream;
      closesocket(client);
      return response;
    } catch (const std::exception&) {
      // Not all of it yet.
    }
  }
  closesocket(client);
  throw std::runtime_error("no response");
}

std::string ResultText(Socketdata& response) {
  std::string text;
  response.result >> text;
  return text;
}

class HostedServiceTest : public QLXWindowsServiceTest {
 protected:
  void SetUp() override {
    QLXWindowsServiceTest::SetUp();
    hosted_.emplace();
  }

  void TearDown() override {
    hosted_.reset();
    QLXWindowsServiceTest::TearDown();
  }

  // Runs the service object's own start-up under the control manager, as its entry point would.
  void StartHosted(TestableService& service, bool waitForListener = true) {
    ASSERT_TRUE(hosted_->Start([&service] { return static_cast<int>(service.Run()); }, waitForListener));
  }

  void StopHosted() { EXPECT_EQ(hosted_->Stop(), TRUE); }

  std::optional<conduit::testing::HostedConduit> hosted_;
};

TEST_F(HostedServiceTest, StartListensOnTheRegistryPortAndServesRequests) {
  ConfigurationManager::ReloadForTesting();
  const DWORD port = hosted_->Port();
  {
    TestableService service;
    StartHosted(service);

    Socketdata ping;
    ping.function = 8;
    Socketdata pong = Exchange(port, ping);
    EXPECT_EQ(pong.status, 0u);
    EXPECT_EQ(pong.function, 2u);
    EXPECT_EQ(ResultText(pong), "conduit");

    StopHosted();
  }
  const std::string log = Log();
  EXPECT_NE(log.find("DEBUG # Entering Conduit::OnStart 4\n"), std::string::npos);
  EXPECT_NE(log.find("DEBUG #  Entering  function QLXWindowsService::HostService\n"), std::string::npos);
  EXPECT_NE(log.find("DEBUG #  Exiting function QLXWindowsService::HostService\n"), std::string::npos);
  EXPECT_NE(log.find("INFO # Returning instance from Conduit::GetInstance \n"), std::string::npos);
  EXPECT_NE(log.find("INFO # Entering Conduit::OnStop 4\n"), std::string::npos);
  EXPECT_LT(log.find("INFO # Entering Conduit::OnStop 4\n"),
            log.find("DEBUG #  Entering  function QLXWindowsService::~QLXWindowsService\n"));
}

TEST_F(HostedServiceTest, FailedPortLookupLeavesTheServiceRunningWithoutListener) {
  ConfigurationManager::ReloadForTesting();
  sim::fail_next("GetSecurityInfo", 1, ERROR_ACCESS_DENIED);
  {
    TestableService service;
    StartHosted(service, false);
    StopHosted();
  }
  const std::string log = Log();
  EXPECT_NE(log.find("ERROR # Conduit::HostService # Invalid port number\n"), std::string::npos);
  EXPECT_NE(log.find("STANDARD EXCEPTION Fn: QLXWindowsService::OnStart : Exception: Invalid port number\n"),
            std::string::npos);
  EXPECT_EQ(log.find("Entering  function QLXWindowsService::HostService"), std::string::npos);
}

}  // namespace
