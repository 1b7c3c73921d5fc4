#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "sim/sim.h"
#include "winbase.h"
#include "winsock2.h"

namespace {

class Threads : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

// A thread that runs until the test releases it, then returns a chosen code.
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<bool> finished{false};
  DWORD code = 0;
};

DWORD WINAPI wait_at_gate(LPVOID parameter) {
  auto* gate = static_cast<Gate*>(parameter);
  while (!gate->open.load()) std::this_thread::yield();
  const DWORD code = gate->code;
  // Last touch of the gate: the test may destroy it as soon as it sees this.
  gate->finished.store(true);
  return code;
}

TEST_F(Threads, WaitReturnsWhenTheThreadEnds) {
  Gate gate;
  gate.code = 42;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, wait_at_gate, &gate, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());

  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);

  gate.open = true;
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  // A finished thread stays signalled.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(Threads, ClosingTheHandleOfARunningThreadDetachesIt) {
  Gate gate;
  HANDLE thread = CreateThread(nullptr, 0, wait_at_gate, &gate, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  gate.open = true;
  while (!gate.finished.load()) std::this_thread::yield();
}

TEST_F(Threads, ThreadCallsOnOtherHandlesFail) {
  // A socket handle is no kernel object: waiting on it fails, and CloseHandle leaves it open.
  WSADATA data{};
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(socket, INVALID_SOCKET);
  const HANDLE as_handle = reinterpret_cast<HANDLE>(socket);
  EXPECT_EQ(WaitForSingleObject(as_handle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(as_handle));
  EXPECT_EQ(closesocket(socket), 0);
  WSACleanup();
}

TEST_F(Threads, ArmedCreateThreadFailsWithoutRunningTheRoutine) {
  Gate gate;
  gate.open = true;
  sim::fail_next("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateThread(nullptr, 0, wait_at_gate, &gate, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(gate.finished.load());
}

TEST_F(Threads, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION section;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 1024));
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_EQ(section.RecursionCount, 2);

  std::atomic<bool> entered{false};
  std::thread other([&] {
    EnterCriticalSection(&section);
    entered = true;
    LeaveCriticalSection(&section);
  });
  LeaveCriticalSection(&section);
  // Still held once: the other thread cannot be inside.
  std::this_thread::yield();
  EXPECT_FALSE(entered.load());
  LeaveCriticalSection(&section);
  other.join();
  EXPECT_TRUE(entered.load());
  DeleteCriticalSection(&section);
}

TEST_F(Threads, CriticalSectionSerialisesConcurrentUpdates) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        EnterCriticalSection(&section);
        ++counter;
        LeaveCriticalSection(&section);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(counter, 40000);
  DeleteCriticalSection(&section);
}

TEST_F(Threads, TlsValuesArePerThreadAndClearedByFree) {
  const DWORD index = TlsAlloc();
  ASSERT_NE(index, TLS_OUT_OF_INDEXES);
  EXPECT_NE(index, 0u);
  int mine = 1;
  ASSERT_TRUE(TlsSetValue(index, &mine));

  void* seen_by_other = &mine;
  std::thread other([&] {
    seen_by_other = TlsGetValue(index);
    int theirs = 2;
    TlsSetValue(index, &theirs);
  });
  other.join();
  EXPECT_EQ(seen_by_other, nullptr);
  SetLastError(ERROR_INVALID_DATA);
  EXPECT_EQ(TlsGetValue(index), &mine);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

  ASSERT_TRUE(TlsFree(index));
  const DWORD reused = TlsAlloc();
  ASSERT_NE(reused, TLS_OUT_OF_INDEXES);
  EXPECT_EQ(TlsGetValue(reused), nullptr);
  EXPECT_TRUE(TlsFree(reused));
  EXPECT_FALSE(TlsFree(reused));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(TlsGetValue(TLS_OUT_OF_INDEXES - 1), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Threads, ArmedTlsFaults) {
  sim::fail_next("TlsAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(TlsAlloc(), TLS_OUT_OF_INDEXES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  const DWORD index = TlsAlloc();
  sim::fail_next("TlsSetValue", 1, ERROR_INVALID_PARAMETER);
  int value = 0;
  EXPECT_FALSE(TlsSetValue(index, &value));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(TlsGetValue(index), nullptr);
  TlsFree(index);
}

TEST(Memory, ZeroInitialisedBlocksAndFreeSemantics) {
  sim::reset();
  auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
  EXPECT_EQ(LocalFree(block), nullptr);
  // A second free is refused rather than corrupting the heap.
  EXPECT_EQ(LocalFree(block), block);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(nullptr), nullptr);

  void* global = GlobalAlloc(GPTR, 8);
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(GlobalFree(global), nullptr);

  sim::fail_next("GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GlobalAlloc(GPTR, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace

namespace {

// The process id is kept once asked for; a forked child (the launcher forks its service) must
// not go on with its parent's.
TEST(ProcessId, IsTheProcessOwnAlsoInAForkedChild) {
  const DWORD parent = GetCurrentProcessId();
  EXPECT_EQ(parent, static_cast<DWORD>(::getpid()));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(GetCurrentProcessId() == static_cast<DWORD>(::getpid()) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child answered its parent's id";
}

}  // namespace
