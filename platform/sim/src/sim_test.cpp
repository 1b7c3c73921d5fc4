#include "sim/sim.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform_state.h"
#include "winbase.h"

namespace {

TEST(FaultInjection, FailsExactlyTheArmedNumberOfCalls) {
  sim::reset();
  sim::fail_next("CreateFileW", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform::take_fault("CreateFileW"), std::optional<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform::take_fault("ReadFile"), std::nullopt);
  EXPECT_EQ(platform::take_fault("CreateFileW"), std::optional<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(platform::take_fault("CreateFileW"), std::nullopt);
}

TEST(FaultInjection, ResetDisarmsEverything) {
  sim::fail_next("WriteFile", 5, ERROR_DISK_FULL);
  sim::reset();
  EXPECT_EQ(platform::take_fault("WriteFile"), std::nullopt);
}

TEST(TargetRoot, ResetGivesAFreshRootWithTheStandardFolders) {
  sim::reset();
  auto first = sim::target_root();
  EXPECT_TRUE(std::filesystem::is_directory(first / "ProgramData"));
  EXPECT_TRUE(std::filesystem::is_directory(first / "Windows" / "System32"));
  sim::reset();
  EXPECT_NE(sim::target_root(), first);
  EXPECT_FALSE(std::filesystem::exists(first));
}

TEST(Environment, OverlayHidesAndDefaultsComeFromTheRoot) {
  sim::reset();
  EXPECT_EQ(platform::environment("programdata"), (sim::target_root() / "ProgramData").string());
  sim::set_environment_variable("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(platform::environment("PROGRAMDATA"), std::nullopt);
  sim::set_environment_variable("Conduit_Test", "x");
  EXPECT_EQ(platform::environment("CONDUIT_TEST"), std::optional<std::string>("x"));
  sim::reset();
  EXPECT_EQ(platform::environment("CONDUIT_TEST"), std::nullopt);
}

}  // namespace

namespace {

TEST(TargetRoot, ResetKeepingTheCurrentRootKeepsItsFiles) {
  sim::reset();
  const auto root = sim::target_root();
  std::ofstream(root / "kept.txt") << "x";
  sim::reset(root);
  EXPECT_TRUE(std::filesystem::exists(root / "kept.txt"));
  sim::reset();
  EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
