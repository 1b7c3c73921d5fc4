#include "etw_schema_collector.h"

#include <gtest/gtest.h>

#include "testing/schema_test_support.h"

namespace {

using schema_testing::SchemaTest;

class CollectorTest : public SchemaTest {
 protected:
  void SetUp() override {
    SchemaTest::SetUp();
    m_collector = CEtwSchemaCollector::getInstance();
  }
  void TearDown() override {
    CEtwSchemaCollector::deleteInstance();
    SchemaTest::TearDown();
  }

  std::vector<std::pair<std::string, std::string>> Keywords(const std::string& name) {
    ProviderRecord record;
    m_collector->GetProviderMetadata(name, &record);
    std::vector<std::pair<std::string, std::string>> keywords;
    for (const auto& keyword : record.keywords) keywords.emplace_back(keyword.name, keyword.mask);
    return keywords;
  }

  CEtwSchemaCollector* m_collector = nullptr;
};

const std::string kEventsGuid = "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}";
const std::string kZeroGuid = "{00000000-0000-0000-0000-000000000000}";

TEST_F(CollectorTest, ListsOnceInPlatformOrderAndNeverAsksAgain) {
  std::list<std::string> providers;
  m_collector->GetProviders(providers);
  EXPECT_EQ(providers, (std::list<std::string>{"Conduit-Demo-Audit", "Conduit-Demo-Events", "Conduit-Demo-Mof",
                                               "Conduit-Demo/Storage"}));
  // A provider installed later is not listed, but its name resolves.
  auto later = conduit_demo::mof_provider();
  later.name = "Conduit-Demo-Later";
  later.guid = *etw::parse_guid_text("{0000000A-0000-0000-0000-000000000001}");
  ASSERT_EQ(sim::install_declared_provider(later), etw::CatalogStatus::Ok);
  sim::fail_next("TdhEnumerateProviders", 1, ERROR_ACCESS_DENIED);
  std::list<std::string> again;
  m_collector->GetProviders(again);
  EXPECT_EQ(again, providers);
  EXPECT_FALSE(log_->Contains("failed with 5."));
  sim::clear_faults();
  EXPECT_EQ(m_collector->GetProviderGuid("Conduit-Demo-Later"), "{0000000A-0000-0000-0000-000000000001}");
}

TEST_F(CollectorTest, EnumerationAndAllocationFailuresListNothingAndAreRetried) {
  std::list<std::string> providers;
  sim::fail_next("TdhEnumerateProviders", 1, ERROR_ACCESS_DENIED);
  m_collector->GetProviders(providers);
  EXPECT_TRUE(providers.empty());
  EXPECT_TRUE(log_->Contains("ERROR # CEtwSchemaCollector::EnumerateProviders # TdhEnumerateProviders failed with 5."));
  sim::fail_next("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  m_collector->GetProviders(providers);
  EXPECT_TRUE(providers.empty());
  EXPECT_TRUE(log_->Contains("ERROR # CEtwSchemaCollector::EnumerateProviders # Allocation failed (size="));
  m_collector->GetProviders(providers);
  EXPECT_EQ(providers.size(), 4u);
}

TEST_F(CollectorTest, LookupIsExactAndWalksUncachedBeforeEnumeration) {
  EXPECT_EQ(m_collector->GetProviderGuid("Conduit-Demo-Events"), kEventsGuid);
  // The walk logs each provider up to the match (Audit, then Events) and no summary.
  EXPECT_EQ(log_->Count("INFO # Provider name: "), 2u);
  EXPECT_TRUE(log_->Contains("INFO # Provider name: Conduit-Demo-Events\nProvider GUID: " + kEventsGuid +
                             "\nSource: XML manifest\n\n"));
  EXPECT_FALSE(log_->Contains("registered providers"));

  EXPECT_EQ(m_collector->GetProviderGuid("conduit-demo-events"), kZeroGuid);
  EXPECT_EQ(m_collector->GetProviderGuid(""), kZeroGuid);
  EXPECT_TRUE(log_->Contains(
      "INFO # There are 4 registered providers; 1 are registered via MOF class and\n3 are registered via a manifest.\n"));
  EXPECT_TRUE(log_->Contains("Source: WMI MOF class"));

  sim::fail_next("TdhEnumerateProviders", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_collector->GetProviderGuid("Conduit-Demo-Mof"), kZeroGuid);
  EXPECT_TRUE(log_->Contains("ERROR # CEtwSchemaCollector::GetProviderGuidInternal # TdhEnumerateProviders failed with 5."));
}

TEST_F(CollectorTest, ANameReportedTwiceIsListedTwiceAndResolvesToTheLaterEntry) {
  auto twin = conduit_demo::mof_provider();
  twin.guid = *etw::parse_guid_text("{FFFFFFFF-0000-0000-0000-000000000001}");
  ASSERT_EQ(sim::install_declared_provider(twin), etw::CatalogStatus::Ok);
  std::list<std::string> providers;
  m_collector->GetProviders(providers);
  EXPECT_EQ(std::count(providers.begin(), providers.end(), "Conduit-Demo-Mof"), 2);
  EXPECT_EQ(m_collector->GetProviderGuid("Conduit-Demo-Mof"), "{FFFFFFFF-0000-0000-0000-000000000001}");
}

TEST_F(CollectorTest, OwnKeywordsStayAndPredefinedOnesGoUnlessNothingElsePasses) {
  // Conduit-Demo-Events: own keywords in bits 0, 1, 2 and 47, predefined ones from its events.
  EXPECT_EQ(Keywords("Conduit-Demo-Events"),
            (std::vector<std::pair<std::string, std::string>>{
                {"Session", "0x1"}, {"Network", "0x2"}, {"Storage", "0x4"}, {"Diagnostic", "0x800000000000"}}));
  // Conduit-Demo-Audit: everything lies in bits 48 to 63, so everything stays.
  const auto audit = Keywords("Conduit-Demo-Audit");
  ASSERT_FALSE(audit.empty());
  for (const auto& [name, mask] : audit) EXPECT_GE(mask.size(), 15u) << name;
  EXPECT_NE(std::find(audit.begin(), audit.end(), std::make_pair(std::string("Audit"), std::string("0x100000000000000"))),
            audit.end());
}

TEST_F(CollectorTest, WithoutKeywordsOrRegistrationTheRecordHasNone) {
  EXPECT_TRUE(Keywords("Conduit-Demo-Mof").empty());
  EXPECT_TRUE(Keywords("Nobody").empty());
  EXPECT_EQ(log_->Count("ERROR # CEtwSchemaCollector::TDHGetEventProperties_KeywordsRequested # field type not found."), 2u);

  GUID guid{};
  ProviderRecord record;
  record.keywords.push_back({"kept", "", "0x8", ""});
  sim::fail_next("TdhEnumerateProviderFieldInformation", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_collector->TDHGetEventProperties_Keywords(&guid, &record), 5u);
  EXPECT_TRUE(log_->Contains("TdhEnumerateProviderFieldInformation failed with 5."));
  EXPECT_EQ(record.keywords.size(), 1u);
  GUID events = m_collector->GetProviderLPGuidInternal("Conduit-Demo-Events");
  sim::fail_next("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(m_collector->TDHGetEventProperties_Keywords(&events, &record), 14u);
  EXPECT_TRUE(log_->Contains("ERROR # CEtwSchemaCollector::TDHGetEventProperties_Keywords # Allocation failed (size="));
  EXPECT_EQ(m_collector->TDHGetEventProperties_Keywords(nullptr, &record), 87u);
}

TEST_F(CollectorTest, PrefixedKeywordNamesAddTheirNamespaceOnce) {
  ProviderRecord record;
  m_collector->GetProviderMetadata("Conduit-Demo-Events", &record);
  EXPECT_EQ(m_collector->GetNamespaces().size(), 3u);
  m_collector->AddPrefixToNamespaces("win:Custom");
  m_collector->AddPrefixToNamespaces("acme:Fast");
  m_collector->AddPrefixToNamespaces("plain");
  auto namespaces = m_collector->GetNamespaces();
  EXPECT_EQ(namespaces.size(), 4u);
  EXPECT_EQ(namespaces["win"], "http://manifests.microsoft.com/win/2004/08/windows/events");
  EXPECT_EQ(namespaces["acme"], "http://manifests.microsoft.com/win/2004/08/windows/events/acme");
  // The next collection starts from the seeded three again.
  m_collector->GetProviderMetadata("Conduit-Demo-Mof", &record);
  EXPECT_EQ(m_collector->GetNamespaces().count("acme"), 0u);
}

TEST_F(CollectorTest, PredefinedFiltersKeepBordersAndEmptyResults) {
  ProviderRecord record;
  record.levels = {{"l15", "", 15, ""}, {"l16", "", 16, ""}};
  record.tasks = {{"none", "", 0, "", ""}};
  record.opcodes = {{"o9", "", 9, "", ""}, {"o10", "", 10, "", ""}, {"o239", "", 239, "", ""}, {"o240", "", 240, "", ""}};
  record.keywords = {{"own", "", "0x800000000000", ""}, {"predefined", "", "0x1000000000000", ""}};
  m_collector->RemoveEtwPredefines(record);
  ASSERT_EQ(record.levels.size(), 1u);
  EXPECT_EQ(record.levels[0].name, "l16");
  EXPECT_EQ(record.tasks.size(), 1u);  // nothing passed: unchanged
  ASSERT_EQ(record.opcodes.size(), 2u);
  EXPECT_EQ(record.opcodes[0].name, "o10");
  EXPECT_EQ(record.opcodes[1].name, "o239");
  ASSERT_EQ(record.keywords.size(), 1u);
  EXPECT_EQ(record.keywords[0].name, "own");
  EXPECT_EQ(KeywordMaskText(0), "0x0");
  EXPECT_EQ(KeywordMaskText(0xABCDEF0123456789ull), "0xABCDEF0123456789");
}

}  // namespace
