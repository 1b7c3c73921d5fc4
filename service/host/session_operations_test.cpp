// The session and provider operations called directly on the service object, with the
// platform's refusals injected.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device_file.h"
#include "etw_controller.h"
#include "evntrace.h"
#include "qlx_windows_service.h"
#include "service_fault.h"
#include "sim/sim.h"
#include "stop_flag.h"
#include "testing/host_test_support.h"
#include "testing/loopback_connection.h"
#include "testing/wire_bytes.h"
#include "util.h"

namespace {

constexpr char kGuid[] = "{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81}";
constexpr GUID kZeroGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
// The provider whose user data the redirect carries raw (without its first two bytes).
constexpr char kRawGuidText[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";
constexpr GUID kRawProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether `file` is a run of whole frames (0xBF 0xAE, a 64-bit length, the record) that ends
// exactly at the end of the file.
bool WholeFrames(const std::string& file) {
  std::size_t at = 0;
  while (at < file.size()) {
    if (file.size() - at < 10 || static_cast<unsigned char>(file[at]) != 0xBF ||
        static_cast<unsigned char>(file[at + 1]) != 0xAE) {
      return false;
    }
    unsigned long long length = 0;
    for (int i = 7; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(file[at + 2 + i]);
    if (length > file.size() - at - 10) return false;
    at += 10 + length;
  }
  return true;
}

class SessionOperationsTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    ServiceStopRequested().store(false);
    WriteAppSettings("    <add key=\"DefaultTraceSinkType\" value=\"1\"/>\n");
    ConfigurationManager::ReloadForTesting();
    m_service.emplace(TEXT("Orvix(R) Trace Redirect Service"));
  }
  void TearDown() override {
    m_service.reset();
    sim::reset();
    HostTest::TearDown();
  }

  static bool Running(LPCWSTR name) {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 256, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    return ControlTraceW(0, name, properties, EVENT_TRACE_CONTROL_QUERY) == ERROR_SUCCESS;
  }

  // Whether a provider registered for `guid` is told that a session enabled it.
  static bool Enabled(const GUID& guid) {
    REGHANDLE probe = 0;
    EventRegister(&guid, nullptr, nullptr, &probe);
    const bool enabled = EventProviderEnabled(probe, 0, 0) != FALSE;
    EventUnregister(probe);
    return enabled;
  }

  static ProviderSettingEx ByGuid(const std::string& guid, UINT8 level = 4) {
    ProviderSettingEx setting;
    setting.providerName = "Demo";
    setting.providerGuid = guid;
    setting.level = level;
    return setting;
  }

  // The text of the answer a peer receives for `request`, with its status.
  std::pair<UINT32, std::string> Answer(const WireBytes& request) {
    LoopbackConnection connection;
    m_service->ProcessServiceAPI(connection.service(), request.data(), request.size());
    connection.CloseService();
    const std::vector<char> bytes = connection.ReadUntilClosed();
    // status, function, parameter count, parameter bytes, then the result with its text.
    UINT32 fields[4] = {};
    if (bytes.size() < sizeof(fields)) return {0, "(no answer)"};
    std::memcpy(fields, bytes.data(), sizeof(fields));
    const std::size_t result = sizeof(fields) + fields[3] + 4;
    UINT32 length = 0;
    if (bytes.size() < result + 4) return {fields[0], "(no text)"};
    std::memcpy(&length, bytes.data() + result, 4);
    return {fields[0], std::string(bytes.data() + result + 4, std::min<std::size_t>(length, bytes.size() - result - 4))};
  }

  static bool StartLeftover(LPCWSTR name) {
    std::vector<BYTE> block(sizeof(EVENT_TRACE_PROPERTIES) + 256, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    TRACEHANDLE handle = 0;
    return StartTraceW(&handle, name, properties) == ERROR_SUCCESS;
  }

  std::optional<QLXWindowsService> m_service;
};

// A session of the name runs already, as one left by an earlier run of the service: the
// start stops it by name and starts the session anew; the session this service started
// before, under another name, is not touched. A stop the platform refuses fails the start.
TEST_F(SessionOperationsTest, AStartOfALeftoverNameStopsItFirstOrSaysWhyItCannot) {
  m_service->StartTraceSession("Earlier");
  ASSERT_TRUE(StartLeftover(TEXT("Leftover")));
  m_service->StartTraceSession("Leftover");
  EXPECT_TRUE(Running(TEXT("Leftover")));
  EXPECT_TRUE(Running(TEXT("Earlier")));
  EXPECT_NE(Log().find("INFO # CEtwController::StartSession # Trace Session (Leftover) started successfully."),
            std::string::npos);
  m_service->StopTraceSession("Leftover");
  EXPECT_FALSE(Running(TEXT("Leftover")));

  ASSERT_TRUE(StartLeftover(TEXT("Stuck")));
  sim::fail_next("ControlTraceW", 1, ERROR_ACCESS_DENIED);
  try {
    m_service->StartTraceSession("Stuck");
    FAIL() << "a start whose leftover could not be stopped reported success";
  } catch (const QLXServiceFault& fault) {
    EXPECT_STREQ(fault.what(), "CEtwController::StartSession failed");
    EXPECT_EQ(fault.errorCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_NE(Log().find("ERROR # CEtwController::StartSession # Session (Stuck) already exists: Trying "
                       "ControlTrace(Stop) failed with 5."),
            std::string::npos);
  EXPECT_TRUE(Running(TEXT("Stuck")));
}

// An empty settings list is a fault of the whole request (code 87), logged as one of the
// session; the peer reads the fault's text.
TEST_F(SessionOperationsTest, EmptySettingListsAreFaultsThePeerReads) {
  m_service->StartTraceSession("Lists");
  const auto byName = Answer(WireBytes::Request(5, 2, WireBytes().Text("Lists").U32(0)));
  EXPECT_EQ(byName.first, 1u);
  EXPECT_EQ(byName.second, "Error:: List of provider settings cannot be null or empty.  , Error code : 87");
  EXPECT_NE(Log().find("ERROR # Conduit::EnableProviders # List of provider settings cannot be null or empty"),
            std::string::npos);
  EXPECT_NE(Log().find("ERROR # Conduit::EnableProviders # Exception in session (Lists)"), std::string::npos);

  const auto byGuid = Answer(WireBytes::Request(10, 2, WireBytes().Text("Lists").U32(0)));
  EXPECT_EQ(byGuid.first, 1u);
  EXPECT_EQ(byGuid.second, "Error:: providerguid passed as empty.  , Error code : 87");
  EXPECT_NE(Log().find("ERROR # Conduit::EnableProvidersByGUID # providerguids passed as empty"), std::string::npos);
  EXPECT_NE(Log().find("ERROR # Conduit::EnableProvidersByGUID # Exception in session (Lists)"), std::string::npos);
  EXPECT_TRUE(m_service->GetSessionProviders("Lists").empty());
}

// A failing provider is logged and skipped by name, so the session's line is not written;
// by GUID it ends the request, and the line names the session.
TEST_F(SessionOperationsTest, OnlyAFailureOfTheWholeRequestIsLoggedAsOneOfTheSession) {
  m_service->StartTraceSession("Faults");
  m_service->EnableProviders("Faults", {ProviderSetting{"", 4, 0, 0}});
  EXPECT_EQ(Log().find("Exception in session (Faults)"), std::string::npos);
  EXPECT_THROW(m_service->EnableProviders("Unstarted", {ProviderSetting{"Any", 4, 0, 0}}), QLXServiceFault);
  EXPECT_NE(Log().find("ERROR # Conduit::EnableProviders # Exception in session (Unstarted)"), std::string::npos);
  EXPECT_THROW(m_service->EnableProvidersByGUID("Faults", {ByGuid("")}), QLXServiceFault);
  EXPECT_NE(Log().find("ERROR # Conduit::EnableProvidersByGUID # Exception in session (Faults)"), std::string::npos);
}

// The redirect logs its marker line once its own checks passed, before it asks the
// controller; a request refused by those checks does not.
TEST_F(SessionOperationsTest, TheRedirectMarksItsCallOfTheController) {
  const std::string marker = "ERROR # before redirect trace";
  EXPECT_THROW(m_service->RedirectTrace("Marked"), QLXServiceFault);  // no sink before a start
  EXPECT_EQ(Log().find(marker), std::string::npos);
  m_service->StartTraceSession("Marked");
  m_service->RedirectTrace("Marked");
  const std::string log = Log();
  const auto at = log.find(marker);
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(at, log.find("Entering  function CEtwController::RedirectTrace"));
  m_service->StopTraceSession("Marked");
}

// Stop, start and redirect of one name in a tight loop while events flow: every redirect
// opens "<name>.bin" afresh only after the previous one wrote its last buffer and let the
// file go, so each round's file is there, holds that round's events and ends with a whole
// frame.
TEST_F(SessionOperationsTest, RestartsOfOneNameEachLeaveTheirWholeFile) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  std::atomic<int> round{0};
  std::atomic<bool> stop{false};
  std::thread events([&] {
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Level = 4;
    while (!stop.load()) {
      const std::string data = "--|r" + std::to_string(round.load()) + "|" + std::string(200, 'x');
      EVENT_DATA_DESCRIPTOR item{};
      EventDataDescCreate(&item, data.data(), static_cast<ULONG>(data.size()));
      EventWrite(provider, &descriptor, 1, &item);
      // A steady few thousand events a second: enough for every round to write, few enough
      // that reading the round's file stays cheap in the sanitizer builds.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  const auto file = root_ / "Loop.bin";
  for (int r = 0; r < 60; ++r) {
    SCOPED_TRACE(r);
    round.store(r);
    const std::string mark = "|r" + std::to_string(r) + "|";
    m_service->StartTraceSession("Loop");
    m_service->EnableProvidersByGUID("Loop", {ByGuid(kRawGuidText, 5)});
    m_service->RedirectTrace("Loop");
    for (int i = 0; i < 3000 && ReadFile(file).find(mark) == std::string::npos; ++i) Sleep(10);
    m_service->StopTraceSession("Loop");
    const std::string written = ReadFile(file);
    EXPECT_NE(written.find(mark), std::string::npos) << "the redirect wrote nothing";
    EXPECT_TRUE(WholeFrames(written)) << written.size() << " bytes";
    if (HasFailure()) break;
  }
  stop.store(true);
  events.join();
  EventUnregister(provider);
  EXPECT_EQ(Log().find("ERROR # CEtwController::DropRedirect"), std::string::npos);
}

TEST_F(SessionOperationsTest, StartMakesAFreshSinkAndStopDropsIt) {
  m_service->StartTraceSession("Ops");
  auto first = m_service->GetTraceSink();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(dynamic_cast<DeviceFile*>(first.get()), nullptr);
  m_service->StartTraceSession("Ops");
  EXPECT_NE(m_service->GetTraceSink(), first);
  // Without force an existing sink stays; an unknown type keeps it too.
  EXPECT_EQ(m_service->InitializeDevice(1, false), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  auto current = m_service->GetTraceSink();
  EXPECT_EQ(m_service->InitializeDevice(9, true), 0u);
  EXPECT_EQ(m_service->GetTraceSink(), current);
  m_service->StopTraceSession("Ops");
  EXPECT_EQ(m_service->GetTraceSink(), nullptr);
}

TEST_F(SessionOperationsTest, RefusedStopKeepsProvidersAndSink) {
  m_service->StartTraceSession("Keep");
  m_service->EnableProviders("Keep", {ProviderSetting{"Unregistered", 4, 0, 0}});
  ASSERT_EQ(m_service->GetSessionProviders("Keep"), std::vector<std::string>{"Unregistered"});
  EXPECT_TRUE(Enabled(kZeroGuid));  // a name that is not registered enables the zero GUID
  // The platform refuses both the question whose session holds the name and the stop.
  sim::fail_next("ControlTraceW", 2, ERROR_ACCESS_DENIED);
  try {
    m_service->StopTraceSession("Keep");
    FAIL() << "a refused stop reported success";
  } catch (const QLXServiceFault& fault) {
    EXPECT_STREQ(fault.what(), " Calling CEtwController::StopSession failed");
    EXPECT_EQ(fault.errorCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(m_service->GetSessionProviders("Keep"), std::vector<std::string>{"Unregistered"});
  EXPECT_NE(m_service->GetTraceSink(), nullptr);
  // The stop disabled the provider enabled by name before it asked the platform.
  EXPECT_FALSE(Enabled(kZeroGuid));
  m_service->StopTraceSession("Keep");
  EXPECT_FALSE(Running(TEXT("Keep")));
}

TEST_F(SessionOperationsTest, EnableByNameSkipsAFailingProviderAndRecordsOnlyAccepted) {
  m_service->StartTraceSession("Names");
  sim::fail_next("EnableTraceEx2", 1, ERROR_ACCESS_DENIED);  // the platform refuses the first enable
  m_service->EnableProviders("Names", {ProviderSetting{"First", 4, 0, 0}, ProviderSetting{"", 4, 0, 0},
                                       ProviderSetting{"Second", 4, 0, 0}});
  EXPECT_EQ(m_service->GetSessionProviders("Names"), std::vector<std::string>{"Second"});
  EXPECT_NE(Log().find("INFO # Conduit::EnableProviders # All requested 3 providers have been enabled in session "
                       "'Names'."),
            std::string::npos);
  m_service->DisableProviders("Names", {"First", "Second"});
  EXPECT_TRUE(m_service->GetSessionProviders("Names").empty());
}

TEST_F(SessionOperationsTest, EnableByGuidStopsAtTheFirstFailure) {
  m_service->StartTraceSession("Guids");
  GUID guid{};
  ASSERT_EQ(CLSIDFromString(TEXT("{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81}"), &guid), 0);
  sim::fail_next("EventRegister", 1, ERROR_NO_SYSTEM_RESOURCES);
  try {
    m_service->EnableProvidersByGUID("Guids", {ByGuid(kGuid)});
    FAIL();
  } catch (const QLXServiceFault& fault) {
    EXPECT_STREQ(fault.what(), "Calling EventRegister failed");
    EXPECT_EQ(fault.errorCode, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
  }
  EXPECT_FALSE(Enabled(guid));
  // The first enabled, the second's text is no GUID: the first stays enabled.
  EXPECT_THROW(m_service->EnableProvidersByGUID("Guids", {ByGuid(kGuid), ByGuid("{5A1F0C3E}")}), QLXServiceFault);
  EXPECT_TRUE(Enabled(guid));
  // Enabled twice: one registration is kept, so one disable releases everything.
  m_service->EnableProvidersByGUID("Guids", {ByGuid(kGuid, 5)});
  m_service->DisableProvidersByGUID("Guids", {kGuid});
  EXPECT_FALSE(Enabled(guid));
  m_service->DisableProvidersByGUID("Guids", {kGuid});
  EXPECT_NE(Log().find(std::string("ERROR # Conduit::DisableProviders # ") + kGuid +
                       " Provider is not enabled in the session Guids: No providers disabled. 87"),
            std::string::npos);
}

TEST_F(SessionOperationsTest, SessionProvidersNeedAStartedSession) {
  EXPECT_THROW(m_service->GetSessionProviders(""), QLXServiceFault);
  try {
    m_service->GetSessionProviders("Nothing");
    FAIL();
  } catch (const QLXServiceFault& fault) {
    EXPECT_STREQ(fault.what(), "Session not started yet or not valid");
    EXPECT_EQ(fault.errorCode, 87u);
  }
}

TEST_F(SessionOperationsTest, StartWithProvidersIsAllOrNothing) {
  m_service->StartTraceSessionWithProviders("Together", {ProviderSetting{"One"}, ProviderSetting{"Two"}});
  EXPECT_TRUE(Running(TEXT("Together")));
  EXPECT_TRUE(Enabled(kZeroGuid));
  EXPECT_EQ(m_service->GetSessionProviders("Together"), (std::vector<std::string>{"One", "Two"}));
  m_service->StopTraceSession("Together");
  EXPECT_FALSE(Enabled(kZeroGuid));

  // The enable refused: the session this call started is stopped again.
  sim::fail_next("EnableTraceEx2", 1, ERROR_ACCESS_DENIED);
  try {
    m_service->StartTraceSessionWithProviders("Undone", {ProviderSetting{"One"}});
    FAIL();
  } catch (const QLXServiceFault& fault) {
    EXPECT_STREQ(fault.what(), "Calling CEtwController::EnableProvider failed.");
  }
  EXPECT_FALSE(Running(TEXT("Undone")));
  EXPECT_FALSE(Enabled(kZeroGuid));
  EXPECT_THROW(m_service->StartTraceSessionWithProviders("Empty", {}), QLXServiceFault);
  EXPECT_FALSE(Running(TEXT("Empty")));
}

// The file sink names its file "<session name>.bin" in the working directory.
class FileSinkNamesTest : public SessionOperationsTest {
 protected:
  void SetUp() override {
    SessionOperationsTest::SetUp();
    std::filesystem::current_path(root_ / "Windows" / "System32");
  }
  // Expects the call to be refused with the file sink's fault, and no .bin file anywhere.
  template <typename Call>
  void ExpectRefused(Call call) {
    try {
      call();
      ADD_FAILURE() << "accepted";
    } catch (const QLXServiceFault& fault) {
      EXPECT_STREQ(fault.what(), "Session name is not a valid file name for the file sink.");
      EXPECT_EQ(fault.errorCode, static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    // (The STP file sink's files, ProgramData\ETW-Traces\ETWTRACE_*.bin, are named by time.)
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      if (entry.path().parent_path().filename() == "ETW-Traces") continue;
      EXPECT_NE(entry.path().extension(), ".bin") << entry.path();
    }
  }
};

TEST_F(FileSinkNamesTest, AStartRefusesANameThatIsNoPlainFileNameAndChangesNothing) {
  m_service->StartTraceSession("Demo Session");
  const auto sink = m_service->GetTraceSink();
  for (const std::string name : {"..\\..\\x", "a/b", "C:x", "NUL", "com1.txt", "end.", "tab\t"}) {
    ExpectRefused([&] { m_service->StartTraceSession(name); });
    EXPECT_FALSE(Running(Util::to_wstring(name).c_str())) << name;
  }
  EXPECT_TRUE(Running(TEXT("Demo Session")));
  EXPECT_EQ(m_service->GetTraceSink(), sink);
}

TEST_F(FileSinkNamesTest, ARedirectIntoTheFileSinkRefusesSuchANameThatAnotherSinksStartAccepted) {
  m_service->SetTraceSinkType(3);  // the STP file sink names its files by time
  m_service->StartTraceSession("..\\..\\x");
  m_service->SetTraceSinkType(1);
  m_service->StartTraceSession("Safe");
  ASSERT_TRUE(Running(TEXT("..\\..\\x")));  // still running: the controller tracks one session
  ExpectRefused([&] { m_service->RedirectTrace("..\\..\\x"); });
  EXPECT_NE(Log().find("ERROR # Conduit::RedirectTrace # Session name is not a valid file name for the file sink"),
            std::string::npos);
}

// A second redirect of the running session is the same capture going on: the file keeps
// what the first one wrote, and only this session's events reach it.
TEST_F(FileSinkNamesTest, ARepeatedRedirectOfTheSessionGoesOnWritingItsFile) {
  REGHANDLE provider = 0;
  ASSERT_EQ(EventRegister(&kRawProvider, nullptr, nullptr, &provider), 0u);
  const auto path = root_ / "Windows" / "System32" / "Twice.bin";
  // The provider's user data travels without its first two bytes.
  const auto writeUntilInFile = [&](char mark) {
    char data[] = "--?event";
    data[2] = mark;
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Level = 4;
    EVENT_DATA_DESCRIPTOR item{};
    EventDataDescCreate(&item, data, sizeof(data));
    const auto holds = [&] {
      std::ifstream in(path, std::ios::binary);
      const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      return file.find(std::string(data + 2)) != std::string::npos;
    };
    // A redirect's consumer attaches while the call returns: events go on until one lands.
    for (int i = 0; i < 3000 && !holds(); ++i) {
      EXPECT_EQ(EventWrite(provider, &descriptor, 1, &item), 0u);
      Sleep(10);
    }
  };
  m_service->StartTraceSession("Twice");
  m_service->EnableProvidersByGUID("Twice", {ByGuid(kRawGuidText, 5)});
  m_service->RedirectTrace("Twice");
  writeUntilInFile('1');
  try {
    m_service->RedirectTrace("Elsewhere");
    ADD_FAILURE() << "a redirect of a session that is not running was accepted";
  } catch (const QLXServiceFault& fault) {
    EXPECT_STREQ(fault.what(), "Calling CEtwController::RedirectTrace failed.");
    EXPECT_EQ(fault.errorCode, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
  }
  m_service->RedirectTrace("Twice");
  writeUntilInFile('2');
  m_service->StopTraceSession("Twice");
  EventUnregister(provider);
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto first = file.find("1event");
  EXPECT_NE(first, std::string::npos);
  EXPECT_GT(file.find("2event"), first);
  EXPECT_NE(file.find("2event"), std::string::npos);
}

}  // namespace
