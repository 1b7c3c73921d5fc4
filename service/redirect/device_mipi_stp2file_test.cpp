#include "device_mipi_stp2file.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/clock.h"
#include "sim/host_path.h"
#include "sim/sim.h"
#include "syst.h"
#include "testing/log_file.h"
#include "testing/trace_record_builder.h"

namespace {

using syst_testing::Bytes;
using syst_testing::FrameRecord;
using namespace std::chrono;

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ASYNC, VERSION and the start of FREQ, as every file begins.
Bytes PreambleHead() {
  Bytes head = {0xF0};
  head.insert(head.end(), 10, 0xFF);
  head.insert(head.end(), {0xF0, 0x00, 0xF3, 0x80});
  return head;
}

std::size_t CountPreambles(const Bytes& file) {
  const Bytes head = PreambleHead();
  std::size_t count = 0;
  for (auto at = std::search(file.begin(), file.end(), head.begin(), head.end()); at != file.end();
       at = std::search(at + 1, file.end(), head.begin(), head.end())) {
    ++count;
  }
  return count;
}

class DeviceMipiSTP2FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
    sim::set_system_time(sys_days{2026y / March / 3} + 7h + 5min + 9s);
  }
  void TearDown() override {
    for (std::uint32_t type = 0; type < TRACE_RECORD_TYPE_COUNT; ++type) release_mipisyst_handles(type);
  }

  std::unique_ptr<LogFile> log_;
};

TEST_F(DeviceMipiSTP2FileTest, FileIsNamedAfterDayMonthAndTimeInTheTracesFolder) {
  const auto folder = sim::target_root() / "ProgramData" / "ETW-Traces";
  ASSERT_FALSE(std::filesystem::exists(folder));
  DeviceMipiSTP2File sink;
  EXPECT_EQ(sim::host_path_of(sink.FilePath()), folder / "ETWTRACE_0303070509.bin");
  EXPECT_TRUE(std::filesystem::exists(folder / "ETWTRACE_0303070509.bin"));
  EXPECT_FALSE(sink.IsOpen());
  EXPECT_TRUE(log_->Contains("Trace file wll be written to : "));
}

TEST_F(DeviceMipiSTP2FileTest, FileNamePutsTheDayBeforeTheMonth) {
  sim::set_system_time(sys_days{2026y / November / 24} + 23h + 59min + 58s);
  DeviceMipiSTP2File sink;
  EXPECT_EQ(sim::host_path_of(sink.FilePath()).filename(), "ETWTRACE_2411235958.bin");
}

TEST_F(DeviceMipiSTP2FileTest, BufferWithoutEncoderHandlesIsReportedNotWrittenAndLoggedOnce) {
  DeviceMipiSTP2File sink;
  // The first allocation of the initialisation is the encoder's first handle: without it,
  // no record type has a handle.
  sim::fail_next("HeapAlloc", 1, 8);
  ASSERT_EQ(sink.Initialize(u"session"), 0u);
  ASSERT_EQ(get_systhandle(TRACE_RECORD_TYPE_ETW, 0), nullptr);
  const auto path = sim::host_path_of(sink.FilePath());
  const auto size = std::filesystem::file_size(path);
  Bytes records = FrameRecord(2, Bytes{1, 2, 3, 4});
  syst_testing::Append(records, FrameRecord(3, Bytes{5, 6}));
  syst_testing::Append(records, FrameRecord(2, Bytes{7}));
  DWORD done = 77;
  EXPECT_EQ(sink.Write(records.data(), static_cast<DWORD>(records.size()), &done, nullptr),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(std::filesystem::file_size(path), size);
  EXPECT_EQ(log_->Count("write_trace_data:: systhandle NULL"), 1u);
}

TEST_F(DeviceMipiSTP2FileTest, SecondSinkInTheSameSecondGetsANumberedFileOfItsOwn) {
  auto first = std::make_unique<DeviceMipiSTP2File>();
  ASSERT_EQ(first->Initialize(u"session"), 0u);
  const auto firstPath = sim::host_path_of(first->FilePath());
  const auto written = std::filesystem::file_size(firstPath);
  ASSERT_GT(written, 0u);
  DeviceMipiSTP2File second;
  DeviceMipiSTP2File third;
  EXPECT_EQ(sim::host_path_of(second.FilePath()).filename(), "ETWTRACE_0303070509_1.bin");
  EXPECT_EQ(sim::host_path_of(third.FilePath()).filename(), "ETWTRACE_0303070509_2.bin");
  EXPECT_EQ(std::filesystem::file_size(firstPath), written);
}

TEST_F(DeviceMipiSTP2FileTest, TwoInitialisationsWriteOnePreamble) {
  Bytes file;
  {
    DeviceMipiSTP2File sink;
    std::thread consumer([&sink] { EXPECT_EQ(sink.Initialize(u"session"), 0u); });
    consumer.join();
    EXPECT_EQ(sink.Initialize(u"session"), 0u);
    Bytes records = FrameRecord(0, syst_testing::EtwPayload({}, "event"));
    DWORD done = 0;
    EXPECT_EQ(sink.Write(records.data(), static_cast<DWORD>(records.size()), &done, nullptr), 0u);
    EXPECT_EQ(done, records.size());
    file = ReadFile(sim::host_path_of(sink.FilePath()));
  }
  EXPECT_EQ(CountPreambles(file), 1u);
  const Bytes head = PreambleHead();
  EXPECT_TRUE(std::equal(head.begin(), head.end(), file.begin()));
  // Frequency (10 MHz after reset), then M16 and C16 before the first message.
  EXPECT_EQ(file[14], 0x80);
  EXPECT_EQ(syst_testing::GetLe<std::uint64_t>(&file[15]), 10'000'000u);
  EXPECT_EQ(Bytes(file.begin() + 23, file.begin() + 29), (Bytes{0x1F, 0x00, 0x01, 0x3F, 0x20, 0x00}));
}

TEST_F(DeviceMipiSTP2FileTest, PendingHalfByteIsTheLastByteOfTheFile) {
  std::filesystem::path path;
  std::uintmax_t beforeClose = 0;
  {
    DeviceMipiSTP2File sink;
    ASSERT_EQ(sink.Initialize(u"session"), 0u);
    // 3 payload bytes: D16 and D8, which leaves the stream on an odd nibble count.
    Bytes records = FrameRecord(2, Bytes{1, 2, 3});
    ASSERT_EQ(sink.Write(records.data(), static_cast<DWORD>(records.size()), nullptr, nullptr), 0u);
    path = sim::host_path_of(sink.FilePath());
    beforeClose = std::filesystem::file_size(path);
  }
  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), beforeClose + 1);
  EXPECT_EQ(file.back(), 0x0E);  // the flag's last nibble, high half 0
}

TEST_F(DeviceMipiSTP2FileTest, TeardownOnAnotherThreadStillWritesThePendingHalfByte) {
  auto sink = std::make_unique<DeviceMipiSTP2File>();
  ASSERT_EQ(sink->Initialize(u"session"), 0u);
  Bytes records = FrameRecord(2, Bytes{1, 2, 3});
  ASSERT_EQ(sink->Write(records.data(), static_cast<DWORD>(records.size()), nullptr, nullptr), 0u);
  const auto path = sim::host_path_of(sink->FilePath());
  const auto beforeClose = std::filesystem::file_size(path);
  std::thread([&sink] { sink.reset(); }).join();
  EXPECT_EQ(std::filesystem::file_size(path), beforeClose + 1);
}

TEST_F(DeviceMipiSTP2FileTest, BufferWithoutMagicWritesNothingAndSucceeds) {
  DeviceMipiSTP2File sink;
  ASSERT_EQ(sink.Initialize(u"session"), 0u);
  const auto path = sim::host_path_of(sink.FilePath());
  const auto size = std::filesystem::file_size(path);
  Bytes records = FrameRecord(2, Bytes{1, 2, 3, 4});
  records[1] = 0xAF;
  DWORD done = 77;
  EXPECT_EQ(sink.Write(records.data(), static_cast<DWORD>(records.size()), &done, nullptr), 0u);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(std::filesystem::file_size(path), size);
}

TEST_F(DeviceMipiSTP2FileTest, InvalidWritesReturn87) {
  DeviceMipiSTP2File sink;
  ASSERT_EQ(sink.Initialize(u"session"), 0u);
  Bytes records = FrameRecord(2, Bytes{1});
  EXPECT_EQ(sink.Write(nullptr, 10, nullptr, nullptr), 87u);
  EXPECT_EQ(sink.Write(records.data(), 0, nullptr, nullptr), 87u);
  EXPECT_TRUE(log_->Contains("DeviceMipiSTP2File::Write Invalid Parameter ,mipiencoder:0x"));
}

TEST_F(DeviceMipiSTP2FileTest, OnlyInitialisedThreadsReachTheFile) {
  DeviceMipiSTP2File sink;
  ASSERT_EQ(sink.Initialize(u"session"), 0u);
  const auto path = sim::host_path_of(sink.FilePath());
  const auto size = std::filesystem::file_size(path);
  std::thread([&sink] {
    Bytes records = FrameRecord(2, Bytes{1, 2, 3, 4});
    EXPECT_EQ(sink.Write(records.data(), static_cast<DWORD>(records.size()), nullptr, nullptr), 0u);
  }).join();
  EXPECT_EQ(std::filesystem::file_size(path), size);
}

TEST_F(DeviceMipiSTP2FileTest, ConstructionFailuresCarryTheirCodes) {
  const auto codeOf = [] {
    try {
      DeviceMipiSTP2File sink;
    } catch (const std::system_error& e) {
      return e.code().value();
    }
    return 0;
  };
  sim::fail_next("QueryPerformanceFrequency", 1, 1);
  EXPECT_EQ(codeOf(), 1607);
  sim::fail_next("HeapAlloc", 1, 8);
  EXPECT_EQ(codeOf(), 1607);
  sim::fail_next("SystemTimeToTzSpecificLocalTime", 1, 87);
  EXPECT_EQ(codeOf(), 1359);
  EXPECT_TRUE(log_->Contains("Getting Timestamp failed, Err: 87"));
  EXPECT_TRUE(log_->Contains("Failed to get the unique filename"));
  sim::fail_next("CreateFileW", 1, 5);
  EXPECT_EQ(codeOf(), 5);
  EXPECT_TRUE(log_->Contains("unable to open '"));
  EXPECT_TRUE(log_->Contains("' for writing , Err : 5"));
}

TEST_F(DeviceMipiSTP2FileTest, WithoutProgramDataTheBareNameIsUsed) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(sim::target_root());
  sim::set_environment_variable("PROGRAMDATA", std::nullopt);
  EXPECT_EQ(sim::host_path_of(DeviceMipiSTP2File::GetUniqueFilename()), "ETWTRACE_0303070509.bin");
  std::filesystem::current_path(previous);
}

}  // namespace
