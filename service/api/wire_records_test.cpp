#include "wire_records.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "testing/failure_text.h"
#include "testing/log_file.h"
#include "testing/wire_bytes.h"

namespace {

using ::testing::HasSubstr;

constexpr GUID kGuid = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};

class WireRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_.emplace();
  }
  std::optional<LogFile> log_;
};

TEST_F(WireRecordsTest, ResponseWithEmptyParamsAndTextResultIs27Bytes) {
  Socketdata response;
  response.status = 1;
  response.function = 6;
  response.result << std::string("abc");
  BinaryStream stream;
  response >> stream;
  ASSERT_EQ(stream.GetSize(), 27u);
  EXPECT_EQ(ContentOf(stream),
            WireBytes().U32(1).U32(6).U32(0).U32(0).U32(7).Text("abc").bytes());
}

TEST_F(WireRecordsTest, SocketdataRoundTripsAndIgnoresBytesAfterTheRecord) {
  Socketdata request;
  request.status = 3;
  request.function = 10;
  request.paramCount = 2;
  request.params << std::string("session") << UINT32{0};
  request.result << ULONGLONG{42};
  BinaryStream stream;
  request >> stream;
  stream << UINT32{0xDEADBEEF};

  Socketdata read;
  read << stream;
  EXPECT_EQ(read.status, 3u);
  EXPECT_EQ(read.function, 10u);
  EXPECT_EQ(read.paramCount, 2u);
  EXPECT_EQ(ContentOf(read.params), ContentOf(request.params));
  EXPECT_EQ(ContentOf(read.result), ContentOf(request.result));
  EXPECT_EQ(stream.GetRemainingSize(), 4u);
}

TEST_F(WireRecordsTest, EmptyRequestFailsAtTheFirstField) {
  BinaryStream empty;
  Socketdata request;
  EXPECT_EQ(FailureText([&] { request << empty; }), "Reading from Stream Failed");
  EXPECT_THAT(log_->Read(), HasSubstr("STANDARD EXCEPTION Fn: Socketdata::operator << : Exception: Reading from Stream Failed"));
}

TEST_F(WireRecordsTest, RequestEndingAfterItsParamsFailsAtTheResultLength) {
  WireBytes params;
  params.Text("session");
  BinaryStream stream = WireBytes().U32(0).U32(2).U32(1).Nested(params).Stream();
  Socketdata request;
  EXPECT_EQ(FailureText([&] { request << stream; }), "Reading from Stream Failed");
  // Everything up to the missing field was read.
  EXPECT_EQ(request.function, 2u);
  EXPECT_EQ(request.params.GetSize(), params.bytes().size());
}

TEST_F(WireRecordsTest, ProviderSettingTravelsNameLevelThenKeywords) {
  BinaryStream stream;
  ProviderSetting{"Demo-Provider", 4, 0x10, 0x20} >> stream;
  EXPECT_EQ(ContentOf(stream), WireBytes().Text("Demo-Provider").U8(4).U64(0x10).U64(0x20).bytes());

  ProviderSetting read;
  read << stream;
  EXPECT_EQ(read, (ProviderSetting{"Demo-Provider", 4, 0x10, 0x20}));
}

TEST_F(WireRecordsTest, ProviderSettingExTravelsGuidFirstAndNameLast) {
  const std::string guidText = "{01020304-0506-0708-090A-0B0C0D0E0F10}";
  const std::vector<char> expected =
      WireBytes().Text(guidText).U8(5).U64(0xAA).U64(0xBB).Text("Demo-Provider").bytes();
  BinaryStream stream;
  ProviderSettingEx{"Demo-Provider", 5, 0xAA, 0xBB, guidText} >> stream;
  EXPECT_EQ(ContentOf(stream), expected);

  BinaryStream wire(expected.data(), expected.size());
  ProviderSettingEx read;
  read << wire;
  EXPECT_EQ(read.providerGuid, guidText);
  EXPECT_EQ(read.level, 5);
  EXPECT_EQ(read.matchAnyKeyword, 0xAAu);
  EXPECT_EQ(read.matchAllKeyword, 0xBBu);
  EXPECT_EQ(read.providerName, "Demo-Provider");
}

TEST_F(WireRecordsTest, TruncatedSettingFailsAndNamesTheRecord) {
  BinaryStream streamEx = WireBytes().Text("{guid}").U8(4).Stream();
  ProviderSettingEx settingEx;
  EXPECT_EQ(FailureText([&] { settingEx << streamEx; }), "Reading from Stream Failed");
  EXPECT_THAT(log_->Read(), HasSubstr("STANDARD EXCEPTION Fn: ProviderSettingEx::operator << : Exception: Reading from Stream Failed"));
}

TEST_F(WireRecordsTest, ManifestGuidIsA20ByteRawBufferInMemoryLayout) {
  ProviderManifest manifest{"P", kGuid, "<xml/>"};
  BinaryStream stream;
  manifest >> stream;
  const std::vector<char> expected =
      WireBytes()
          .Text("P")
          .Bytes({0x10, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07, 0x09, 0x0A, 0x0B, 0x0C,
                  0x0D, 0x0E, 0x0F, 0x10})
          .Text("<xml/>")
          .bytes();
  EXPECT_EQ(ContentOf(stream), expected);

  ProviderManifest read;
  read << stream;
  EXPECT_EQ(read.providerName, "P");
  EXPECT_EQ(read.providerGuid, kGuid);
  EXPECT_EQ(read.manifest, "<xml/>");
}

TEST_F(WireRecordsTest, ManifestReaderRejectsGuidOfAnotherSize) {
  BinaryStream stream = WireBytes().Text("P").U32(8).U64(0).Text("").Stream();
  ProviderManifest read;
  EXPECT_EQ(FailureText([&] { read << stream; }), "Reading from Stream Failed");
}

}  // namespace
