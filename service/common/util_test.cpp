#include "util.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "windows.h"

namespace {

class UtilTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

template <typename Call>
void ExpectBadConversion(Call call) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const std::range_error& e) {
    EXPECT_STREQ(e.what(), "bad conversion");
  }
}

TEST_F(UtilTest, RoundTripsTextOutsideAsciiAndTheBasicPlane) {
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
  const std::u16string utf16 = u"Gr\u00FC\u00DFe \u20AC \U0001D11E";
  EXPECT_EQ(Util::to_wstring(utf8), utf16);
  EXPECT_EQ(Util::to_string(utf16), utf8);
}

TEST_F(UtilTest, EmptyTextAndEmbeddedZerosConvert) {
  EXPECT_EQ(Util::to_string(u""), "");
  EXPECT_EQ(Util::to_wstring(""), u"");
  const std::string withZero("a\0b", 3);
  EXPECT_EQ(Util::to_wstring(withZero), std::u16string(u"a\0b", 3));
}

TEST_F(UtilTest, LoneSurrogateIsABadConversion) {
  ExpectBadConversion([] { Util::to_string(std::u16string(1, u'\xD800')); });
  ExpectBadConversion([] { Util::to_string(std::u16string(u"x") + char16_t(0xDC00)); });
}

TEST_F(UtilTest, InvalidUtf8IsABadConversion) {
  ExpectBadConversion([] { Util::to_wstring("\xC0\xAF"); });        // overlong '/'
  ExpectBadConversion([] { Util::to_wstring("abc\xE2\x82"); });     // truncated sequence
  ExpectBadConversion([] { Util::to_wstring("\xFF"); });            // never valid
  ExpectBadConversion([] { Util::to_wstring("\xED\xA0\x80"); });    // encoded surrogate
}

TEST_F(UtilTest, PlatformConversionFailureIsABadConversion) {
  sim::fail_next("WideCharToMultiByte", 1, ERROR_NO_UNICODE_TRANSLATION);
  ExpectBadConversion([] { Util::to_string(u"fine"); });
  sim::fail_next("MultiByteToWideChar", 1, ERROR_INSUFFICIENT_BUFFER);
  ExpectBadConversion([] { Util::to_wstring("fine"); });
}

TEST_F(UtilTest, PlainFileNamesAreThoseThatNameOneFileInTheFolder) {
  for (const std::u16string name : {u"Demo Session", u"ConduitRecord", u"a-b_c", u"v1.2.trace", u"\u65E5\u672C \u00FC",
                                    u"...x", u" lead", u"CONSOLE", u"com10", u"LPT", u"nul-device", u"COM0"}) {
    EXPECT_TRUE(Util::IsPlainFileName(name)) << Util::to_string(name);
  }
  for (const std::u16string name :
       {u"", u".", u"..", u"..\\..\\..\\x", u"../x", u"a/b", u"a\\b", u"C:x", u"x:stream", u"tab\there", u"x\x1F",
        u"end.", u"end ", u"wild*", u"what?", u"a|b", u"<a>", u"\"q\"", u"CON", u"prn", u"Aux", u"nul.txt",
        u"Com1", u"com9.tar.gz", u"LPT1", u"lpt9.xml", u"NUL .txt", u"COM\u00B9", u"lpt\u00B3.bin"}) {
    EXPECT_FALSE(Util::IsPlainFileName(name)) << Util::to_string(name);
  }
}

}  // namespace
