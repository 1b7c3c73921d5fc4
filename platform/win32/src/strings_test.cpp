#include <gtest/gtest.h>

#include <string>

#include "sim/sim.h"
#include "winbase.h"

namespace {

class Strings : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }

  static std::u16string to_wide(const std::string& text, DWORD flags = MB_ERR_INVALID_CHARS) {
    const int needed = MultiByteToWideChar(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    if (needed > 0) MultiByteToWideChar(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), out.data(), needed);
    return out;
  }

  static std::string to_narrow(const std::u16string& text, DWORD flags = WC_ERR_INVALID_CHARS) {
    const int needed =
        WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed), '\0');
    if (needed > 0) {
      WideCharToMultiByte(CP_UTF8, flags, text.data(), static_cast<int>(text.size()), out.data(), needed, nullptr,
                          nullptr);
    }
    return out;
  }
};

TEST_F(Strings, RoundTripsEveryPlane) {
  const std::u16string samples[] = {u"Orvix(R) Trace Redirect Service", u"\u00E9\u00DF\u00FF",
                                    u"\u20AC\u4E2D\uFFFD", u"\U0001F600\U0010FFFF", std::u16string(u"a\0b", 3)};
  for (const auto& sample : samples) {
    EXPECT_EQ(to_wide(to_narrow(sample)), sample);
  }
  EXPECT_EQ(to_narrow(u"\u20AC"), "\xE2\x82\xAC");
  EXPECT_EQ(to_narrow(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST_F(Strings, NullTerminatedInputCountsTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
  WCHAR wide[4];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
  EXPECT_EQ(std::u16string(wide), u"abc");
  char narrow[4];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, narrow, 4, nullptr, nullptr), 4);
  EXPECT_STREQ(narrow, "abc");
}

TEST_F(Strings, TooSmallBufferFailsWithInsufficientBuffer) {
  WCHAR wide[2];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char narrow[3];
  // The euro sign needs three bytes, the letter one more.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20ACa", 2, narrow, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(Strings, MalformedUtf8IsRejectedWithTheStrictFlag) {
  const std::string malformed[] = {
      "\xC0\xAF",          // overlong '/'
      "\xE0\x80\xAF",      // overlong, three bytes
      "\xF0\x80\x80\xAF",  // overlong, four bytes
      "\xED\xA0\x80",      // encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\x80",              // stray continuation
      "ok\xE2\x82",        // truncated sequence
      "\xFF",
  };
  for (const auto& text : malformed) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr,
                                  0),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
  // Without the flag each broken sequence becomes one replacement character.
  EXPECT_EQ(to_wide("a\xC0\xAF" "b", 0), u"a\uFFFD\uFFFD" "b");
  EXPECT_EQ(to_wide("ok\xE2\x82", 0), u"ok\uFFFD");
}

TEST_F(Strings, LoneSurrogatesAreRejectedWithTheStrictFlag) {
  const std::u16string malformed[] = {std::u16string(1, u'\xD800'), std::u16string(1, u'\xDC00'),
                                      u"a" + std::u16string(1, u'\xD83D') + u"b"};
  for (const auto& text : malformed) {
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr,
                                  0, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
  EXPECT_EQ(to_narrow(u"a" + std::u16string(1, u'\xDC00'), 0), "a\xEF\xBF\xBD");
}

TEST_F(Strings, BadArgumentsAndArmedFaults) {
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x1, "abc", 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, nullptr, 0, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  sim::fail_next("WideCharToMultiByte", 1, ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, nullptr, 0, nullptr, nullptr), 3);
}

TEST_F(Strings, CaseInsensitiveComparisonsFoldAsciiAndLatin1) {
  EXPECT_EQ(_wcsicmp(u"INSTALL", u"install"), 0);
  EXPECT_EQ(_wcsicmp(u"i", u"I"), 0);
  EXPECT_LT(_wcsicmp(u"install", u"installer"), 0);
  EXPECT_GT(_wcsicmp(u"remove", u"install"), 0);
  EXPECT_EQ(lstrcmpiW(u"Administrators", u"ADMINISTRATORS"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
  EXPECT_NE(lstrcmpiW(u"\u00D7", u"\u00F7"), 0);  // multiplication and division signs are not a case pair
  EXPECT_NE(lstrcmpiW(u"Administrator", u"Administrators"), 0);
  EXPECT_LT(lstrcmpiW(nullptr, u"a"), 0);
}

}  // namespace
