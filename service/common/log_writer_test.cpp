#include "log_writer.h"

#include <cctype>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/host_test_support.h"
#include "util.h"
#include "windows.h"

namespace {


class LogWriterTest : public host_testing::HostTest {};

// The classic ctime form with its line end: "Wed Jun  3 21:49:08 1993\n".
bool IsCtimeText(std::string_view text) {
  static const std::string_view kDays = "MonTueWedThuFriSatSun";
  static const std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (text.size() != 25) {
    return false;
  }
  const auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(text[i])) != 0; };
  const size_t day = kDays.find(text.substr(0, 3));
  const size_t month = kMonths.find(text.substr(4, 3));
  return day != std::string_view::npos && day % 3 == 0 && month != std::string_view::npos && month % 3 == 0 &&
         text[3] == ' ' && text[7] == ' ' && (text[8] == ' ' || digit(8)) && digit(9) && text[10] == ' ' &&
         digit(11) && digit(12) && text[13] == ':' && digit(14) && digit(15) && text[16] == ':' && digit(17) &&
         digit(18) && text[19] == ' ' && digit(20) && digit(21) && digit(22) && digit(23) && text[24] == '\n';
}

// Splits the log into entries and checks each one's time line; returns the messages.
std::vector<std::string> EntryMessages(const std::string& log, bool* allWellFormed) {
  std::vector<std::string> messages;
  *allWellFormed = true;
  const std::string timePrefix = "\n\tDateTime : ";
  size_t at = 0;
  while (at < log.size()) {
    const size_t time = log.find(timePrefix, at);
    if (time == std::string::npos) {
      *allWellFormed = false;
      break;
    }
    const size_t timeText = time + timePrefix.size();
    const size_t lineEnd = log.find('\n', timeText);
    if (lineEnd == std::string::npos || !IsCtimeText(std::string_view(log).substr(timeText, lineEnd + 1 - timeText)) ||
        log.compare(lineEnd + 1, 2, "\n\n") != 0) {
      *allWellFormed = false;
      break;
    }
    messages.push_back(log.substr(at, time - at));
    at = lineEnd + 3;
  }
  return messages;
}

TEST_F(LogWriterTest, EntryIsMessageThenTabbedCtimeLineThenTwoEmptyLines) {
  WriteLog(LOG_ERROR, "ERROR # shutdown failed with error: %d", 5);

  bool wellFormed = false;
  EXPECT_EQ(EntryMessages(Log(), &wellFormed), std::vector<std::string>{"ERROR # shutdown failed with error: 5"});
  EXPECT_TRUE(wellFormed) << Log();
}

TEST_F(LogWriterTest, FormatEndingInNewlineAddsOneEmptyLineBeforeTheTime) {
  WriteLog(LOG_INFO, "INFO # started\n");
  EXPECT_EQ(Log().rfind("INFO # started\n\n\tDateTime : ", 0), 0u) << Log();
}

TEST_F(LogWriterTest, ThresholdThreeKeepsOnlyErrors) {
  SetLogLevel("3");
  WriteLog(LOG_DEBUG, "DEBUG # dropped debug");
  WriteLog(LOG_INFO, "INFO # dropped info");
  WriteLog(LOG_WARNING, "WARNING # dropped warning");
  WriteLog(LOG_ERROR, "ERROR # kept error");

  const std::string log = Log();
  EXPECT_EQ(log.find("dropped"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR # kept error\n"), std::string::npos);
}

TEST_F(LogWriterTest, SetLogLevelReadsLikeAtoi) {
  SetLogLevel("  2abc");
  EXPECT_EQ(GetLogThreshold(), 2);
  SetLogLevel("-1");
  EXPECT_EQ(GetLogThreshold(), -1);
  SetLogLevel("abc");
  EXPECT_EQ(GetLogThreshold(), 0);
  SetLogLevel("+3");
  EXPECT_EQ(GetLogThreshold(), 3);
  SetLogLevel("99999999999999999999");
  EXPECT_EQ(GetLogThreshold(), INT_MAX);
}

TEST_F(LogWriterTest, MessageWithinFormatPlus200BytesIsWrittenWhole) {
  // "%s" leaves 202 bytes: 201 characters and the terminator.
  const std::string text(201, 'a');
  WriteLog(LOG_ERROR, "%s", text.c_str());
  EXPECT_EQ(Log().rfind(text + "\n\tDateTime : ", 0), 0u);
}

TEST_F(LogWriterTest, LongerMessageIsTruncatedAtFormatPlus200Bytes) {
  const std::string text(5000, 'b');
  WriteLog(LOG_ERROR, "ERROR # %s", text.c_str());
  // strlen("ERROR # %s") + 200 = 210 bytes hold 209 characters: the prefix and 201 'b's.
  const std::string expected = "ERROR # " + std::string(201, 'b') + "\n\tDateTime : ";
  EXPECT_EQ(Log().rfind(expected, 0), 0u) << Log().substr(0, 300);
}

TEST_F(LogWriterTest, LockedMainFileSwitchesToBackupForGood) {
  const std::u16string widePath = Util::to_wstring(logPath_.string());
  HANDLE lock = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);

  WriteLog(LOG_ERROR, "ERROR # while locked");
  ASSERT_TRUE(CloseHandle(lock));
  WriteLog(LOG_ERROR, "ERROR # after unlock");

  const std::string backup = LogFile(root_ / LOG_BACKUP_FILE_NAME).Read();
  EXPECT_NE(backup.find("ERROR # while locked\n"), std::string::npos);
  EXPECT_NE(backup.find("ERROR # after unlock\n"), std::string::npos);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(GetLogFilePath(), LOG_BACKUP_FILE_NAME);
}

TEST_F(LogWriterTest, MissingFolderWritesToBackupInWorkingDirectory) {
  SetLogFilePath((root_ / "no-such-folder" / "Conduit_logs.txt").string());
  WriteLog(LOG_WARNING, "WARNING # nowhere to go");
  EXPECT_NE(LogFile(root_ / LOG_BACKUP_FILE_NAME).Read().find("WARNING # nowhere to go\n"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(root_ / "no-such-folder"));
}

TEST_F(LogWriterTest, FailingOpensOfBothFilesDropTheMessageQuietly) {
  sim::fail_next("CreateFileW", 2, ERROR_ACCESS_DENIED);
  WriteLog(LOG_ERROR, "ERROR # lost");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(LogFile(root_ / LOG_BACKUP_FILE_NAME).Read(), "");
}

TEST_F(LogWriterTest, SetLogFilePathDeletesThePreviousRunsLog) {
  const auto path = root_ / "ProgramData" / "Conduit_logs.txt";
  host_testing::WriteWholeFile(path, "old run\n");
  SetLogFilePath(path.string());
  EXPECT_FALSE(std::filesystem::exists(path));

  WriteLog(LOG_INFO, "INFO # new run");
  EXPECT_EQ(LogFile(path).Read().rfind("INFO # new run\n", 0), 0u);
}

TEST_F(LogWriterTest, FunctionTraceWritesEntryAndExitLines) {
  {
    FunctionTrace trace("ServerSocket::Listen");
    WriteLog(LOG_INFO, "INFO # inside");
  }
  const std::string log = Log();
  const size_t entering = log.find("DEBUG #  Entering  function ServerSocket::Listen\n");
  const size_t inside = log.find("INFO # inside\n");
  const size_t exiting = log.find("DEBUG #  Exiting function ServerSocket::Listen\n");
  ASSERT_NE(entering, std::string::npos) << log;
  ASSERT_NE(exiting, std::string::npos) << log;
  EXPECT_LT(entering, inside);
  EXPECT_LT(inside, exiting);
}

}  // namespace
