#include "sim/sim.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/core/faults.h"
#include "platform/core/target.h"
#include "platform/core/text.h"
#include "win32_controls/modules_table.h"
#include "windows.h"
#include "winreg.h"
#include "winsock2.h"
#include "winsvc.h"

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

// A process that ends without exit handlers (a death test's child) still removes the root it
// made; a forked child that ends leaves its parent's root alone.
TEST(TargetRoot, AProcessEndingAtOnceRemovesItsOwnRootAndOnlyIt) {
  sim::reset();
  const std::filesystem::path parents = sim::target_root();
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sim::reset();  // the child's own root
    const std::string own = sim::target_root().string() + "\n";
    if (::write(pipeFds[1], own.data(), own.size()) < 0) std::_Exit(3);
    sim::exit_now(0);
  }
  ::close(pipeFds[1]);
  char buffer[4096] = {};
  const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer - 1);
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_GT(got, 1);
  const std::filesystem::path childs(std::string(buffer, static_cast<std::size_t>(got) - 1));
  EXPECT_NE(childs, parents);
  EXPECT_FALSE(std::filesystem::exists(childs));

  const pid_t second = ::fork();
  ASSERT_GE(second, 0);
  if (second == 0) std::exit(0);  // exit handlers run, the root is the parent's
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  EXPECT_TRUE(std::filesystem::is_directory(parents));
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

namespace {

TEST(BuiltInModules, TdhLoadsFromTheSystemDirectoryAfterAReset) {
  sim::reset();
  char system[MAX_PATH] = {};
  ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
  HMODULE tdh = LoadLibraryA((std::string(system) + "\\tdh.dll").c_str());
  ASSERT_NE(tdh, nullptr);
  EXPECT_TRUE(FreeLibrary(tdh));
  // A module a test removed is back after the next reset.
  platform::unregister_module("tdh.dll");
  EXPECT_EQ(LoadLibraryA("tdh.dll"), nullptr);
  sim::reset();
  HMODULE again = LoadLibraryA("TDH");
  EXPECT_NE(again, nullptr);
  FreeLibrary(again);
}

DWORD WINAPI idle(LPVOID) { return 0; }

TEST(Handles, ValuesOfEveryKindAreDistinct) {
  sim::reset();
  std::set<std::uintptr_t> values;
  auto add = [&](const void* handle) { return values.insert(reinterpret_cast<std::uintptr_t>(handle)).second; };

  HANDLE file = CreateFileW(platform::utf8_to_utf16((sim::target_root() / "f").string()).c_str(), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, idle, nullptr, 0, nullptr);
  WSADATA data{};
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\HandleTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  HMODULE module = LoadLibraryA("tdh.dll");

  EXPECT_TRUE(add(file));
  EXPECT_TRUE(add(thread));
  EXPECT_TRUE(add(reinterpret_cast<const void*>(socket)));
  EXPECT_TRUE(add(key));
  EXPECT_TRUE(add(manager));
  EXPECT_TRUE(add(module));
  // A handle of one kind is no handle of another.
  EXPECT_NE(closesocket(static_cast<SOCKET>(reinterpret_cast<std::uintptr_t>(file))), 0);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(key)));
  EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(thread)));

  EXPECT_TRUE(CloseHandle(file));
  WaitForSingleObject(thread, INFINITE);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(closesocket(socket), 0);
  WSACleanup();
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace

namespace {

// A kernel-style call of a stand-in: it returns its status rather than setting a last error.
std::int32_t allocate_widget() {
  PLATFORM_FAIL_STATUS_IF_ARMED("AllocateWidget");
  return 0;
}

TEST(FaultInjection, AnNtStatusFunctionReturnsTheArmedStatus) {
  sim::reset();
  const std::int32_t insufficient = static_cast<std::int32_t>(0xC000009A);  // STATUS_INSUFFICIENT_RESOURCES
  sim::fail_next_status("AllocateWidget", 1, insufficient);
  EXPECT_EQ(allocate_widget(), insufficient);
  EXPECT_EQ(allocate_widget(), 0);
}

}  // namespace
