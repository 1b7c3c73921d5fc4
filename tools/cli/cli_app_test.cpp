#include "cli_app.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record_command.h"
#include "testing/cli_run.h"

namespace conduit::host {
namespace {

using conduit::testing::CliRun;
using conduit::testing::RunCli;

TEST(ConduitCli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(RunCli({}).code, 2);
  EXPECT_EQ(RunCli({"frobnicate"}).code, 2);
  EXPECT_EQ(RunCli({"sink"}).code, 2);
  EXPECT_EQ(RunCli({"--port", "70000", "ping"}).code, 2);
  EXPECT_EQ(RunCli({"enable", "session"}).code, 2);
}

TEST(ConduitCli, PerProviderSettings) {
  const ProviderSetting defaults{"", 4, 0xF0, 0x1};
  auto plain = parse_provider_setting("Demo-Provider", defaults);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->name, "Demo-Provider");
  EXPECT_EQ(plain->level, 4);
  EXPECT_EQ(plain->matchAnyKeyword, 0xF0u);
  auto full = parse_provider_setting("{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81}:5:0xFF:16", defaults);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->name, "{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81}");
  EXPECT_EQ(full->level, 5);
  EXPECT_EQ(full->matchAnyKeyword, 0xFFu);
  EXPECT_EQ(full->matchAllKeyword, 16u);
  for (const char* bad : {"", ":4", "P:256", "P:4:0xZZ", "P:4:1:2:3", "P:-1", "P:4:18446744073709551616"}) {
    EXPECT_FALSE(parse_provider_setting(bad, defaults)) << bad;
  }
  EXPECT_EQ(RunCli({"--port", "1", "enable", "s", "P:level"}).code, 2);
  CliRun help = RunCli({"enable-guid", "--help"});
  EXPECT_NE(help.out.find("Example: conduit-cli enable-guid"), std::string::npos) << help.out;
}

TEST(ConduitCli, HelpListsEverySubcommand) {
  CliRun help = RunCli({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* sub : {"ping", "freq", "sink", "providers", "manifests", "start", "stop", "enable", "enable-guid",
                          "disable", "disable-guid", "redirect", "raw", "record"}) {
    EXPECT_NE(help.out.find(sub), std::string::npos) << sub;
  }
}

TEST(ConduitCli, AnUnreachableServiceExitsWithThree) {
  // Port 1 on loopback has no listener on any test machine we run on.
  CliRun result = RunCli({"--port", "1", "ping"});
  EXPECT_EQ(result.code, 3);
  EXPECT_NE(result.err.find("cannot connect"), std::string::npos) << result.err;
}

TEST(ConduitCli, ASourceAddressThatCannotBeUsedExitsWithThree) {
  CliRun result = RunCli({"--port", "1", "--source", "127.0.0.300", "ping"});
  EXPECT_EQ(result.code, 3);
  EXPECT_NE(result.err.find("not an IPv4 address: 127.0.0.300"), std::string::npos) << result.err;
}

// Port 1 has no listener: what passes the command line exits 3, what does not exits 2.
TEST(ConduitCliRecord, RefusesACommandLineThatCannotBeACapture) {
  for (std::vector<std::string> bad : {std::vector<std::string>{},
                                       {"--sink", "disk", "P"},
                                       {"--duration", "0", "P"},
                                       {"--duration", "-1", "P"},
                                       {"P:256"},
                                       {"{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E8}"},
                                       {"{5A1F0C3E-7B2D-4E8A-9C61+0D3F2B4A6E81}"}}) {
    bad.insert(bad.begin(), {"--port", "1", "record"});
    EXPECT_EQ(RunCli(bad).code, 2) << bad.back();
  }
  EXPECT_TRUE(is_guid_text("{5a1f0c3e-7B2D-4E8A-9C61-0D3F2B4A6E81}"));
  EXPECT_FALSE(is_guid_text("5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81"));
  CliRun help = RunCli({"record", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Example: conduit-cli record --duration 30"), std::string::npos) << help.out;
}

TEST(ConduitCliRecord, AnUnreachableServiceExitsThreeBeforeAnyStep) {
  for (const char* sink : {"file", "HW", "stp"}) {
    CliRun result = RunCli({"--port", "1", "record", "--sink", sink, "--duration", "1", "Demo"});
    EXPECT_EQ(result.code, 3) << sink;
    EXPECT_NE(result.err.find("cannot connect"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("record:"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
}  // namespace conduit::host
