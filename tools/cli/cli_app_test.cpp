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
