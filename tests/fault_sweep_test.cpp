// A fault sweep of the hosted service and the driver: one scripted scenario (a session
// started, providers enabled by name and by GUID, redirected into the plain file sink, then
// the STP file sink, then the hardware through TXR with events written, providers listed,
// manifests fetched, sessions stopped) runs once clean while the stand-ins record which
// platform and kernel functions the service and the driver reach, then once for each of those
// functions failing at its first call and at a later one. Whatever fails, the service must
// answer every request (a failure answer will do), log what failed, serve the clean scenario
// afterwards, and leave no thread or handle behind once stopped; the driver must leave no
// pool behind when it is unloaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conduit_client.h"
#include "demo_providers.h"
#include "evntprov.h"
#include "sim/sim.h"
#include "sim/wait.h"
#include "testing/host_test_support.h"
#include "testing/hosted_conduit.h"
#include "testing/log_file.h"
#include "txr_boot.h"

namespace {

using conduit::host::ConduitClient;
using conduit::host::ConnectionError;

constexpr char kDemoName[] = "Conduit-Demo-Events";
constexpr char kDemoGuid[] = "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}";
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::int32_t kStatusInsufficientResources = static_cast<std::int32_t>(0xC000009A);
constexpr char kRawGuid[] = "{4B32ADDB-AE0F-4395-804B-0C1AAD9E6756}";  // its events travel undecoded
constexpr GUID kRawProvider = {0x4B32ADDB, 0xAE0F, 0x4395, {0x80, 0x4B, 0x0C, 0x1A, 0xAD, 0x9E, 0x67, 0x56}};
constexpr unsigned kPlainSink = 1;
constexpr unsigned kHardwareSink = 2;
constexpr unsigned kStpSink = 3;

// A few events of the raw provider, written from the test's thread (excused from faults), so
// that the redirect's decoder and sink have work while faults are armed.
void WriteRawEvents(REGHANDLE provider) {
  unsigned char payload[64] = {};
  for (unsigned i = 0; i < 4; ++i) {
    payload[2] = static_cast<unsigned char>(i);
    EVENT_DESCRIPTOR descriptor{};
    descriptor.Id = 1;
    descriptor.Level = 4;
    EVENT_DATA_DESCRIPTOR data{};
    EventDataDescCreate(&data, payload, sizeof payload);
    EventWrite(provider, &descriptor, 1, &data);
  }
}

struct Outcome {
  bool answered_all = true;  // no request went unanswered
  unsigned failures = 0;     // answers with a failure status
  std::string first_unanswered;
};

// The scenario's requests, each answered or not; sessions carry `tag` so that a run after a
// faulted one never meets what the faulted one left.
Outcome RunScenario(ConduitClient& client, const std::string& tag, REGHANDLE raw) {
  Outcome outcome;
  const auto ask = [&](const char* what, auto request) {
    if (!outcome.answered_all) return;
    try {
      if (request().status != 0) ++outcome.failures;
    } catch (const ConnectionError& error) {
      outcome.answered_all = false;
      outcome.first_unanswered = std::string(what) + ": " + error.what();
    }
  };
  const std::string plain = "Sweep Plain " + tag;
  const std::string stp = "Sweep Stp " + tag;
  const std::string hardware = "Sweep Hardware " + tag;
  ask("sync type 1", [&] { return client.set_sync_type(kPlainSink); });
  ask("start", [&] { return client.start_session(plain); });
  ask("enable by name", [&] { return client.enable_providers(plain, {{kDemoName, 5, 0, 0}}); });
  ask("enable by GUID", [&] { return client.enable_providers_by_guid(plain, {{kDemoGuid, 4, 0, 0}}); });
  ask("redirect plain", [&] { return client.redirect(plain); });
  ask("providers", [&] { return client.all_providers(); });
  ask("manifests", [&] { return client.provider_manifests({kDemoName}); });
  ask("stop plain", [&] { return client.stop_session(plain); });
  ask("sync type 3", [&] { return client.set_sync_type(kStpSink); });
  ask("start stp", [&] { return client.start_session(stp); });
  ask("enable stp by GUID", [&] { return client.enable_providers_by_guid(stp, {{kDemoGuid, 4, 0, 0}}); });
  ask("redirect stp", [&] { return client.redirect(stp); });
  ask("disable by name", [&] { return client.disable_providers(stp, {kDemoName}); });
  ask("stop stp", [&] { return client.stop_session(stp); });
  ask("sync type 2", [&] { return client.set_sync_type(kHardwareSink); });
  ask("start hardware", [&] { return client.start_session(hardware); });
  ask("enable raw by GUID", [&] { return client.enable_providers_by_guid(hardware, {{kRawGuid, 5, 0, 0}}); });
  ask("redirect hardware", [&] { return client.redirect(hardware); });
  WriteRawEvents(raw);
  ask("stop hardware", [&] { return client.stop_session(hardware); });
  return outcome;
}

using host_testing::ProcessThreadCount;

// A detached thread's end reaches the process a moment after its last step.
template <typename Condition>
bool Eventually(Condition condition) {
  return sim::wait_for(condition, std::chrono::seconds(5));
}

// A failed release leaves its object open by definition: those runs are not held to the
// clean run's count of what is left.
bool Releases(const std::string& function) {
  static const std::set<std::string> kReleases = {"CloseHandle", "RegCloseKey", "closesocket", "FreeLibrary",
                                                  "LocalFree", "GlobalFree", "HeapFree", "CoTaskMemFree",
                                                  "CloseTrace", "EventUnregister", "WSACleanup"};
  return kReleases.count(function) != 0;
}
// A request the connection could not carry in (recv) or whose answer it could not carry out
// (send) cannot be answered on that connection: those runs are held to the service's
// survival (the fresh scenario) only.
bool Carries(const std::string& function) { return function == "recv" || function == "send"; }

// Each run takes a second or so: the CTest sweeps an evenly spread share of the injections,
// starting at CONDUIT_FAULT_SWEEP_OFFSET (0 unless set); CONDUIT_FAULT_SWEEP=all runs every one,
// and CONDUIT_FAULT_SWEEP=<function>#<n> only the n-th call of that function failing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CONDUIT_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CONDUIT_SANITIZED_BUILD 1
#endif
#endif
#ifdef CONDUIT_SANITIZED_BUILD
constexpr std::size_t kSampledInjections = 8;  // the sanitizer builds run it several times slower
#else
constexpr std::size_t kSampledInjections = 30;
#endif

struct Fault {
  sim::FaultPoint point;
  unsigned nth = 1;
};

class FaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    m_previous = std::filesystem::current_path();
    // The test's own calls (its resets, the port probe, its waits) are not the service's.
    sim::excuse_this_thread_from_faults();
  }
  void TearDown() override {
    sim::excuse_this_thread_from_faults(false);
    std::filesystem::current_path(m_previous);
    sim::reset();
  }

  static std::string ServiceLog() {
    return LogFile(sim::target_root() / "ProgramData" / "Conduit_logs.txt").Read();
  }

  // One run on a fresh machine: the scenario with `fault` armed (none: clean), then a clean
  // scenario on the same service, then the stop. Adds what went wrong to `problems`.
  void Run(const Fault* fault, std::vector<std::string>& problems) {
    sim::reset();
    sim::set_etw_session_buffer(256, 16);
    std::filesystem::current_path(sim::target_root());
    conduit::target::install_demo_providers(conduit::target::default_manifest_folder());
    const std::string name = fault == nullptr ? "clean" : fault->point.function + "#" + std::to_string(fault->nth);
    const auto problem = [&](const std::string& what) { problems.push_back(name + ": " + what); };
    std::ostringstream console;
    if (const std::string failed = conduit::target::load_txr(false, console); !failed.empty()) {
      problem("TXR did not load: " + failed);
      return;
    }
    REGHANDLE raw = 0;
    EventRegister(&kRawProvider, nullptr, nullptr, &raw);
    // What the driver's load reached is not the scenario's: the clean run records from here.
    if (fault == nullptr) sim::start_recording_faults();
    const std::size_t threads = ProcessThreadCount();
    const std::size_t handles = sim::open_handle_count();
    // The driver goes last, once the service has let go of it and the leftovers are counted:
    // it must leave no pool behind.
    struct Unload {
      std::function<void(const std::string&)> problem;
      REGHANDLE raw;
      ~Unload() {
        EventUnregister(raw);
        std::ostringstream unloaded;
        if (!conduit::target::unload_txr(unloaded)) problem("the driver left pool behind:\n" + unloaded.str());
      }
    } unload{problem, raw};
    {
      conduit::testing::HostedConduit service;
      if (fault != nullptr) Arm(*fault);
      if (!service.Start()) {
        sim::clear_faults();
        // A start that fails is a failure answer of its own: the control manager reports it.
        if (fault == nullptr) problem("the clean service did not start");
        return;
      }
      ConduitClient client("127.0.0.1", service.Port(), std::chrono::seconds(5));
      const Outcome faulted = RunScenario(client, "A", raw);
      const bool taken = fault != nullptr && !sim::fault_pending(fault->point.function);
      sim::clear_faults();
      if (!faulted.answered_all && (fault == nullptr || !Carries(fault->point.function))) problem("unanswered: " + faulted.first_unanswered);
      if (fault == nullptr && faulted.failures != 0) problem("the clean scenario failed");
      if (taken && faulted.failures != 0 && ServiceLog().find("rror") == std::string::npos) {
        problem("failure answered but not logged");
      }
      if (faulted.answered_all) {
        ConduitClient fresh("127.0.0.1", service.Port(), std::chrono::seconds(5));
        const Outcome clean = RunScenario(fresh, "B", raw);
        if (!clean.answered_all) problem("afterwards unanswered: " + clean.first_unanswered);
        if (clean.failures != 0) problem("afterwards " + std::to_string(clean.failures) + " failures");
      }
    }
    if (m_print_log) std::printf("%s\n", ServiceLog().c_str());
    // What a clean run keeps past its stop (the log file the process holds open, say) is
    // the measure: a faulted run may leave no more.
    const auto left_threads = [&] { return ProcessThreadCount() - std::min(ProcessThreadCount(), threads); };
    const auto left_handles = [&] { return sim::open_handle_count() - std::min(sim::open_handle_count(), handles); };
    if (fault == nullptr) {
      Eventually([&] { return left_threads() == 0 && left_handles() == 0; });
      m_clean_threads = left_threads();
      m_clean_handles = left_handles();
      return;
    }
    if (!Eventually([&] { return left_threads() <= m_clean_threads; })) {
      problem(std::to_string(left_threads()) + " threads left");
    }
    if (!Releases(fault->point.function) && !Eventually([&] { return left_handles() <= m_clean_handles; })) {
      problem(std::to_string(left_handles()) + " handles left");
    }
  }

  static void Arm(const Fault& fault) {
    if (fault.point.status) {
      sim::fail_nth(fault.point.function, fault.nth, static_cast<std::uint32_t>(kStatusInsufficientResources));
    } else {
      sim::fail_nth(fault.point.function, fault.nth, kErrorNotEnoughMemory);
    }
  }

  std::filesystem::path m_previous;
  std::size_t m_clean_threads = 0;
  std::size_t m_clean_handles = 0;
  bool m_print_log = false;
};

TEST_F(FaultSweep, EveryPlatformFunctionTheScenarioReachesMayFailWithoutLosingTheService) {
  std::vector<std::string> problems;
  Run(nullptr, problems);  // records what the scenario reaches
  const std::vector<sim::FaultPoint> reached = sim::stop_recording_faults();
  ASSERT_TRUE(problems.empty()) << problems.front();
  ASSERT_FALSE(reached.empty());
  std::printf("clean run: %zu threads and %zu handles kept past the stop\n", m_clean_threads, m_clean_handles);

  // Each function at its first call, and at a later one or two: the middle and the last of
  // the clean run's calls (the two runs of the scenario make at least that many).
  std::vector<Fault> faults;
  for (const sim::FaultPoint& point : reached) {
    std::set<unsigned> nths = {1};
    if (point.calls > 2) nths.insert(point.calls / 2);
    if (point.calls > 1) nths.insert(point.calls);
    for (unsigned nth : nths) faults.push_back(Fault{point, nth});
  }
  std::vector<Fault> chosen = faults;
  const char* all_of_them = std::getenv("CONDUIT_FAULT_SWEEP");
  const std::string which = all_of_them != nullptr ? all_of_them : "";
  if (const auto hash = which.find('#'); hash != std::string::npos) {
    // One injection, to look into it: its service log is printed.
    chosen.clear();
    for (const Fault& fault : faults) {
      if (fault.point.function == which.substr(0, hash)) {
        chosen.push_back(Fault{fault.point, static_cast<unsigned>(std::strtoul(which.c_str() + hash + 1, nullptr, 10))});
        m_print_log = true;
        break;
      }
    }
    ASSERT_FALSE(chosen.empty()) << which.substr(0, hash) << " is not reached by the scenario";
  } else if (which != "all" && faults.size() > kSampledInjections) {
    const char* offset_text = std::getenv("CONDUIT_FAULT_SWEEP_OFFSET");
    const std::size_t offset = offset_text != nullptr ? std::strtoul(offset_text, nullptr, 10) : 0;
    chosen.clear();
    for (std::size_t i = 0; i < kSampledInjections; ++i) {
      chosen.push_back(faults[(offset + i * faults.size() / kSampledInjections) % faults.size()]);
    }
  }
  for (const Fault& fault : chosen) Run(&fault, problems);

  std::string functions;
  for (const sim::FaultPoint& point : reached) functions += " " + point.function + "x" + std::to_string(point.calls);
  std::printf("fault sweep: %zu functions reached (%s); %zu of %zu injections run, %zu problems\n",
              reached.size(), functions.c_str(), chosen.size(), faults.size(), problems.size());
  std::string all;
  for (const std::string& p : problems) all += "\n  " + p;
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems in " << chosen.size() << " injections:" << all;
}

}  // namespace
