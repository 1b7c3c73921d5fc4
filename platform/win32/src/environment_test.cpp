#include <gtest/gtest.h>

#include <cstring>

#include "sim/sim.h"
#include "winbase.h"

namespace {

class Environment : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

TEST_F(Environment, VariableSizesFollowWindows) {
  sim::set_environment_variable("PROGRAMDATA", "C:\\ProgramData");
  WCHAR buffer[64];
  // Fits: the length without the terminator.
  EXPECT_EQ(GetEnvironmentVariableW(u"ProgramData", buffer, 64), 14u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\ProgramData");
  // Exactly one short: the size needed, terminator included, and the buffer untouched.
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(GetEnvironmentVariableW(u"PROGRAMDATA", buffer, 14), 15u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(GetEnvironmentVariableW(u"PROGRAMDATA", nullptr, 0), 15u);
  EXPECT_EQ(GetEnvironmentVariableW(u"PROGRAMDATA", buffer, 15), 14u);

  sim::set_environment_variable("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(GetEnvironmentVariableW(u"PROGRAMDATA", buffer, 64), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

TEST_F(Environment, NonAsciiValuesArriveAsUtf16) {
  sim::set_environment_variable("CONDUIT_NAME", "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
  WCHAR buffer[16];
  EXPECT_EQ(GetEnvironmentVariableW(u"CONDUIT_NAME", buffer, 16), 7u);
  EXPECT_EQ(std::u16string(buffer), u"Gr\u00FC\u00DF \U0001F600");
}

TEST_F(Environment, ModuleFileNameTruncatesAsWindowsDoes) {
  sim::set_module_path("C:\\Tools\\Conduit.exe");  // 20 characters
  WCHAR wide[32];
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 32), 20u);
  EXPECT_EQ(std::u16string(wide), u"C:\\Tools\\Conduit.exe");

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleFileNameW(nullptr, wide, 20), 20u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(wide), u"C:\\Tools\\Conduit.ex");

  char narrow[8];
  EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, 8), 8u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(narrow, "C:\\Tool");

  char full[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(nullptr, full, MAX_PATH), 20u);
  EXPECT_STREQ(full, "C:\\Tools\\Conduit.exe");
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x1234), full, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Environment, WellKnownFoldersLieInTheTargetRoot) {
  char buffer[MAX_PATH] = {};
  const std::string system = (sim::target_root() / "Windows" / "System32").string();
  EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), system.size());
  EXPECT_EQ(std::string(buffer), system);
  EXPECT_EQ(GetSystemDirectoryA(buffer, 3), system.size() + 1);

  const UINT length = GetTempPathA(MAX_PATH, buffer);
  const std::string temp = (sim::target_root() / "Temp").string() + "\\";
  EXPECT_EQ(length, temp.size());
  EXPECT_EQ(std::string(buffer), temp);

  sim::set_environment_variable("TEMP", "D:\\scratch\\");
  EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 11u);
  EXPECT_STREQ(buffer, "D:\\scratch\\");
  sim::set_environment_variable("TEMP", "D:\\scratch");
  EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 11u);
  EXPECT_STREQ(buffer, "D:\\scratch\\");

  WCHAR directory[4];
  const DWORD needed = GetCurrentDirectoryW(4, directory);
  ASSERT_GT(needed, 4u);
  std::u16string current(needed, u'\0');
  EXPECT_EQ(GetCurrentDirectoryW(needed, current.data()), needed - 1);

  sim::fail_next("GetTempPathA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Environment, PerformanceCounterRunsAtTheConfiguredFrequency) {
  LARGE_INTEGER frequency{};
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 10'000'000);

  LARGE_INTEGER first{}, second{};
  ASSERT_TRUE(QueryPerformanceCounter(&first));
  ASSERT_TRUE(QueryPerformanceCounter(&second));
  EXPECT_GE(second.QuadPart, first.QuadPart);

  sim::set_performance_frequency(1'000'000'000);
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 1'000'000'000);
  // At 1 GHz the counter is the monotonic clock in nanoseconds; 10 MHz ticks are 100 times
  // coarser, so the faster counter reads at least 99 times the slower one.
  LARGE_INTEGER fast{};
  ASSERT_TRUE(QueryPerformanceCounter(&fast));
  EXPECT_GE(fast.QuadPart / 100, second.QuadPart - 1);

  sim::reset();
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
}

TEST_F(Environment, DebuggerOutputIsCapturedUntilCleared) {
  OutputDebugStringW(u"Open Device Successfully ----------------");
  OutputDebugStringW(u"second");
  OutputDebugStringW(nullptr);
  EXPECT_EQ(sim::debugger_output(),
            (std::vector<std::u16string>{u"Open Device Successfully ----------------", u"second"}));
  sim::clear_debugger_output();
  EXPECT_TRUE(sim::debugger_output().empty());
  OutputDebugStringW(u"x");
  sim::reset();
  EXPECT_TRUE(sim::debugger_output().empty());
}

}  // namespace
