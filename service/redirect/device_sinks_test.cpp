// The file and hardware sinks on the virtual target. TXR's device interface is a test
// device registered under TXR's interface class, so that each branch of the lookup, the open
// and the write is reached.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "device_file.h"
#include "device_qlx.h"
#include "trace_record_builder.h"
#include "sim/devices.h"
#include "sim/sim.h"
#include "testing/host_test_support.h"

namespace {

constexpr char kTxrClass[] = "{62DAC42B-22C9-4BBA-9C5E-DAB581B14E3E}";
constexpr char16_t kFirstPath[] = u"\\\\?\\ROOT#TXR#0000#{62dac42b-22c9-4bba-9c5e-dab581b14e3e}";
constexpr char16_t kSecondPath[] = u"\\\\?\\ROOT#TXR#0001#{62dac42b-22c9-4bba-9c5e-dab581b14e3e}";

// A stand-in for TXR: records what it is written, and can refuse opens or writes.
struct TxrState {
  std::string written;
  platform::NtStatus openStatus = platform::kStatusSuccess;
  platform::NtStatus writeStatus = platform::kStatusSuccess;
};

class TxrFile : public platform::DeviceFile {
 public:
  explicit TxrFile(std::shared_ptr<TxrState> state) : m_state(std::move(state)) {}
  platform::NtStatus write(const void* buffer, std::uint32_t size, std::uint32_t& transferred) override {
    if (m_state->writeStatus != platform::kStatusSuccess) return m_state->writeStatus;
    m_state->written.append(static_cast<const char*>(buffer), size);
    transferred = size;
    return platform::kStatusSuccess;
  }

 private:
  std::shared_ptr<TxrState> m_state;
};

class TxrDevice : public platform::Device {
 public:
  explicit TxrDevice(std::shared_ptr<TxrState> state) : m_state(std::move(state)) {}
  platform::NtStatus create(std::uint32_t, std::uint32_t, std::shared_ptr<platform::DeviceFile>& file) override {
    if (m_state->openStatus != platform::kStatusSuccess) return m_state->openStatus;
    file = std::make_shared<TxrFile>(m_state);
    return platform::kStatusSuccess;
  }

 private:
  std::shared_ptr<TxrState> m_state;
};

class DeviceSinkTest : public host_testing::HostTest {
 protected:
  std::shared_ptr<TxrState> AddTxr(const char16_t* path) {
    auto state = std::make_shared<TxrState>();
    sim::register_device_interface(kTxrClass, path, std::make_shared<TxrDevice>(state));
    return state;
  }
  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(DeviceSinkTest, FileSinkWritesIntoTheSessionsBinFile) {
  DeviceFile sink;
  EXPECT_FALSE(sink.IsOpen());
  EXPECT_EQ(sink.Write(std::string("x").data(), 1, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_HANDLE));  // not initialised
  EXPECT_EQ(sink.Initialize(nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(sink.Initialize(TEXT("Trace One")), 0u);
  DWORD written = 0;
  EXPECT_EQ(sink.Write(std::string("records").data(), 7, &written, nullptr), 0u);
  EXPECT_EQ(written, 7u);
  EXPECT_EQ(sink.Write(nullptr, 7, &written, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Initialised again (the writing thread prepares the sink it was handed): the open file
  // is kept, with what it holds.
  EXPECT_EQ(sink.Initialize(TEXT("Trace One")), 0u);
  EXPECT_EQ(sink.Write(std::string(" more").data(), 5, nullptr, nullptr), 0u);
  EXPECT_EQ(ReadFile(root_ / "Trace One.bin"), "records more");
}

TEST_F(DeviceSinkTest, FileSinkReportsTheCreateError) {
  // The log writer opens and writes its file too: only errors are logged here, so the
  // armed faults reach the sink's own calls.
  SetLogLevel("3");
  sim::fail_next("CreateFileW", 1, ERROR_ACCESS_DENIED);
  DeviceFile sink;
  EXPECT_EQ(sink.Initialize(TEXT("Denied")), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(sink.IsOpen());
  sim::fail_next("WriteFile", 1, ERROR_DISK_FULL);
  ASSERT_EQ(sink.Initialize(TEXT("Denied")), 0u);
  EXPECT_EQ(sink.Write(std::string("x").data(), 1, nullptr, nullptr), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sink.Write(std::string("y").data(), 1, nullptr, nullptr), 0u);  // a failed write leaves the sink usable
}

// A write the platform completes short, with success: the file sink answers 124 whatever an
// earlier call left as the last error, and the next buffer goes over the part that was
// written, so the file holds whole buffers one after the other.
TEST_F(DeviceSinkTest, FileSinkAnswersAShortWriteWith124AndWritesTheNextBufferOverItsPart) {
  SetLogLevel("3");  // the log writer writes through WriteFile too
  { std::ofstream(root_ / "Short.bin") << "an earlier session"; }
  DeviceFile sink;
  ASSERT_EQ(sink.Initialize(TEXT("Short")), 0u);
  // What CreateFileW leaves when it truncated a file that was there; WriteFile sets no error
  // when it succeeds.
  SetLastError(ERROR_ALREADY_EXISTS);
  sim::short_write_next(1, 3);
  DWORD written = 99;
  EXPECT_EQ(sink.Write(std::string("first").data(), 5, &written, nullptr), 124u);  // ERROR_INVALID_LEVEL
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(ReadFile(root_ / "Short.bin"), "fir");
  EXPECT_EQ(sink.Write(std::string("second").data(), 6, &written, nullptr), 0u);
  EXPECT_EQ(written, 6u);
  sim::fail_next("WriteFile", 1, ERROR_DISK_FULL);
  EXPECT_EQ(sink.Write(std::string("lost").data(), 4, &written, nullptr), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(sink.Write(std::string(" third").data(), 6, &written, nullptr), 0u);
  EXPECT_EQ(ReadFile(root_ / "Short.bin"), "second third");
}

TEST_F(DeviceSinkTest, FileSinkOpensNothingForANameThatIsNoPlainFileName) {
  std::filesystem::create_directories(root_ / "Windows" / "System32" / "inner");
  std::filesystem::current_path(root_ / "Windows" / "System32" / "inner");
  for (const char16_t* name : {u"..\\..\\x", u"../y", u"nul", u"Com1.log", u"C:z"}) {
    DeviceFile sink;
    EXPECT_EQ(sink.Initialize(name), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(sink.IsOpen());
  }
  EXPECT_NE(Log().find("ERROR # DeviceFile::Initialize # Session name is not a valid file name for the file sink"),
            std::string::npos);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
    EXPECT_NE(entry.path().extension(), ".bin") << entry.path();
  }
}

TEST_F(DeviceSinkTest, HardwareSinkWithoutTxrCannotBeMade) {
  WCHAR path[kDevicePathLength];
  EXPECT_TRUE(GetDevicePath(path));  // an empty list: the path stays empty
  EXPECT_EQ(path[0], 0);
  EXPECT_NE(Log().find("Error # CM_Get_Device_Interface_List returned an empty list:"), std::string::npos);
  try {
    DeviceQLX sink;
    FAIL() << "made a hardware sink without TXR";
  } catch (const std::system_error& e) {
    EXPECT_NE(e.code().value(), 0);
  }
  sim::fail_next("CM_Get_Device_Interface_List_SizeW", 1, 0x13);  // CR_FAILURE
  HANDLE handle = nullptr;
  EXPECT_EQ(OpenQLXDevice(&handle), static_cast<DWORD>(ERROR_DEVICE_NOT_AVAILABLE));
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_NE(Log().find("Error # CM_Get_DeviceInterface_List_Size"), std::string::npos);
  sim::fail_next("CM_Get_Device_Interface_ListW", 1, 0x1A);  // CR_BUFFER_SMALL
  AddTxr(kFirstPath);
  EXPECT_FALSE(GetDevicePath(path));
  EXPECT_NE(Log().find("Error # CM_Get_Device_Interface_List 7a"), std::string::npos);
}

TEST_F(DeviceSinkTest, HardwareSinkOpensTheFirstOfTwoInstancesAndWritesThrough) {
  auto first = AddTxr(kFirstPath);
  auto second = AddTxr(kSecondPath);
  DeviceQLX sink;
  EXPECT_TRUE(sink.IsOpen());
  EXPECT_NE(Log().find("Error # More than one device interface instance found Selecting first matching device."),
            std::string::npos);
  EXPECT_EQ(sink.Initialize(TEXT("ignored")), 0u);
  DWORD written = 0;
  EXPECT_EQ(sink.Write(std::string("buffer").data(), 6, &written, nullptr), 0u);
  EXPECT_EQ(written, 6u);
  EXPECT_EQ(first->written, "buffer");
  EXPECT_EQ(second->written, "");
  EXPECT_EQ(sink.Write(nullptr, 6, &written, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const auto debugger = sim::debugger_output();
  ASSERT_FALSE(debugger.empty());
  EXPECT_EQ(debugger.back(), u"Open Device Successfully ----------------");

  first->writeStatus = static_cast<platform::NtStatus>(0xC0000185);  // STATUS_IO_DEVICE_ERROR
  EXPECT_NE(sink.Write(std::string("lost").data(), 4, &written, nullptr), 0u);
  EXPECT_EQ(written, 0u);
  EXPECT_NE(Log().find("Failed - IOCTL_WRITE_TO_ETW_CHANNEL - InSize: 4, Error: "), std::string::npos);
}

TEST_F(DeviceSinkTest, EveryFailedWriteAddsToTheRunningCountOfWhatWasLost) {
  auto txr = AddTxr(kFirstPath);
  DeviceQLX sink;
  txr->writeStatus = static_cast<platform::NtStatus>(0xC0000001);  // STATUS_UNSUCCESSFUL
  auto records = syst_testing::FrameRecord(TRACE_RECORD_TYPE_DUX, {1, 2, 3});
  const auto second = syst_testing::FrameRecord(TRACE_RECORD_TYPE_VEX, {4, 5});
  records.insert(records.end(), second.begin(), second.end());
  EXPECT_EQ(sink.Write(records.data(), static_cast<DWORD>(records.size()), nullptr, nullptr),
            static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_NE(Log().find("ERROR # DeviceQLX::Write # TXR failed a write of 31 bytes (2 records) with error 31; lost to "
                       "failed writes so far: 31 bytes, 2 records in 1 writes"),
            std::string::npos)
      << Log();
  EXPECT_NE(sink.Write(records.data(), 20, nullptr, nullptr), 0u);  // one whole record, then a cut one
  EXPECT_NE(Log().find("TXR failed a write of 20 bytes (1 records) with error 31; lost to failed writes so far: 51 "
                       "bytes, 3 records in 2 writes"),
            std::string::npos)
      << Log();
}

TEST_F(DeviceSinkTest, RefusedOpenFailsTheHardwareSinkWithTheError) {
  auto txr = AddTxr(kFirstPath);
  txr->openStatus = static_cast<platform::NtStatus>(0xC0000022);  // STATUS_ACCESS_DENIED
  HANDLE handle = INVALID_HANDLE_VALUE;
  EXPECT_EQ(OpenQLXDevice(&handle), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(handle, nullptr);
  EXPECT_NE(Log().find("ERROR #  CreateFile : 0x               5\n"), std::string::npos);
  try {
    DeviceQLX sink;
    FAIL() << "made a hardware sink TXR refused";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(QLXWriteToChannel(nullptr, 4, handle), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
