#include "configuration_manager.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "testing/host_test_support.h"

namespace {

using Settings = std::map<std::string, std::string>;

class ConfigurationManagerTest : public host_testing::HostTest {};

TEST_F(ConfigurationManagerTest, ReadsKeyValuePairsOfAppSettings) {
  WriteAppSettings(
      "    <add key=\"LogLevel\" value=\"2\"/>\n"
      "    <add key=\"DefaultTraceSinkType\" value=\"0x3\"/>\n");
  ConfigurationManager configuration;
  EXPECT_EQ(configuration.Settings(), (Settings{{"LogLevel", "2"}, {"DefaultTraceSinkType", "0x3"}}));
}

TEST_F(ConfigurationManagerTest, LaterValueOfARepeatedKeyWinsAndKeysAreCaseSensitive) {
  WriteAppSettings(
      "    <add key=\"LogLevel\" value=\"1\"/>\n"
      "    <add key=\"loglevel\" value=\"0\"/>\n"
      "    <whatever key=\"LogLevel\" value=\"3\"/>\n");
  EXPECT_EQ(ConfigurationManager().Settings(), (Settings{{"LogLevel", "3"}, {"loglevel", "0"}}));
}

TEST_F(ConfigurationManagerTest, ChildrenWithoutBothAttributesAreIgnored) {
  WriteAppSettings(
      "    <add key=\"OnlyKey\"/>\n"
      "    <add value=\"only value\"/>\n"
      "    <!-- a comment between entries -->\n"
      "    <add key=\"Kept\" value=\"\"/>\n");
  EXPECT_EQ(ConfigurationManager().Settings(), (Settings{{"Kept", ""}}));
}

TEST_F(ConfigurationManagerTest, AttributesOutsideAppSettingsAreIgnored) {
  WriteConfig(
      "<configuration key=\"RootKey\" value=\"1\">\n"
      "  <startup><add key=\"LogLevel\" value=\"1\"/></startup>\n"
      "  <appSettings/>\n"
      "  <appSettings>   </appSettings>\n"
      "</configuration>\n");
  EXPECT_TRUE(ConfigurationManager().Settings().empty());
}

TEST_F(ConfigurationManagerTest, AppSettingsAtAnyDepthAndInEverySiblingContribute) {
  WriteConfig(
      "<configuration>\n"
      "  <appSettings><add key=\"A\" value=\"1\"/></appSettings>\n"
      "  <outer>\n"
      "    <inner><appSettings>\n"
      "      <add key=\"B\" value=\"2\"/>\n"
      "    </appSettings></inner>\n"
      "  </outer>\n"
      "  <appSettings><add key=\"A\" value=\"3\"/></appSettings>\n"
      "</configuration>\n");
  EXPECT_EQ(ConfigurationManager().Settings(), (Settings{{"A", "3"}, {"B", "2"}}));
}

TEST_F(ConfigurationManagerTest, MissingFileIsLoggedAndLeavesNoSettings) {
  RemoveConfig();
  ConfigurationManager configuration;
  EXPECT_TRUE(configuration.Settings().empty());
  EXPECT_NE(Log().find("ERROR # ConfigurationManager::LoadConfig # xmlReadFile on file " +
                       ConfigPath().string() + " failed\n"),
            std::string::npos)
      << Log();
}

TEST_F(ConfigurationManagerTest, MalformedFileIsLoggedAndLeavesNoSettings) {
  WriteConfig("<configuration><appSettings><add key=\"LogLevel\" value=\"2\"/></appSettings>");
  ConfigurationManager configuration;
  EXPECT_TRUE(configuration.Settings().empty());
  EXPECT_NE(Log().find("xmlReadFile on file " + ConfigPath().string() + " failed"), std::string::npos);
}

TEST_F(ConfigurationManagerTest, FileIsFoundNextToTheExecutableNotInTheWorkingDirectory) {
  host_testing::WriteWholeFile(root_ / "Conduit.exe.config",
                               "<c><appSettings><add key=\"Where\" value=\"cwd\"/></appSettings></c>");
  WriteAppSettings("<add key=\"Where\" value=\"bin\"/>");
  EXPECT_EQ(ConfigurationManager().Settings(), (Settings{{"Where", "bin"}}));
}

TEST_F(ConfigurationManagerTest, AppSettingsAnswersFromTheProcessWideInstance) {
  WriteAppSettings("    <add key=\"DefaultTraceLevel\" value=\"4\"/>\n");
  ConfigurationManager::ReloadForTesting();
  EXPECT_EQ(ConfigurationManager::AppSettings("DefaultTraceLevel"), "4");
  EXPECT_EQ(ConfigurationManager::AppSettings("Missing"), "");

  const std::string log = Log();
  EXPECT_NE(log.find("DEBUG # Entering ConfigurationManager::AppSettings for key = DefaultTraceLevel\n"),
            std::string::npos);
  EXPECT_NE(log.find("DEBUG # Exiting ConfigurationManager::AppSettings got value = 4\n"), std::string::npos);
  EXPECT_NE(log.find("DEBUG # Exiting ConfigurationManager::AppSettings got value = \n"), std::string::npos);
}

TEST_F(ConfigurationManagerTest, ProcessWideInstanceIsNotReparsedWithoutReload) {
  WriteAppSettings("    <add key=\"LogLevel\" value=\"1\"/>\n");
  ConfigurationManager::ReloadForTesting();
  WriteAppSettings("    <add key=\"LogLevel\" value=\"3\"/>\n");
  EXPECT_EQ(ConfigurationManager::AppSettings("LogLevel"), "1");
  EXPECT_EQ(ConfigurationManager().Settings().at("LogLevel"), "3");
}

}  // namespace
