// Shared by the schema tests: a clean machine with the demo providers installed, the service
// log in it, and a way to run a check in a fresh process (the TDH loader is made once per
// process).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "demo/declared_providers.h"
#include "sim/providers.h"
#include "testing/host_test_support.h"

namespace schema_testing {

inline const std::string kDemoDir = CONDUIT_DEMO_MANIFEST_DIR;

class SchemaTest : public host_testing::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    for (const char* file : {"ConduitDemoEvents.man", "ConduitDemoAudit.man", "ConduitDemoStorage.man"}) {
      ASSERT_TRUE(sim::install_provider_manifest(kDemoDir + "/" + file).ok()) << file;
    }
    ASSERT_EQ(sim::install_declared_provider(conduit_demo::mof_provider()), etw::CatalogStatus::Ok);
  }
};

}  // namespace schema_testing

// Runs the statements in a process of their own that starts from the test's beginning, so
// that process-wide state made on first use (the TDH loader) is made there afresh.
#define SCHEMA_IN_FRESH_PROCESS(statements)                                                   \
  do {                                                                                        \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                           \
    EXPECT_EXIT(                                                                              \
        {                                                                                     \
          statements;                                                                         \
          sim::exit_now(::testing::Test::HasFailure() ? 1 : 0);                               \
        },                                                                                    \
        ::testing::ExitedWithCode(0), "");                                                    \
  } while (0)
