#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/devices.h"
#include "platform/core/faults.h"
#include "platform/core/reset.h"
#include "platform/core/text.h"

namespace {

// A kernel-style call: it returns its status rather than setting a last error.
std::int32_t query_widget() {
  PLATFORM_FAIL_STATUS_IF_ARMED("QueryWidget");
  return 0;
}

std::vector<std::string> g_trace;
void stop_step() { g_trace.push_back("stop"); }
void drop_step() { g_trace.push_back("drop"); }
void lay_step() { g_trace.push_back("lay"); }

TEST(Reset, RunsThePhasesInOrderWhateverOrderTheStepsJoinedIn) {
  platform::add_reset_step(platform::ResetPhase::lay_installed_software, &lay_step);
  platform::add_reset_step(platform::ResetPhase::drop_process_state, &drop_step);
  platform::add_reset_step(platform::ResetPhase::stop_running, &stop_step);
  platform::add_reset_step(platform::ResetPhase::stop_running, &stop_step);  // joining twice adds nothing
  platform::arm_fault("QueryWidget", 1, 5);
  g_trace.clear();
  platform::run_reset();
  EXPECT_EQ(g_trace, (std::vector<std::string>{"stop", "drop", "lay"}));
  EXPECT_EQ(query_widget(), 0);  // faults are dropped with the process state
}

TEST(Faults, TheNthCallFailsAndARecordingNamesWhatWasReachedByOtherThreadsOnly) {
  platform::start_fault_recording();
  platform::arm_fault("QueryWidget", 1, 5, 2);
  EXPECT_EQ(query_widget(), 0);
  EXPECT_EQ(query_widget(), 0);
  EXPECT_EQ(platform::armed_fault_count("QueryWidget"), 1u);
  EXPECT_EQ(query_widget(), 5);
  EXPECT_EQ(platform::armed_fault_count("QueryWidget"), 0u);
  platform::exempt_this_thread_from_faults(true);
  platform::arm_fault("QueryWidget", 1, 5);
  EXPECT_EQ(query_widget(), 0);  // neither failed nor counted
  platform::exempt_this_thread_from_faults(false);
  platform::clear_faults();
  const auto points = platform::stop_fault_recording();
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].function, "QueryWidget");
  EXPECT_EQ(points[0].kind, platform::FaultKind::status);
  EXPECT_EQ(points[0].calls, 3u);
  EXPECT_EQ(query_widget(), 0);
  EXPECT_TRUE(platform::stop_fault_recording().empty());
}

TEST(Names, FoldAsciiAndLatin1Only) {
  EXPECT_TRUE(platform::same_name(u"TDH.DLL", u"tdh.dll"));
  EXPECT_TRUE(platform::same_name(std::string("\xC3\x89t\xC3\xA9"), std::string("\xC3\xA9T\xC3\x89")));  // ÉtÉ
  EXPECT_FALSE(platform::same_name(u"\u00D7", u"\u00F7"));  // multiplication and division signs
  EXPECT_FALSE(platform::same_name(u"Conduit", u"Conduit2"));
  EXPECT_EQ(platform::fold_name(std::string("ProgramData")), "programdata");
}

TEST(Status, MapsAsRtlNtStatusToDosError) {
  EXPECT_EQ(platform::nt_status_to_win32_error(0), 0u);
  EXPECT_EQ(platform::nt_status_to_win32_error(platform::kStatusInvalidDeviceRequest), 1u);
  EXPECT_EQ(platform::nt_status_to_win32_error(static_cast<std::int32_t>(0xC0000022)), 5u);
  EXPECT_EQ(platform::nt_status_to_win32_error(static_cast<std::int32_t>(0xC0000023)), 122u);
  EXPECT_EQ(platform::nt_status_to_win32_error(static_cast<std::int32_t>(0x80000005)), 234u);
  EXPECT_EQ(platform::nt_status_to_win32_error(static_cast<std::int32_t>(0xC0070490)), 0x490u);  // FACILITY_NTWIN32
  EXPECT_EQ(platform::nt_status_to_win32_error(static_cast<std::int32_t>(0xC0DEC0DE)), 317u);
}

}  // namespace
