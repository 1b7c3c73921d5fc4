#include "cli_app.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "record_command.h"
#include "testing/cli_run.h"
#include "testing/scripted_server.h"

namespace conduit::host {
namespace {

using conduit::testing::CliRun;
using conduit::testing::run_cli_in_process;
using conduit::testing::ScriptedServer;
using Json = nlohmann::json;

TEST(ConduitCli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(run_cli_in_process({}).code, 2);
  EXPECT_EQ(run_cli_in_process({"frobnicate"}).code, 2);
  EXPECT_EQ(run_cli_in_process({"sink"}).code, 2);
  EXPECT_EQ(run_cli_in_process({"--port", "70000", "ping"}).code, 2);
  EXPECT_EQ(run_cli_in_process({"enable", "session"}).code, 2);
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
  EXPECT_EQ(run_cli_in_process({"--port", "1", "enable", "s", "P:level"}).code, 2);
  CliRun help = run_cli_in_process({"enable-guid", "--help"});
  EXPECT_NE(help.out.find("Example: conduit-cli enable-guid"), std::string::npos) << help.out;
}

TEST(ConduitCli, HelpListsEverySubcommandTheExitCodesAndWhatFreqAnswers) {
  CliRun help = run_cli_in_process({"--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* sub : {"ping", "freq", "sink", "providers", "manifests", "start", "stop", "enable", "enable-guid",
                          "disable", "disable-guid", "redirect", "raw", "record"}) {
    EXPECT_NE(help.out.find(sub), std::string::npos) << sub;
  }
  EXPECT_NE(help.out.find("4 record's session was replaced"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("performance-counter frequency (counts per second) times 1024"), std::string::npos);
  EXPECT_EQ(help.out.find("maximum processor frequency"), std::string::npos);
}

// One object on standard output for every outcome, so that a script never reads nothing.
TEST(ConduitCli, WithJsonEveryFailureIsOneObjectOnStandardOutput) {
  ScriptedServer closing([](int) {});
  const std::string closingPort = std::to_string(closing.port());
  for (const auto& [arguments, code] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"--json", "frobnicate"}, 2},
           {{"--json", "--port", "1", "record", "-d", "0", "P"}, 2},
           {{"--port", "1", "raw", "0g", "--json"}, 2},
           {{"--json", "--port", "1", "ping"}, 3},
           {{"--json", "--port", closingPort, "freq"}, 3}}) {
    const CliRun run = run_cli_in_process(arguments);
    EXPECT_EQ(run.code, code) << arguments[1];
    Json answer;
    ASSERT_NO_THROW(answer = Json::parse(run.out)) << run.out;
    ASSERT_TRUE(answer.is_object()) << run.out;
    EXPECT_EQ(answer.value("exit_code", -1), code) << run.out;
    EXPECT_FALSE(answer.value("error", std::string()).empty()) << run.out;
  }
  const CliRun help = run_cli_in_process({"--json", "record", "--help"});
  EXPECT_EQ(Json::parse(help.out).value("exit_code", -1), 0);
}

// A service that closes without a word: not admitted, or not Conduit.
TEST(ConduitCli, AConnectionClosedWithoutAnAnswerNamesTheLikelyCauses) {
  ScriptedServer closing([](int) {});
  const CliRun run = run_cli_in_process({"--port", std::to_string(closing.port()), "ping"});
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.err.find("only peers at 127.0.0.1 and 169.x.x.x"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("not Conduit"), std::string::npos) << run.err;
}

// The hexadecimal of the protocol reference pastes as it is, in several arguments.
TEST(ConduitCli, RawTakesTheRequestInSeveralArguments) {
  Envelope pong;
  pong.function = 2;
  pong.result = WireWriter().text("conduit").take();
  ScriptedServer server([&](int connection) { ScriptedServer::send(connection, encode(pong)); });
  const CliRun run = run_cli_in_process(
      {"--port", std::to_string(server.port()), "raw", "00000000", "08000000", "00000000 00000000", "00000000"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("result text: conduit\n"), std::string::npos) << run.out;
  Envelope ping;
  ping.function = 8;
  EXPECT_EQ(server.request(), encode(ping));
}

// Function 0 answers every name: an unknown one with the zero GUID and a skeleton, one that
// cannot name a file with no text. Neither is a manifest.
class ManifestsOut : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "conduit-cli-manifests-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_folder = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(m_folder); }

  struct Record {
    std::string name;
    std::uint8_t guidByte;  // 0: the zero GUID
    std::string manifest;
  };
  CliRun fetch(const std::vector<Record>& records, std::vector<std::string> arguments) {
    WireWriter result;
    result.u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& record : records) {
      result.text(record.name).buffer(Bytes(16, record.guidByte)).text(record.manifest);
    }
    Envelope answer;
    answer.result = result.take();
    ScriptedServer server([&](int connection) { ScriptedServer::send(connection, encode(answer)); });
    arguments.insert(arguments.begin(), {"--port", std::to_string(server.port())});
    arguments.insert(arguments.end(), {"--out", m_folder.string()});
    return run_cli_in_process(arguments);
  }
  std::vector<std::string> written_files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path m_folder;
};

TEST_F(ManifestsOut, WritesOnlyRealManifestsUnderDistinctSafeNamesAndNamesTheOthers) {
  const CliRun run = fetch({{"a b", 1, "<m1/>"}, {"a_b", 2, "<m2/>"}, {"Gone", 0, "<skeleton/>"}, {"x/y", 3, ""}},
                           {"--json", "manifests", "a b", "a_b", "Gone", "x/y"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(written_files(), (std::vector<std::string>{"a_b-2.xml", "a_b.xml"}));
  EXPECT_NE(run.err.find("Gone: no manifest: not registered on the target"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("x/y: no manifest: "), std::string::npos) << run.err;
  const Json answer = Json::parse(run.out);
  ASSERT_EQ(answer["result"].size(), 4u) << run.out;
  EXPECT_TRUE(answer["result"][2]["file"].is_null());
  EXPECT_TRUE(answer["result"][3].contains("missing"));
  EXPECT_EQ(answer["exit_code"], 0);
}

TEST_F(ManifestsOut, NoManifestForAnyNameWritesNothingAndExitsOne) {
  const CliRun run = fetch({{"Gone", 0, "<skeleton/>"}, {"C:\\x", 3, ""}}, {"manifests", "Gone", "C:\\x"});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(written_files().empty());
  EXPECT_NE(run.err.find("none of the requested providers has a manifest"), std::string::npos) << run.err;
}

TEST(ConduitCli, AnUnreachableServiceExitsWithThree) {
  // Port 1 on loopback has no listener on any test machine we run on.
  CliRun result = run_cli_in_process({"--port", "1", "ping"});
  EXPECT_EQ(result.code, 3);
  EXPECT_NE(result.err.find("cannot connect"), std::string::npos) << result.err;
}

TEST(ConduitCli, ASourceAddressThatCannotBeUsedExitsWithThree) {
  CliRun result = run_cli_in_process({"--port", "1", "--source", "127.0.0.300", "ping"});
  EXPECT_EQ(result.code, 3);
  EXPECT_NE(result.err.find("not an IPv4 address: 127.0.0.300"), std::string::npos) << result.err;
}

// Port 1 has no listener: what passes the command line exits 3, what does not exits 2.
TEST(ConduitCliRecord, RefusesACommandLineThatCannotBeACapture) {
  for (std::vector<std::string> bad : {std::vector<std::string>{},
                                       {"--sink", "disk", "P"},
                                       {"--duration", "0", "P"},
                                       {"--duration", "-1", "P"},
                                       {"-d", "nan", "P"},
                                       {"-d", "1e300", "P"},
                                       {"P:256"},
                                       {"{5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E8}"},
                                       {"{5A1F0C3E-7B2D-4E8A-9C61+0D3F2B4A6E81}"}}) {
    bad.insert(bad.begin(), {"--port", "1", "record"});
    EXPECT_EQ(run_cli_in_process(bad).code, 2) << bad.back();
  }
  EXPECT_TRUE(is_guid_text("{5a1f0c3e-7B2D-4E8A-9C61-0D3F2B4A6E81}"));
  EXPECT_FALSE(is_guid_text("5A1F0C3E-7B2D-4E8A-9C61-0D3F2B4A6E81"));
  // In words, not as the range of a double.
  const CliRun zero = run_cli_in_process({"--port", "1", "record", "-d", "0", "P"});
  EXPECT_NE(zero.err.find("--duration: takes seconds above 0"), std::string::npos) << zero.err;
  EXPECT_LT(zero.err.size(), 200u) << zero.err;
  CliRun help = run_cli_in_process({"record", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Example: conduit-cli record --duration 30"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("without -d it records until Ctrl-C"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("4 the session was replaced"), std::string::npos) << help.out;
}

TEST(ConduitCliRecord, AnUnreachableServiceExitsThreeBeforeAnyStep) {
  for (const char* sink : {"file", "HW", "stp"}) {
    CliRun result = run_cli_in_process({"--port", "1", "record", "--sink", sink, "--duration", "1", "Demo"});
    EXPECT_EQ(result.code, 3) << sink;
    EXPECT_NE(result.err.find("cannot connect"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("record:"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
}  // namespace conduit::host
