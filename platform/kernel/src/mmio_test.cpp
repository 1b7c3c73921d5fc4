#include <gtest/gtest.h>

#include "ntddk.h"
#include "sim/kernel.h"
#include "sim/sim.h"
#include "tessera/model.h"

namespace {

class Mmio : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    tessera::model().configure(config_);
    PHYSICAL_ADDRESS csr;
    csr.QuadPart = static_cast<LONGLONG>(config_.csr_base);
    csr_ = static_cast<PUCHAR>(MmMapIoSpaceEx(csr, tessera::kCsrWindowLength, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(csr_, nullptr);
  }

  volatile ULONG* csr_register(std::size_t offset) { return reinterpret_cast<volatile ULONG*>(csr_ + offset); }

  // The access violation a statement raises: 0 read / 1 write, and the address.
  template <typename Statement>
  EXCEPTION_RECORD raised_by(Statement statement) {
    EXCEPTION_RECORD record{};
    __try {
      statement();
    } __except (record = *GetExceptionInformation()->ExceptionRecord, EXCEPTION_EXECUTE_HANDLER) {
    }
    return record;
  }

  tessera::Config config_;
  PUCHAR csr_ = nullptr;
};

TEST_F(Mmio, RegisterAccessesReachTheModelAtTheirPhysicalAddressAndWidth) {
  WRITE_REGISTER_ULONG(csr_register(0x100), 0xA5A5F00Du);
  EXPECT_EQ(READ_REGISTER_ULONG(csr_register(0x100)), 0xA5A5F00Du);
  EXPECT_EQ(READ_REGISTER_ULONG(csr_register(tessera::kSoftwareTraceCapabilityBlock)) & 0xFFFF, config_.first_master);
  const auto log = tessera::model().store_log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().window, tessera::Window::csr);
  EXPECT_EQ(log.back().offset, 0x100u);
  EXPECT_EQ(log.back().width, 4);
  EXPECT_EQ(log.back().value, 0xA5A5F00Du);
  EXPECT_EQ(tessera::model().register_value(tessera::Window::csr, 0x100), 0xA5A5F00Du);
  MmUnmapIoSpace(csr_, tessera::kCsrWindowLength);
}

TEST_F(Mmio, RefusedAndUnmappedAccessesRaiseAccessViolations) {
  // Misaligned: the hardware refuses it.
  auto* misaligned = reinterpret_cast<volatile ULONG*>(csr_ + 0x102);
  const EXCEPTION_RECORD refused = raised_by([&] { WRITE_REGISTER_ULONG(misaligned, 1); });
  EXPECT_EQ(refused.ExceptionCode, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(refused.NumberParameters, 2u);
  EXPECT_EQ(refused.ExceptionInformation[0], 1u);
  EXPECT_EQ(refused.ExceptionInformation[1], reinterpret_cast<ULONG_PTR>(misaligned));

  // Past the end of the mapping.
  auto* beyond = reinterpret_cast<volatile ULONG*>(csr_ + tessera::kCsrWindowLength);
  const EXCEPTION_RECORD outside = raised_by([&] { READ_REGISTER_ULONG(beyond); });
  EXPECT_EQ(outside.ExceptionCode, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(outside.ExceptionInformation[0], 0u);

  MmUnmapIoSpace(csr_, tessera::kCsrWindowLength);
  const EXCEPTION_RECORD unmapped = raised_by([&] { READ_REGISTER_UCHAR(csr_); });
  EXPECT_EQ(unmapped.ExceptionCode, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(unmapped.ExceptionInformation[1], reinterpret_cast<ULONG_PTR>(csr_));
}

TEST_F(Mmio, MisuseCrashesAsOnWindows) {
  // The mapping is address space nobody may touch directly.
  EXPECT_DEATH((void)*reinterpret_cast<volatile ULONG*>(csr_), "");
  EXPECT_DEATH(MmUnmapIoSpace(csr_, PAGE_SIZE), "STOP: 0x000000C4");
  sim::fail_next("MmMapIoSpaceEx", 1, 0);
  PHYSICAL_ADDRESS firmware;
  firmware.QuadPart = static_cast<LONGLONG>(config_.firmware_base);
  EXPECT_EQ(MmMapIoSpaceEx(firmware, config_.firmware_length, PAGE_READWRITE), nullptr);
  MmUnmapIoSpace(csr_, tessera::kCsrWindowLength);
}

}  // namespace
