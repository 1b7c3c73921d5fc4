#include <gtest/gtest.h>

#include "ntddk.h"
#include "sim/kernel.h"
#include "sim/sim.h"

namespace {

int TakeAccessViolations(PEXCEPTION_POINTERS pointers, EXCEPTION_RECORD* seen) {
  *seen = *pointers->ExceptionRecord;
  return pointers->ExceptionRecord->ExceptionCode == STATUS_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER
                                                                              : EXCEPTION_CONTINUE_SEARCH;
}

TEST(StructuredExceptions, AnArmedRaiseReachesTheFilterAndOnlyTheHandlerRuns) {
  sim::reset();
  sim::raise_next("KeQueryActiveProcessorCountEx", STATUS_ACCESS_VIOLATION);
  EXCEPTION_RECORD seen{};
  NTSTATUS handled = STATUS_SUCCESS;
  bool body_finished = false;
  __try {
    KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    body_finished = true;
  } __except (TakeAccessViolations(GetExceptionInformation(), &seen)) {
    handled = GetExceptionCode();
  }
  EXPECT_FALSE(body_finished);
  EXPECT_EQ(seen.ExceptionCode, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(handled, STATUS_ACCESS_VIOLATION);
  // Armed for one call only.
  EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 4u);
}

TEST(StructuredExceptions, ContinueSearchHandsTheExceptionToTheEnclosingGuard) {
  sim::reset();
  EXCEPTION_RECORD seen{};
  int inner_handler = 0;
  NTSTATUS outer_code = STATUS_SUCCESS;
  __try {
    __try {
      ExRaiseStatus(STATUS_INTEGER_OVERFLOW);
    } __except (TakeAccessViolations(GetExceptionInformation(), &seen)) {
      ++inner_handler;
    }
  } __except (GetExceptionCode() == STATUS_INTEGER_OVERFLOW ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH) {
    outer_code = GetExceptionCode();
  }
  EXPECT_EQ(inner_handler, 0);
  EXPECT_EQ(seen.ExceptionCode, STATUS_INTEGER_OVERFLOW);
  EXPECT_EQ(outer_code, STATUS_INTEGER_OVERFLOW);

  // A second guard in the same function, with nothing raised: its handler does not run, and
  // the filter is never evaluated.
  bool filtered = false;
  bool handled = false;
  __try {
    KeMemoryBarrier();
  } __except (filtered = true, EXCEPTION_EXECUTE_HANDLER) {
    handled = true;
  }
  EXPECT_FALSE(filtered);
  EXPECT_FALSE(handled);
}

TEST(StructuredExceptions, AnExceptionNoGuardTakesPropagatesPastTheGuard) {
  sim::reset();
  bool propagated = false;
  try {
    __try {
      ExRaiseStatus(STATUS_UNSUCCESSFUL);
    } __except (EXCEPTION_CONTINUE_SEARCH) {
    }
  } catch (const platform::kernel::seh::RaisedException& raised) {
    propagated = raised.record.ExceptionCode == STATUS_UNSUCCESSFUL;
  }
  EXPECT_TRUE(propagated);
}

}  // namespace
