#include "binary_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "testing/failure_text.h"
#include "testing/log_file.h"
#include "testing/wire_bytes.h"

// The largest single allocation the watching thread made, so that tests can show a
// declared length never turns into an allocation of that size.
namespace {
thread_local bool t_watching = false;
std::atomic<std::size_t> g_largestAllocation{0};

void RecordAllocation(std::size_t size) {
  if (t_watching && size > g_largestAllocation) {
    g_largestAllocation = size;
  }
}

class AllocationWatch {
 public:
  AllocationWatch() {
    g_largestAllocation = 0;
    t_watching = true;
  }
  ~AllocationWatch() { t_watching = false; }
  std::size_t Largest() const { return g_largestAllocation; }
};
}  // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WATCH_WITH_SANITIZER_HOOKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define WATCH_WITH_SANITIZER_HOOKS 1
#endif

#if defined(WATCH_WITH_SANITIZER_HOOKS)
// The sanitizer owns operator new; its allocation hook sees every allocation instead.
// Declared here as the sanitizer runtimes export it: GCC installs no header for it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
namespace {
void OnMalloc(const volatile void*, std::size_t size) { RecordAllocation(size); }
void OnFree(const volatile void*) {}
const int g_hooksInstalled = __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
}  // namespace
#else
// The replacement pairs malloc with free on purpose; GCC cannot see that through new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  RecordAllocation(size);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#endif

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<char> Bytes(std::initializer_list<int> values) {
  std::vector<char> bytes;
  for (int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

class BinaryStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_.emplace();
  }
  std::optional<LogFile> log_;
};

TEST_F(BinaryStreamTest, WritesTextAsCountThenBytesWithoutTerminator) {
  BinaryStream stream;
  stream << std::string("abc");
  EXPECT_EQ(ContentOf(stream), Bytes({0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63}));

  BinaryStream empty;
  empty << std::string();
  EXPECT_EQ(ContentOf(empty), Bytes({0x00, 0x00, 0x00, 0x00}));
}

TEST_F(BinaryStreamTest, RoundTripsEveryItemKeepingZeroBytesInTexts) {
  BinaryStream nested;
  nested << UINT32{7} << std::string("inner");
  BinaryStream stream;
  const UINT8 level = 5;
  stream.writebytes(&level, 1);
  stream << UINT32{0xFFFFFFFF} << ULONGLONG{0xFFFFFFFFFFFFFFFFULL} << std::string("te\0xt", 5) << nested;

  UINT8 levelRead = 0;
  UINT32 u32 = 0;
  ULONGLONG u64 = 0;
  std::string text;
  BinaryStream nestedRead;
  stream >> levelRead >> u32 >> u64 >> text >> nestedRead;
  EXPECT_EQ(levelRead, 5);
  EXPECT_EQ(u32, 0xFFFFFFFFu);
  EXPECT_EQ(u64, 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(text, std::string("te\0xt", 5));
  EXPECT_EQ(ContentOf(nestedRead), ContentOf(nested));
  EXPECT_EQ(stream.GetRemainingSize(), 0u);
}

TEST_F(BinaryStreamTest, SizeCountsEverythingWrittenWhateverHasBeenRead) {
  BinaryStream stream;
  stream << UINT32{1} << UINT32{2};
  UINT32 first = 0;
  stream >> first;
  EXPECT_EQ(stream.GetSize(), 8u);
  // GetBuffer copies the whole content and does not move the read position.
  EXPECT_EQ(ContentOf(stream), Bytes({1, 0, 0, 0, 2, 0, 0, 0}));
  UINT32 second = 0;
  stream >> second;
  EXPECT_EQ(second, 2u);
  // Writing after reading appends at the end.
  stream << UINT32{3};
  UINT32 third = 0;
  stream >> third;
  EXPECT_EQ(third, 3u);
  EXPECT_EQ(stream.GetSize(), 12u);
}

TEST_F(BinaryStreamTest, RawBytesWithNullOrZeroLengthAreRejected) {
  BinaryStream stream = WireBytes().U32(1).Stream();
  char byte = 0;
  EXPECT_EQ(FailureText([&] { stream.writebytes(nullptr, 1); }), "Error: data NULL or Len 0\n");
  EXPECT_EQ(FailureText([&] { stream.writebytes(&byte, 0); }), "Error: data NULL or Len 0\n");
  EXPECT_EQ(FailureText([&] { stream.readbytes(nullptr, 1); }), "Error: data NULL or Len 0\n");
  EXPECT_EQ(FailureText([&] { stream.readbytes(&byte, 0); }), "Error: data NULL or Len 0\n");
  EXPECT_EQ(stream.GetSize(), 4u);
  EXPECT_THAT(log_->Read(), HasSubstr("STANDARD EXCEPTION Fn: BinaryStream::writebytes : Exception: Error: data NULL or Len 0\n"));
  EXPECT_THAT(log_->Read(), HasSubstr("STANDARD EXCEPTION Fn: BinaryStream::readbytes : Exception: Error: data NULL or Len 0\n"));
}

TEST_F(BinaryStreamTest, ShortReadFailsAndIsLoggedAtEachLayer) {
  BinaryStream stream = WireBytes().Bytes({1, 2, 3}).Stream();
  UINT32 value = 0;
  EXPECT_EQ(FailureText([&] { stream >> value; }), "Reading from Stream Failed");
  const std::string log = log_->Read();
  EXPECT_THAT(log, HasSubstr("STANDARD EXCEPTION Fn: BinaryStream::readbytes : Exception: Reading from Stream Failed"));
  EXPECT_THAT(log, HasSubstr("STANDARD EXCEPTION Fn: BinaryStream::operator >> : Exception: Reading from Stream Failed"));
}

TEST_F(BinaryStreamTest, RejectsDeclaredLengthsBeyondRemainingBytesWithoutAllocatingThem) {
  BinaryStream text = WireBytes().U32(0xFFFFFFFF).Bytes({'a', 'b'}).Stream();
  BinaryStream nested = WireBytes().U32(0xFFFFFFF0).Bytes({1, 2, 3, 4}).Stream();
  BinaryStream oneShort = WireBytes().U32(3).Bytes({'a', 'b'}).Stream();
  std::string textRead;
  BinaryStream nestedRead;
  std::vector<std::string> failures;
  std::size_t largest = 0;
  {
    AllocationWatch watch;
    failures.push_back(FailureText([&] { text >> textRead; }));
    failures.push_back(FailureText([&] { nested >> nestedRead; }));
    failures.push_back(FailureText([&] { oneShort >> textRead; }));
    largest = watch.Largest();
  }
  EXPECT_THAT(failures, ::testing::Each(std::string("Reading from Stream Failed")));
  // The watch itself saw the exceptions' texts being allocated.
  EXPECT_GT(largest, 0u);
  EXPECT_LT(largest, 64u * 1024u);
  EXPECT_TRUE(textRead.empty());
  EXPECT_EQ(nestedRead.GetSize(), 0u);
}

TEST_F(BinaryStreamTest, NestedStreamsCarryTheirWholeContentAndAppendOnRead) {
  BinaryStream inner;
  inner << UINT32{9};
  UINT32 consumed = 0;
  inner >> consumed;  // what was read still belongs to the content
  BinaryStream outer;
  outer << inner << BinaryStream();
  EXPECT_EQ(ContentOf(outer), Bytes({4, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0}));

  BinaryStream target = WireBytes().U32(5).Stream();
  outer >> target;
  EXPECT_EQ(ContentOf(target), Bytes({5, 0, 0, 0, 9, 0, 0, 0}));
  // An empty nested stream appends nothing.
  outer >> target;
  EXPECT_EQ(target.GetSize(), 8u);
}

TEST_F(BinaryStreamTest, WriteBufferWritesCountThenBytesOrOnlyTheCount) {
  BinaryStream stream;
  const char data[] = {'x', 'y'};
  stream.WriteBuffer(data, 2);
  stream.WriteBuffer(nullptr, 5);
  stream.WriteBuffer(data, 0);
  EXPECT_EQ(ContentOf(stream), Bytes({2, 0, 0, 0, 'x', 'y', 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
