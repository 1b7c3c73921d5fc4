#include "cli_app.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace conduit::host {
namespace {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun run(std::vector<const char*> args) {
  args.insert(args.begin(), "conduit-cli");
  std::ostringstream out, err;
  int code = run_cli(static_cast<int>(args.size()), args.data(), out, err);
  return {code, out.str(), err.str()};
}

TEST(ConduitCli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(run({}).code, 2);
  EXPECT_EQ(run({"frobnicate"}).code, 2);
  EXPECT_EQ(run({"sink"}).code, 2);
  EXPECT_EQ(run({"--port", "70000", "ping"}).code, 2);
  EXPECT_EQ(run({"enable", "session"}).code, 2);
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
  EXPECT_EQ(run({"--port", "1", "enable", "s", "P:level"}).code, 2);
  CliRun help = run({"enable-guid", "--help"});
  EXPECT_NE(help.out.find("Example: conduit-cli enable-guid"), std::string::npos) << help.out;
}

TEST(ConduitCli, HelpListsEverySubcommand) {
  CliRun help = run({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* sub : {"ping", "freq", "sink", "providers", "manifests", "start", "stop", "enable", "enable-guid",
                          "disable", "disable-guid", "redirect", "raw"}) {
    EXPECT_NE(help.out.find(sub), std::string::npos) << sub;
  }
}

TEST(ConduitCli, AnUnreachableServiceExitsWithThree) {
  // Port 1 on loopback has no listener on any test machine we run on.
  CliRun result = run({"--port", "1", "ping"});
  EXPECT_EQ(result.code, 3);
  EXPECT_NE(result.err.find("cannot connect"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace conduit::host
