#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "binary_stream.h"
#include "service_api.h"
#include "service_fault.h"
#include "sim/sim.h"
#include "testing/fake_service_api.h"
#include "testing/log_file.h"
#include "testing/loopback_connection.h"
#include "testing/wire_bytes.h"
#include "wire_records.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// One response as the peer receives it: the raw bytes and the decoded record.
struct Response {
  std::vector<char> bytes;
  UINT32 status = 0;
  UINT32 function = 0;
  UINT32 paramCount = 0;
  UINT32 paramsSize = 0;
  BinaryStream result;

  std::string ResultText() {
    std::string text;
    result >> text;
    return text;
  }
};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    log_ = std::make_unique<LogFile>();
    connection_ = std::make_unique<LoopbackConnection>();
  }
  void TearDown() override { connection_.reset(); }

  void Dispatch(const WireBytes& request) {
    service_.ProcessServiceAPI(connection_->service(), request.data(), request.size());
  }

  Response Call(const WireBytes& request) {
    Dispatch(request);
    return ReceiveResponse();
  }

  // Reads one response: the 16 bytes up to the params length, the params, the result.
  Response ReceiveResponse() {
    Response response;
    response.bytes.resize(16);
    EXPECT_TRUE(connection_->ReadExactly(response.bytes.data(), 16));
    BinaryStream header(response.bytes.data(), 16);
    header >> response.status >> response.function >> response.paramCount >> response.paramsSize;
    response.bytes.resize(16 + response.paramsSize + 4);
    EXPECT_TRUE(connection_->ReadExactly(response.bytes.data() + 16, response.paramsSize + 4));
    UINT32 resultSize = 0;
    std::memcpy(&resultSize, response.bytes.data() + 16 + response.paramsSize, 4);
    const std::size_t resultAt = response.bytes.size();
    response.bytes.resize(resultAt + resultSize);
    EXPECT_TRUE(resultSize == 0 || connection_->ReadExactly(response.bytes.data() + resultAt, resultSize));
    response.result = BinaryStream(response.bytes.data() + resultAt, resultSize);
    return response;
  }

  // The service end is closed after the call, so the peer reads whatever was sent.
  std::vector<char> SentBeforeClose() {
    connection_->CloseService();
    return connection_->ReadUntilClosed();
  }

  FakeServiceApi service_;
  std::unique_ptr<LogFile> log_;
  std::unique_ptr<LoopbackConnection> connection_;
};

TEST_F(DispatcherTest, AnswersMissingParametersWithStatus2AndTheFixedText) {
  Response response = Call(WireBytes::Request(2, 0));
  EXPECT_EQ(response.bytes, WireBytes().U32(2).U32(2).U32(0).U32(0).U32(4 + 22).Text("No parameters provided").bytes());
  EXPECT_THAT(service_.calls, IsEmpty());
  EXPECT_TRUE(log_->Contains("ERROR # Conduit::ProcessServiceAPI # startTraceSession # No/Less parameters provided"));
}

TEST_F(DispatcherTest, EveryCountedCaseRejectsAWrongCountWithoutReadingOrCalling) {
  const std::vector<std::tuple<UINT32, UINT32, std::string>> cases = {
      {0, 1, "getProviderManifests"}, {2, 1, "startTraceSession"},      {3, 1, "stopTraceSession"},
      {5, 2, "enableProviders"},      {6, 2, "disableProviders"},        {7, 1, "redirectTrace"},
      {9, 1, "setSyncType"},          {10, 2, "enableProvidersByGUID"}, {11, 2, "disableProvidersByGUID"}};
  for (const auto& [code, required, name] : cases) {
    SCOPED_TRACE(name);
    // Valid parameters for the required count, sent with a count one too many.
    WireBytes params;
    params.Text("session").U32(0);
    Response response = Call(WireBytes::Request(code, required + 1, params));
    EXPECT_EQ(response.status, 2u);
    EXPECT_EQ(response.function, code);
    EXPECT_EQ(response.ResultText(), "No parameters provided");
    EXPECT_TRUE(log_->Contains("ERROR # Conduit::ProcessServiceAPI # " + name + " # No/Less parameters provided"));
  }
  EXPECT_THAT(service_.calls, IsEmpty());
}

TEST_F(DispatcherTest, UnknownFunctionCodesAnswerStatus1) {
  for (UINT32 code : {12u, 4294967295u}) {
    Response response = Call(WireBytes::Request(code, 0));
    EXPECT_EQ(response.status, 1u);
    EXPECT_EQ(response.function, code);
    EXPECT_EQ(response.ResultText(), "No such function supported");
  }
  EXPECT_TRUE(log_->Contains("ERROR # Conduit::ProcessServiceAPI # No suitable function 12 supported"));
  EXPECT_TRUE(log_->Contains("ERROR # Conduit::ProcessServiceAPI # No suitable function -1 supported"));
}

TEST_F(DispatcherTest, SetSyncTypeAcceptsOnlyOneToThree) {
  for (UINT32 sinkType : {0u, 4u}) {
    WireBytes params;
    params.U32(sinkType);
    Response response = Call(WireBytes::Request(9, 1, params));
    EXPECT_EQ(response.status, 2u);
    EXPECT_EQ(response.ResultText(), "Invalid Sync type provided");
    EXPECT_TRUE(log_->Contains("ERROR # Conduit::ProcessServiceAPI # Invalid sync Type [" + std::to_string(sinkType) +
                               "] provided"));
  }
  EXPECT_THAT(service_.calls, IsEmpty());

  WireBytes params;
  params.U32(3);
  Response response = Call(WireBytes::Request(9, 1, params));
  EXPECT_EQ(response.status, 0u);
  EXPECT_EQ(response.result.GetSize(), 0u);
  EXPECT_EQ(service_.traceSinkType, 3u);
}

TEST_F(DispatcherTest, ConduitProbeAnswersWithFunction2AndItsName) {
  Response response = Call(WireBytes::Request(8, 7));
  EXPECT_EQ(response.status, 0u);
  EXPECT_EQ(response.function, 2u);
  EXPECT_EQ(response.paramCount, 0u);
  EXPECT_EQ(response.ResultText(), "conduit");
  EXPECT_THAT(service_.calls, IsEmpty());
}

TEST_F(DispatcherTest, EmptyManifestListIsAFailure) {
  WireBytes params;
  params.U32(0);
  Response response = Call(WireBytes::Request(0, 1, params));
  EXPECT_EQ(response.status, 1u);
  EXPECT_EQ(response.ResultText(), "GetProviderManifest function returned  InstrumentationManifestType");
  EXPECT_THAT(service_.calls, ElementsAre("GetProviderManifests"));
  EXPECT_THAT(service_.names, IsEmpty());
  EXPECT_TRUE(log_->Contains("ERROR # Conduit::ProcessServiceAPI # getProviderManifests # Manifest size 0"));
}

TEST_F(DispatcherTest, ManifestsAnswerCountThenRecords) {
  const GUID guid = {0xA1B2C3D4, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
  service_.manifests = {{"First", guid, "<a/>"}, {"Second", GUID_NULL, "<b/>"}};
  WireBytes params;
  params.U32(2).Text("First").Text("Second");
  Response response = Call(WireBytes::Request(0, 1, params));
  EXPECT_EQ(response.status, 0u);
  EXPECT_THAT(service_.names, ElementsAre("First", "Second"));

  UINT32 count = 0;
  response.result >> count;
  ASSERT_EQ(count, 2u);
  ProviderManifest first;
  ProviderManifest second;
  first << response.result;
  second << response.result;
  EXPECT_EQ(first.providerName, "First");
  EXPECT_EQ(first.providerGuid, guid);
  EXPECT_EQ(first.manifest, "<a/>");
  EXPECT_EQ(second.providerName, "Second");
  EXPECT_EQ(second.providerGuid, GUID_NULL);
  EXPECT_EQ(response.result.GetRemainingSize(), 0u);
}

TEST_F(DispatcherTest, UncountedQueriesAnswerTheirResults) {
  service_.providers = {"Alpha", "", "Gamma"};
  service_.processorFrequency = 10'000'000ULL << 10;
  // Counts are not checked for these codes.
  Response providers = Call(WireBytes::Request(1, 9));
  EXPECT_EQ(providers.status, 0u);
  EXPECT_EQ(ContentOf(providers.result), WireBytes().U32(3).Text("Alpha").Text("").Text("Gamma").bytes());

  Response frequency = Call(WireBytes::Request(4, 0));
  EXPECT_EQ(frequency.status, 0u);
  EXPECT_EQ(ContentOf(frequency.result), WireBytes().U64(10'000'000ULL << 10).bytes());
  EXPECT_THAT(service_.calls, ElementsAre("GetAllProviders", "GetMaxProcessorFrequency"));
}

TEST_F(DispatcherTest, SessionOperationsReceiveTheSessionName) {
  const std::vector<std::pair<UINT32, std::string>> cases = {
      {2, "StartTraceSession"}, {3, "StopTraceSession"}, {7, "RedirectTrace"}};
  for (const auto& [code, operation] : cases) {
    SCOPED_TRACE(operation);
    service_.calls.clear();
    WireBytes params;
    params.Text("Session " + operation);
    Response response = Call(WireBytes::Request(code, 1, params));
    EXPECT_EQ(response.status, 0u);
    EXPECT_EQ(response.function, code);
    EXPECT_EQ(response.result.GetSize(), 0u);
    EXPECT_THAT(service_.calls, ElementsAre(operation));
    EXPECT_EQ(service_.sessionName, "Session " + operation);
  }
  EXPECT_TRUE(log_->Contains("INFO # Conduit::ProcessServiceAPI # startTraceSession for provider Session StartTraceSession"));
}

TEST_F(DispatcherTest, SettingListsReachTheOperationsIntact) {
  const std::vector<ProviderSetting> settings = {{"Alpha", 4, 0xFF, 0x1}, {std::string("B\0c", 3), 0, 0, 0}};
  const std::vector<ProviderSettingEx> settingsEx = {
      {"Alpha", 5, 0x8000000000000000ULL, 0x2, "{01020304-0506-0708-090A-0B0C0D0E0F10}"},
      {"", 1, 0, 0, "{00000000-0000-0000-0000-000000000000}"}};
  BinaryStream encoded;
  for (const auto& setting : settings) setting >> encoded;
  BinaryStream encodedEx;
  for (const auto& setting : settingsEx) setting >> encodedEx;
  WireBytes params;
  params.Text("S").U32(2).Raw(ContentOf(encoded).data(), encoded.GetSize());
  WireBytes paramsEx;
  paramsEx.Text("T").U32(2).Raw(ContentOf(encodedEx).data(), encodedEx.GetSize());

  EXPECT_EQ(Call(WireBytes::Request(5, 2, params)).status, 0u);
  EXPECT_EQ(service_.sessionName, "S");
  EXPECT_EQ(service_.settings, settings);
  EXPECT_EQ(Call(WireBytes::Request(10, 2, paramsEx)).status, 0u);
  EXPECT_EQ(service_.sessionName, "T");
  EXPECT_EQ(service_.settingsEx, settingsEx);
}

TEST_F(DispatcherTest, DisableOperationsReceiveTheirTextLists) {
  WireBytes byName;
  byName.Text("S").U32(2).Text("Alpha").Text("Beta");
  EXPECT_EQ(Call(WireBytes::Request(6, 2, byName)).status, 0u);
  EXPECT_THAT(service_.calls, ElementsAre("DisableProviders"));
  EXPECT_THAT(service_.names, ElementsAre("Alpha", "Beta"));

  WireBytes byGuid;
  byGuid.Text("T").U32(1).Text("{01020304-0506-0708-090A-0B0C0D0E0F10}");
  EXPECT_EQ(Call(WireBytes::Request(11, 2, byGuid)).status, 0u);
  EXPECT_EQ(service_.sessionName, "T");
  EXPECT_THAT(service_.names, ElementsAre("{01020304-0506-0708-090A-0B0C0D0E0F10}"));
}

TEST_F(DispatcherTest, ExceptionsFromOperationsBecomeStatus1WithTheirTexts) {
  using Throw = FakeServiceApi::Throw;
  service_.faultMessage = "Session not found";
  service_.faultCode = 5;
  const std::vector<std::tuple<Throw, std::string, std::string>> cases = {
      {Throw::ServiceFault, "Error:: Session not found , Error code : 5",
       "QLXServiceFault Fn: QLXWindowsService::ProcessServiceAPI : Exception: Session not found , ErrorCode: 5l"},
      {Throw::StandardException, "Error :: Session not found",
       "STANDARD EXCEPTION Fn: QLXWindowsService::ProcessServiceAPI : Exception: Session not found"},
      {Throw::NonStandard, "Error :: Unknown Exception Error", "GENERIC EXCEPTION Fn: QLXWindowsService::ProcessServiceAPI"}};
  for (const auto& [kind, text, logLine] : cases) {
    SCOPED_TRACE(text);
    service_.throwKind = kind;
    WireBytes params;
    params.Text("S");
    Response response = Call(WireBytes::Request(3, 1, params));
    EXPECT_EQ(response.status, 1u);
    EXPECT_EQ(response.function, 3u);
    EXPECT_EQ(response.ResultText(), text);
    EXPECT_TRUE(log_->Contains(logLine));
  }
}

TEST_F(DispatcherTest, ParametersRunningPastTheEndAnswerTheReadFailure) {
  // Three settings declared, one present.
  WireBytes params;
  params.Text("S").U32(3).Text("Alpha").U8(1).U64(2).U64(3);
  Response response = Call(WireBytes::Request(5, 2, params));
  EXPECT_EQ(response.status, 1u);
  EXPECT_EQ(response.ResultText(), "Error :: Reading from Stream Failed");
  EXPECT_THAT(service_.calls, IsEmpty());

  // A session name whose declared length is far beyond the parameters.
  WireBytes huge;
  huge.U32(0xFFFFFFFF).Text("x");
  Response hugeResponse = Call(WireBytes::Request(2, 1, huge));
  EXPECT_EQ(hugeResponse.status, 1u);
  EXPECT_EQ(hugeResponse.ResultText(), "Error :: Reading from Stream Failed");
  EXPECT_THAT(service_.calls, IsEmpty());
}

TEST_F(DispatcherTest, CasesLogTheirEntryAndExitEvenWhenTheOperationThrows) {
  service_.throwKind = FakeServiceApi::Throw::StandardException;
  WireBytes params;
  params.Text("S");
  Call(WireBytes::Request(7, 1, params));
  const std::string log = log_->Read();
  const auto entry = log.find("DEBUG # Conduit::ProcessServiceAPI # Entering case redirectTrace");
  const auto exit = log.find("DEBUG # Conduit::ProcessServiceAPI # Exiting case redirectTrace");
  ASSERT_NE(entry, std::string::npos);
  ASSERT_NE(exit, std::string::npos);
  EXPECT_LT(entry, exit);
}

TEST_F(DispatcherTest, UndecodableEnvelopeSendsNothingAndThrows) {
  WireBytes params;
  params.Text("S");
  // Ends after its parameters, without the result length.
  WireBytes truncated;
  truncated.U32(0).U32(2).U32(1).Nested(params);
  EXPECT_THROW(Dispatch(truncated), std::runtime_error);
  // The empty receive that follows a peer's orderly close.
  const char nothing = 0;
  EXPECT_THROW(service_.ProcessServiceAPI(connection_->service(), &nothing, 0), std::runtime_error);
  EXPECT_THAT(SentBeforeClose(), IsEmpty());
  EXPECT_THAT(service_.calls, IsEmpty());
  EXPECT_TRUE(log_->Contains("STANDARD EXCEPTION Fn: Socketdata::operator << : Exception: Reading from Stream Failed"));
}

TEST_F(DispatcherTest, NullDataIsRejectedWithoutResponse) {
  EXPECT_NO_THROW(service_.ProcessServiceAPI(connection_->service(), nullptr, 12));
  // A negative count is no request either: it decodes as an empty one.
  const char byte = 0;
  EXPECT_THROW(service_.ProcessServiceAPI(connection_->service(), &byte, -5), std::runtime_error);
  EXPECT_THAT(SentBeforeClose(), IsEmpty());
  EXPECT_TRUE(log_->Contains("Error # Invalid parameters"));
}

// An answer that could not be sent ends the connection (the peer learns at once that none is
// coming), and a new connection is answered as before.
TEST_F(DispatcherTest, FailedSendIsLoggedAndEndsTheConnection) {
  sim::fail_next("send", 1, WSAECONNRESET);
  EXPECT_NO_THROW(Dispatch(WireBytes::Request(8, 0)));
  EXPECT_TRUE(log_->Contains("ERROR # send failed with error: 10054"));
  char byte = 0;
  EXPECT_FALSE(connection_->ReadExactly(&byte, 1));
  connection_ = std::make_unique<LoopbackConnection>();
  EXPECT_EQ(Call(WireBytes::Request(8, 0)).ResultText(), "conduit");
}

}  // namespace
