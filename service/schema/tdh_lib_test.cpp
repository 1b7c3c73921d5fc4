#include "tdh_lib.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "etw_schema_collector.h"
#include "testing/schema_test_support.h"

namespace {

using schema_testing::SchemaTest;
using TdhLibTest = SchemaTest;

TEST_F(TdhLibTest, WithoutTheLibraryEveryEntryIsAFallbackAnsweringOne) {
  SCHEMA_IN_FRESH_PROCESS({
    sim::set_tdh_library_present(false);
    TdhLib* tdh = TdhLib::GetInstance();
    ASSERT_NE(tdh, nullptr);
    EXPECT_EQ(tdh->m_module, nullptr);
    EXPECT_EQ(tdh->pfnTdhLoadManifest, &TdhLib::TdhLoadManifest_Error);
    EXPECT_EQ(tdh->pfnTdhGetEventInformation, &TdhLib::TdhGetEventInformation_Error);
    ULONG size = 0;
    EXPECT_EQ(tdh->pfnTdhEnumerateProviders(nullptr, &size), 1u);
    const std::string log = Log();
    EXPECT_NE(log.find("Loading TDH Library (tdh.dll) Failed , Error code : 126, \n"), std::string::npos) << log;
    EXPECT_EQ(LogFile::CountIn(log, "function TdhLib::TdhEnumerateProviders_Error"), 2u);

    // Enumeration reports the fallback's status and lists nothing, and tries again next time.
    CEtwSchemaCollector* collector = CEtwSchemaCollector::getInstance();
    std::list<std::string> providers;
    collector->GetProviders(providers);
    collector->GetProviders(providers);
    EXPECT_TRUE(providers.empty());
    EXPECT_EQ(log_->Count("ERROR # CEtwSchemaCollector::EnumerateProviders # TdhEnumerateProviders failed with 1."), 2u);
    CEtwSchemaCollector::deleteInstance();
  });
}

TEST_F(TdhLibTest, AMissingExportFailsAloneWithProcedureNotFound) {
  SCHEMA_IN_FRESH_PROCESS({
    sim::remove_tdh_export("TdhLoadManifest");
    TdhLib* tdh = TdhLib::GetInstance();
    EXPECT_EQ(tdh->pfnTdhLoadManifest, &TdhLib::TdhLoadManifest_Error);
    EXPECT_NE(tdh->pfnTdhUnloadManifest, &TdhLib::TdhUnloadManifest_Error);
    EXPECT_NE(tdh->pfnTdhEnumerateProviders, &TdhLib::TdhEnumerateProviders_Error);
    EXPECT_TRUE(log_->Contains("GetProcAddress for Fn : TdhLoadManifest Failed , Error code : 127"));
    EXPECT_EQ(log_->Count("Successful"), 5u);
    EXPECT_EQ(TdhLib::GetInstance(), tdh);
  });
}

TEST_F(TdhLibTest, ConcurrentFirstCallersShareOneInstance) {
  SCHEMA_IN_FRESH_PROCESS({
    std::vector<TdhLib*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
      threads.emplace_back([&seen, i] { seen[i] = TdhLib::GetInstance(); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::set<TdhLib*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(log_->Count("Entering  function TdhLib::TdhLib"), 1u);
  });
}

TEST_F(TdhLibTest, FailedCreationHandsOutFallbacksNeverNull) {
  SCHEMA_IN_FRESH_PROCESS({
    sim::fail_next("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    TdhLib* fallbacks = TdhLib::GetInstance();
    ASSERT_NE(fallbacks, nullptr);
    ULONG size = 0;
    EXPECT_EQ(fallbacks->pfnTdhEnumerateProviders(nullptr, &size), 1u);
    EXPECT_TRUE(log_->Contains("STANDARD EXCEPTION Fn: TdhLib::GetInstance"));
    // A later caller gets the real library.
    TdhLib* real = TdhLib::GetInstance();
    EXPECT_NE(real, fallbacks);
    EXPECT_EQ(real->pfnTdhEnumerateProviders(nullptr, &size), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
  });
}

TEST_F(TdhLibTest, FormatPropertyHandleResolvesOnlyWhenAsked) {
  HMODULE module = nullptr;
  GetFormatPropertyHandle(&module, nullptr);
  EXPECT_NE(module, nullptr);
  TdhLib::TdhFormatPropertyFn format = nullptr;
  HMODULE second = nullptr;
  GetFormatPropertyHandle(&second, &format);
  EXPECT_NE(format, nullptr);
  FreeLibrary(module);
  FreeLibrary(second);

  sim::set_tdh_library_present(false);
  GetFormatPropertyHandle(&second, &format);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(format, nullptr);
}

}  // namespace
