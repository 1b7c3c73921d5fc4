// The provider operations over the wire: Conduit hosted on a machine with the demo
// providers installed, driven by the host client and conduit-cli.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "conduit_client.h"
#include "demo_providers.h"
#include "sim/sim.h"
#include "testing/cli_run.h"
#include "hosted_target.h"

namespace {

using conduit::host::ConduitClient;

const std::string kEventsGuid = "{3C8EB5F2-4F6C-428B-AED5-59D699BADD57}";
const std::string kZeroGuid = "{00000000-0000-0000-0000-000000000000}";

class ProviderSchema : public conduit::testing::HostedTarget {
 protected:

  int Cli(std::vector<std::string> arguments, std::string& output, std::string* errors = nullptr) {
    arguments.insert(arguments.begin(), {"--port", std::to_string(m_service->Port())});
    auto run = conduit::testing::run_cli_in_process(std::move(arguments));
    output = run.out;
    if (errors) *errors = run.err;
    return run.code;
  }
};

TEST_F(ProviderSchema, ListsTheRegisteredDemoProviders) {
  ConduitClient client("127.0.0.1", m_service->Port());
  auto answer = client.all_providers();
  ASSERT_EQ(answer.status, 0u);
  const auto names = conduit::host::decode_text_list(answer.result);
  for (const char* name : {"Conduit-Demo-Events", "Conduit-Demo-Audit", "Conduit-Demo/Storage", "Conduit-Demo-Mof"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
  // WPP and TraceLogging providers are not registered ones.
  EXPECT_EQ(std::find(names.begin(), names.end(), "Conduit-Demo-Wpp"), names.end());
}

TEST_F(ProviderSchema, OneManifestRecordPerRequestedNameInRequestOrder) {
  ConduitClient client("127.0.0.1", m_service->Port());
  auto answer = client.provider_manifests({"Conduit-Demo-Events", "Nobody", "Conduit-Demo/Storage", "Conduit-Demo-Events"});
  ASSERT_EQ(answer.status, 0u);
  const auto records = conduit::host::decode_manifests(answer.result);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].name, "Conduit-Demo-Events");
  EXPECT_EQ(records[0].guid, kEventsGuid);
  EXPECT_NE(records[0].manifest.find("<keyword mask=\"0x800000000000\" name=\"Diagnostic\"/>"), std::string::npos);
  EXPECT_EQ(records[1].name, "Nobody");
  EXPECT_EQ(records[1].guid, kZeroGuid);
  EXPECT_NE(records[1].manifest.find("<keywords/>"), std::string::npos);
  // A name with a path separator gets its GUID but no file, hence no text.
  EXPECT_EQ(records[2].name, "Conduit-Demo/Storage");
  EXPECT_NE(records[2].guid, kZeroGuid);
  EXPECT_TRUE(records[2].manifest.empty());
  EXPECT_EQ(records[3].manifest, records[0].manifest);

  // No records at all is answered as a failure.
  auto none = client.provider_manifests({});
  EXPECT_EQ(none.status, 1u);
  EXPECT_EQ(conduit::host::error_text(none.result), "GetProviderManifest function returned  InstrumentationManifestType");
}

TEST_F(ProviderSchema, CliListsNamesWithGuidsAndSavesManifestsUnderSafeNames) {
  std::string output;
  ASSERT_EQ(Cli({"providers", "--filter", "demo-EVENTS"}, output), 0);
  EXPECT_EQ(output, "Conduit-Demo-Events\t" + kEventsGuid + "\n");

  const auto folder = sim::target_root() / "fetched";
  std::filesystem::create_directories(folder);
  std::string errors;
  ASSERT_EQ(Cli({"manifests", "Conduit-Demo-Events", "Conduit-Demo/Storage", "--out", folder.string()}, output,
                &errors),
            0);
  EXPECT_NE(output.find("Conduit-Demo-Events\t" + kEventsGuid), std::string::npos) << output;
  std::ifstream saved(folder / "Conduit-Demo-Events.xml");
  const std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  // The service gives no text for a name with a path separator: no manifest, no file.
  EXPECT_NE(errors.find("Conduit-Demo/Storage: no manifest: "), std::string::npos) << errors;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);

  // Names the target does not know, or that would leave the folder: nothing is written.
  const auto other = sim::target_root() / "other";
  std::filesystem::create_directories(other);
  EXPECT_EQ(Cli({"--json", "manifests", "a/b", "a_b", "..", "C:\\x", "--out", other.string()}, output, &errors), 1);
  EXPECT_TRUE(std::filesystem::is_empty(other));
  EXPECT_NE(errors.find("a_b: no manifest: not registered on the target"), std::string::npos) << errors;
}

}  // namespace
