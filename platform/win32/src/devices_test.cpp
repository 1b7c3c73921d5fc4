#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/core/devices.h"
#include "sim/sim.h"
#include "winbase.h"

namespace {

// A device that echoes what is written, answers one I/O control and refuses a second open.
class EchoFile : public platform::DeviceFile {
 public:
  explicit EchoFile(bool& closed) : closed_(closed) {}
  platform::NtStatus write(const void* buffer, std::uint32_t size, std::uint32_t& transferred) override {
    stored_.assign(static_cast<const char*>(buffer), size);
    transferred = size;
    return platform::kStatusSuccess;
  }
  platform::NtStatus read(void* buffer, std::uint32_t size, std::uint32_t& transferred) override {
    transferred = static_cast<std::uint32_t>(std::min<std::size_t>(size, stored_.size()));
    std::memcpy(buffer, stored_.data(), transferred);
    return platform::kStatusSuccess;
  }
  platform::NtStatus io_control(std::uint32_t code, const void*, std::uint32_t, void* output, std::uint32_t output_size,
                                std::uint32_t& transferred) override {
    if (code != 0x222004) return platform::kStatusInvalidDeviceRequest;
    if (output_size < 4) return static_cast<platform::NtStatus>(0xC0000023);  // STATUS_BUFFER_TOO_SMALL
    const std::uint32_t answer = 7;
    std::memcpy(output, &answer, 4);
    transferred = 4;
    return platform::kStatusSuccess;
  }
  void close() override { closed_ = true; }

 private:
  bool& closed_;
  std::string stored_;
};

class EchoDevice : public platform::Device {
 public:
  bool closed = false;
  bool busy = false;
  platform::NtStatus create(std::uint32_t, std::uint32_t, std::shared_ptr<platform::DeviceFile>& file) override {
    if (busy) return static_cast<platform::NtStatus>(0xC0000022);  // STATUS_ACCESS_DENIED
    busy = true;
    file = std::make_shared<EchoFile>(closed);
    return platform::kStatusSuccess;
  }
};

class Devices : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    platform::register_device(u"\\\\.\\Echo", device_);
  }
  std::shared_ptr<EchoDevice> device_ = std::make_shared<EchoDevice>();
};

TEST_F(Devices, FileCallsOnADevicePathReachTheRegisteredDevice) {
  HANDLE echo = CreateFileW(u"\\\\.\\ECHO", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(echo, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(echo, "ping", 4, &done, nullptr));
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(echo, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "ping");

  std::uint32_t answer = 0;
  ASSERT_TRUE(DeviceIoControl(echo, 0x222004, nullptr, 0, &answer, sizeof answer, &done, nullptr));
  EXPECT_EQ(answer, 7u);
  EXPECT_EQ(done, 4u);
  // Completion statuses arrive as the Win32 errors Windows maps them to.
  EXPECT_FALSE(DeviceIoControl(echo, 0x222004, nullptr, 0, &answer, 2, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(DeviceIoControl(echo, 0x999, nullptr, 0, nullptr, 0, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

  EXPECT_EQ(CreateFileW(u"\\\\.\\Echo", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  EXPECT_FALSE(device_->closed);
  EXPECT_TRUE(CloseHandle(echo));
  EXPECT_TRUE(device_->closed);
}

TEST_F(Devices, AnUnknownDeviceIsNotFoundAndResetForgetsDevices) {
  EXPECT_EQ(CreateFileW(u"\\\\.\\Nothing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  sim::reset();
  EXPECT_EQ(CreateFileW(u"\\\\.\\Echo", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

}  // namespace
