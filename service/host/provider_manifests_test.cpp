#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qlx_windows_service.h"
#include "sim/providers.h"
#include "testing/host_test_support.h"
#include "windows.h"

namespace {

class ProviderManifestsTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    for (const char* file : {"ConduitDemoEvents.man", "ConduitDemoAudit.man"}) {
      ASSERT_TRUE(sim::install_provider_manifest(std::string(CONDUIT_DEMO_MANIFEST_DIR) + "/" + file).ok());
    }
  }

  static std::vector<std::string> Names(const std::vector<ProviderManifest>& records) {
    std::vector<std::string> names;
    for (const auto& record : records) names.push_back(record.providerName);
    return names;
  }
};

TEST_F(ProviderManifestsTest, ANameWhoseGuidDoesNotParseIsSkippedAndCounted) {
  QLXWindowsService service(TEXT("Orvix(R) Trace Redirect Service"));
  sim::fail_next("CLSIDFromString", 1, static_cast<std::uint32_t>(CO_E_CLASSSTRING));
  const auto records = service.GetProviderManifests({"Conduit-Demo-Events", "Nobody", "Conduit-Demo-Audit"});
  EXPECT_EQ(Names(records), (std::vector<std::string>{"Nobody", "Conduit-Demo-Audit"}));
  EXPECT_TRUE(log_->Contains(
      "WARNING # Conduit::GetProviderManifests # Generating manifest for Conduit-Demo-Events Parse GUID failed"));
  EXPECT_TRUE(log_->Contains(
      "INFO # Conduit::GetProviderManifests # Successfully generated all 3 manifests as requested ManifestAddedToList:2"));
  const GUID zero{};
  EXPECT_EQ(std::memcmp(&records[0].providerGuid, &zero, sizeof zero), 0);
  EXPECT_NE(records[1].manifest.find("name=\"Conduit-Demo-Audit\""), std::string::npos);

  EXPECT_TRUE(service.GetProviderManifests({}).empty());
  EXPECT_TRUE(log_->Contains("Successfully generated all 0 manifests as requested ManifestAddedToList:0"));
}

TEST_F(ProviderManifestsTest, WithoutAWorkingDirectoryTheRecordCarriesAnEmptyManifest) {
  QLXWindowsService service(TEXT("Orvix(R) Trace Redirect Service"));
  sim::fail_next("GetCurrentDirectoryW", 1, ERROR_ACCESS_DENIED);
  const auto records = service.GetProviderManifests({"Conduit-Demo-Events"});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].manifest.empty());
  std::string text;
  EXPECT_TRUE(service.GetProviderManifest("Conduit-Demo-Events", text));
  EXPECT_FALSE(text.empty());
}

TEST_F(ProviderManifestsTest, AllProvidersAreTheCollectorsListInItsOrder) {
  QLXWindowsService service(TEXT("Orvix(R) Trace Redirect Service"));
  EXPECT_EQ(service.GetAllProviders(), (std::vector<std::string>{"Conduit-Demo-Audit", "Conduit-Demo-Events"}));
  EXPECT_TRUE(log_->Contains("DEBUG #  Exiting function QLXWindowsService::GetAllProviders"));
}

}  // namespace
