#include <gtest/gtest.h>

#include "objbase.h"
#include "sim/sim.h"

namespace {

// {6B4FBF67-3DD0-4F0C-9B8E-A1B2C3D4E5F6}
constexpr GUID kSample = {0x6B4FBF67, 0x3DD0, 0x4F0C, {0x9B, 0x8E, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};

class GuidText : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

TEST_F(GuidText, StringFromClsidWritesTheUpperCaseBraceForm) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(kSample, &text), S_OK);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text), u"{6B4FBF67-3DD0-4F0C-9B8E-A1B2C3D4E5F6}");
  CoTaskMemFree(text);

  ASSERT_EQ(StringFromCLSID(GUID_NULL, &text), S_OK);
  EXPECT_EQ(std::u16string(text), u"{00000000-0000-0000-0000-000000000000}");
  CoTaskMemFree(text);
}

TEST_F(GuidText, ClsidFromStringAcceptsEitherCaseAndRoundTrips) {
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(u"{6b4fbf67-3dd0-4f0c-9b8e-a1b2c3d4e5f6}", &parsed), S_OK);
  EXPECT_EQ(parsed, kSample);
  ASSERT_EQ(CLSIDFromString(u"{6B4FBF67-3DD0-4F0C-9B8E-A1B2C3D4E5F6}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, kSample));
  EXPECT_NE(parsed, GUID_NULL);
}

TEST_F(GuidText, ClsidFromStringRejectsEveryOtherForm) {
  const char16_t* rejected[] = {
      u"6B4FBF67-3DD0-4F0C-9B8E-A1B2C3D4E5F6",     // no braces
      u"{6B4FBF67-3DD0-4F0C-9B8E-A1B2C3D4E5F6",    // no closing brace
      u"{6B4FBF67-3DD0-4F0C-9B8E-A1B2C3D4E5F6}x",  // trailing text
      u"{6B4FBF673DD04F0C9B8EA1B2C3D4E5F6}",       // no dashes
      u"{6B4FBF67-3DD0-4F0C-9B8EA-1B2C3D4E5F6}",   // dash misplaced
      u"{6B4FBF6G-3DD0-4F0C-9B8E-A1B2C3D4E5F6}",   // not hexadecimal
      u"{ 6B4FBF6-3DD0-4F0C-9B8E-A1B2C3D4E5F6}",   // blank
      u"Microsoft-Windows-Kernel-Process",         // a name
      u"",
  };
  for (const char16_t* text : rejected) {
    CLSID parsed = kSample;
    EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING) << std::string(text, text + std::u16string(text).size());
  }
  CLSID parsed{};
  EXPECT_EQ(CLSIDFromString(nullptr, &parsed), CO_E_CLASSSTRING);
}

TEST_F(GuidText, ArmedFaultsAreReturnedAsTheResult) {
  sim::fail_next("StringFromCLSID", 1, static_cast<std::uint32_t>(E_OUTOFMEMORY));
  LPOLESTR text = nullptr;
  EXPECT_EQ(StringFromCLSID(kSample, &text), E_OUTOFMEMORY);
  sim::fail_next("CoTaskMemAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(StringFromCLSID(kSample, &text), E_OUTOFMEMORY);
  EXPECT_EQ(text, nullptr);
}

}  // namespace
