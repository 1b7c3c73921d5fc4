#include "logged_call.h"

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "testing/log_file.h"
#include "windows.h"

namespace {

class LoggedCallOrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
  }

  std::unique_ptr<LogFile> log_;
  int cleanUps_ = 0;
};

TEST_F(LoggedCallOrTest, AnOperationThatReturnsIsAnsweredAsItIsWithoutALineOrACleanUp) {
  const DWORD status = LoggedCallOr(
      "Sink::Write", ERROR_INTERNAL_ERROR, []() -> DWORD { return ERROR_INVALID_PARAMETER; },
      [this] { ++cleanUps_; });
  EXPECT_EQ(status, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(cleanUps_, 0);
  EXPECT_FALSE(log_->Contains("EXCEPTION"));
}

TEST_F(LoggedCallOrTest, AThrownExceptionIsLoggedUnderTheNameCleanedUpOnceAndAnsweredWithTheFallback) {
  const DWORD standard = LoggedCallOr(
      "Sink::Write", ERROR_INTERNAL_ERROR, []() -> DWORD { throw std::runtime_error("disk gone"); },
      [this] { ++cleanUps_; });
  EXPECT_EQ(standard, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
  EXPECT_EQ(log_->Count("STANDARD EXCEPTION Fn: Sink::Write : Exception: disk gone\n"), 1u);

  const std::string generic = LoggedCallOr("Store::Path", std::string("none"), []() -> std::string { throw 5; });
  EXPECT_EQ(generic, "none");
  EXPECT_EQ(log_->Count("GENERIC EXCEPTION Fn: Store::Path\n"), 1u);
  EXPECT_EQ(cleanUps_, 1);
}

}  // namespace
