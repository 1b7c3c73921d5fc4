#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sim/clock.h"
#include "sim/sim.h"
#include "windows.h"

namespace {

const SYSTEMTIME kLeapDay{2024, 2, 4, 29, 13, 4, 5, 250};  // Thursday 2024-02-29 13:04:05.250

class DateFormat : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }

  static std::u16string Date(LPCWSTR picture, const SYSTEMTIME* time = &kLeapDay) {
    WCHAR text[64];
    return Answer(GetDateFormatEx(LOCALE_NAME_INVARIANT, 0, time, picture, text, 64, nullptr), text);
  }
  static std::u16string Time(LPCWSTR picture, const SYSTEMTIME* time = &kLeapDay) {
    WCHAR text[64];
    return Answer(GetTimeFormatEx(nullptr, 0, time, picture, text, 64), text);
  }
  // The text written (its length counts the terminator), or the error.
  static std::u16string Answer(int written, const WCHAR* text) {
    if (written != 0) return std::u16string(text, static_cast<std::size_t>(written - 1));
    const std::string digits = std::to_string(GetLastError());
    return u"error " + std::u16string(digits.begin(), digits.end());
  }
};

TEST_F(DateFormat, PicturesQuotedTextAndTheInvariantDefaults) {
  EXPECT_EQ(Date(u"yyyy'-'MM'-'dd"), u"2024-02-29");
  EXPECT_EQ(Date(u"d/M/yy"), u"29/2/24");
  EXPECT_EQ(Date(u"'it''s' y"), u"it's 24");
  EXPECT_EQ(Date(nullptr), u"02/29/2024");
  EXPECT_EQ(Time(u"HH':'mm':'ss"), u"13:04:05");
  EXPECT_EQ(Time(u"h:m:s"), u"1:4:5");
  EXPECT_EQ(Time(nullptr), u"13:04:05");
  const SYSTEMTIME midnight{1601, 1, 1, 1, 0, 0, 0, 0};
  EXPECT_EQ(Date(u"yyyy-MM-dd", &midnight), u"1601-01-01");
  EXPECT_EQ(Time(u"hh tt", &midnight), u"error 87");  // AM/PM markers are not implemented
}

TEST_F(DateFormat, SizeQueryShortBufferAndRefusals) {
  EXPECT_EQ(GetDateFormatEx(LOCALE_NAME_INVARIANT, 0, &kLeapDay, u"yyyy", nullptr, 0, nullptr), 5);
  WCHAR four[4];
  EXPECT_EQ(GetDateFormatEx(LOCALE_NAME_INVARIANT, 0, &kLeapDay, u"yyyy", four, 4, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  WCHAR text[32];
  EXPECT_EQ(GetDateFormatEx(LOCALE_NAME_INVARIANT, 1, &kLeapDay, u"yyyy", text, 32, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(GetDateFormatEx(u"de-DE", 0, &kLeapDay, u"yyyy", text, 32, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const SYSTEMTIME february30{2024, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_EQ(Date(u"yyyy", &february30), u"error 87");
  const SYSTEMTIME hour24{2024, 2, 0, 29, 24, 0, 0, 0};
  EXPECT_EQ(Time(u"HH", &hour24), u"error 87");
  EXPECT_EQ(Date(u"yyyy", &hour24), u"2024");  // a date formatter looks at the date only
  sim::fail_next("GetTimeFormatEx", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(Time(u"HH"), u"error 14");
}

TEST_F(DateFormat, FileTimesBecomeCalendarFieldsUpToTheirLimit) {
  const auto fields = [](ULONGLONG ticks) {
    const FILETIME value{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME time{};
    if (!FileTimeToSystemTime(&value, &time)) return std::string("error ") + std::to_string(GetLastError());
    char text[64];
    std::snprintf(text, sizeof text, "%u-%u-%u %u:%u:%u.%u day %u", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond, time.wMilliseconds, time.wDayOfWeek);
    return std::string(text);
  };
  EXPECT_EQ(fields(0), "1601-1-1 0:0:0.0 day 1");
  EXPECT_EQ(fields(133536860550000000ull + 2'509'999), "2024-2-29 13:14:15.250 day 4");
  EXPECT_EQ(fields(0x7FFFFFFFFFFFFFFFull), "30828-9-14 2:48:5.477 day 4");
  EXPECT_EQ(fields(0x8000000000000000ull), "error 87");

  using namespace std::chrono;
  sim::set_system_time(sys_days{2024y / 2 / 29} + 13h + 14min + 15s);
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  EXPECT_EQ(ULONGLONG{now.dwHighDateTime} << 32 | now.dwLowDateTime, 133536860550000000ull);
}

}  // namespace
