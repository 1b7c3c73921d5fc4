#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntddk.h"
#include "ntstrsafe.h"
#include "sim/kernel.h"
#include "sim/sim.h"

namespace {

struct Printed {
  std::string text;
  ULONG component;
  ULONG level;
};
std::vector<Printed> g_printed;

VOID Collect(PSTRING Output, ULONG ComponentId, ULONG Level) {
  g_printed.push_back({std::string(Output->Buffer, Output->Length), ComponentId, Level});
}

TEST(DebugPrint, OnlyMessagesThatPassTheComponentsFilterReachTheDebuggerAndTheCallbacks) {
  sim::reset();
  g_printed.clear();
  ASSERT_EQ(DbgSetDebugPrintCallback(&Collect, TRUE), STATUS_SUCCESS);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info %d\n", 1);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "error %d\n", 2);
  ASSERT_EQ(DbgSetDebugFilterState(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, TRUE), STATUS_SUCCESS);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info %d\n", 3);
  // A level above 31 is a mask: bit 3 is DPFLTR_INFO_LEVEL's.
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x8, "mask %d\n", 4);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_TRACE_LEVEL, "trace %d\n", 5);
  DbgPrintEx(DPFLTR_IHVBUS_ID, DPFLTR_INFO_LEVEL, "other component %d\n", 6);
  ASSERT_EQ(DbgSetDebugFilterState(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, FALSE), STATUS_SUCCESS);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info %d\n", 7);

  EXPECT_EQ(sim::kernel_debugger_output(), (std::vector<std::string>{"error 2\n", "info 3\n", "mask 4\n"}));
  ASSERT_EQ(g_printed.size(), 3u);
  EXPECT_EQ(g_printed[1].text, "info 3\n");
  EXPECT_EQ(g_printed[1].component, static_cast<ULONG>(DPFLTR_IHVDRIVER_ID));
  EXPECT_EQ(g_printed[1].level, static_cast<ULONG>(DPFLTR_INFO_LEVEL));

  ASSERT_EQ(DbgSetDebugPrintCallback(&Collect, FALSE), STATUS_SUCCESS);
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "after\n");
  EXPECT_EQ(g_printed.size(), 3u);
  sim::reset();
  EXPECT_TRUE(sim::kernel_debugger_output().empty());
}

TEST(DebugPrint, FormatsFollowWindowsSizesAndConversions) {
  sim::reset();
  const ULONG value = 0xDEADBEEF;
  const LONG negative = -1;
  const ULONG64 wide_value = 0x1122334455667788ull;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"TXR");
  STRING narrow = RTL_CONSTANT_STRING("ansi");
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%lx %ld %I64x %llu %08X|%-4d|%ws %wZ %Z %s %p", value, negative,
             wide_value, 5ull, 0xABCu, 7, u"wide", &name, &narrow, static_cast<const char*>(nullptr),
             reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(sim::kernel_debugger_output().at(0),
            "deadbeef -1 1122334455667788 5 00000ABC|7   |wide TXR ansi (null) 0000000000001234");

  // At most 512 bytes of one message, terminator included.
  const std::string long_text(600, 'x');
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%s", long_text.c_str());
  EXPECT_EQ(sim::kernel_debugger_output().at(1).size(), 511u);
}

TEST(SafeStrings, PrintfCutsToTheDestinationAndSaysSo) {
  sim::reset();
  char narrow[8];
  EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof narrow, "%s-%u", "ab", 42u), STATUS_SUCCESS);
  EXPECT_STREQ(narrow, "ab-42");
  EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s", "too long text"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(narrow, "too lon");
  EXPECT_EQ(RtlStringCchPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);

  WCHAR wide[16];
  EXPECT_EQ(RtlStringCchPrintfW(wide, 16, u"%s/%hs/%02d", u"w", "n", 3), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(wide), u"w/n/03");
  EXPECT_EQ(RtlStringCchPrintfW(wide, 4, u"%s", u"abcdef"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(wide), u"abc");

  UNICODE_STRING counted;
  RtlInitUnicodeString(&counted, u"Tessera");
  EXPECT_EQ(counted.Length, 14);
  EXPECT_EQ(counted.MaximumLength, 16);
}

}  // namespace
