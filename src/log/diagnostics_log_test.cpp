// Tests of the diagnostics log: append mode, CR LF line ends, bytes kept as written.
#include "log/diagnostics_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/files.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

using namespace std::string_literals;

class DiagnosticsLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::makeScratchFolder("pairwick-log-");
    logPath_ = dir_ / "temp_Pairwick_error_log.txt";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string readBytes() const { return testing_support::readFile(logPath_); }

  std::filesystem::path dir_;
  std::filesystem::path logPath_;
};

TEST_F(DiagnosticsLogTest, AppendsToAnEarlierLogWithCrLfLineEnds) {
  {
    std::ofstream earlier(logPath_, std::ios::binary);
    earlier << "[DEBUG] old\r\n";
  }
  DiagnosticsLog errLog;
  ASSERT_EQ(openDiagnosticsLog(errLog, platform::narrowPath(logPath_)), LogOpening::opened);
  writeLog(errLog, "[DEBUG] one\n");
  writeLog(errLog, "[ERROR] ");
  writeLog(errLog, "two");
  writeLog(errLog, "\n\n");
  endDiagnosticsLog(errLog);
  EXPECT_EQ(readBytes(), "[DEBUG] old\r\n[DEBUG] one\r\n[ERROR] two\r\n\r\n");

  // A closed log accepts writes and records nothing.
  writeLog(errLog, "lost\n");
  releaseDiagnosticsLog(errLog);
  EXPECT_EQ(readBytes(), "[DEBUG] old\r\n[DEBUG] one\r\n[ERROR] two\r\n\r\n");
}

TEST_F(DiagnosticsLogTest, LogThatCannotBeOpenedStaysClosed) {
  DiagnosticsLog inDirectory;
  EXPECT_EQ(openDiagnosticsLog(inDirectory, platform::narrowPath(dir_)), LogOpening::failed);

  // 0xFF is no code page 932 byte, so the name names no file.
  DiagnosticsLog badName;
  EXPECT_EQ(openDiagnosticsLog(badName, platform::narrowPath(dir_) + "/\xFF.txt"),
            LogOpening::failed);
}

TEST_F(DiagnosticsLogTest, OnlyLineFeedsAreTranslated) {
  DiagnosticsLog errLog;
  ASSERT_EQ(openDiagnosticsLog(errLog, platform::narrowPath(logPath_)), LogOpening::opened);
  writeLog(errLog, "a\rb\0c\x82\xA0\n\r\n"s);
  writeLog(errLog, "");
  writeLog(errLog, "\n");
  releaseDiagnosticsLog(errLog);
  EXPECT_EQ(readBytes(), "a\rb\0c\x82\xA0\r\n\r\r\n\r\n"s);
}

TEST_F(DiagnosticsLogTest, LinesReachTheFileWholeAndALongLineAsItComes) {
  DiagnosticsLog errLog;
  ASSERT_EQ(openDiagnosticsLog(errLog, platform::narrowPath(logPath_)), LogOpening::opened);
  writeLog(errLog, "[DEBUG] one\n[ERROR] ");
  writeLog(errLog, "tw");
  EXPECT_EQ(readBytes(), "[DEBUG] one\r\n") << "a line's start waits for its line feed";
  writeLog(errLog, "o\n[DEBUG] thr");
  EXPECT_EQ(readBytes(), "[DEBUG] one\r\n[ERROR] two\r\n");
  // A line start too long to be held is not copied: it goes out as it comes.
  const std::string longPiece(100000, 'x');
  writeLog(errLog, longPiece);
  EXPECT_EQ(readBytes(), "[DEBUG] one\r\n[ERROR] two\r\n[DEBUG] thr" + longPiece);
  writeLog(errLog, "ee");
  EXPECT_TRUE(endDiagnosticsLog(errLog));
  EXPECT_EQ(readBytes(), "[DEBUG] one\r\n[ERROR] two\r\n[DEBUG] thr" + longPiece + "ee");
  releaseDiagnosticsLog(errLog);
}

TEST_F(DiagnosticsLogTest, OneLogOpenPerFolderUntilReleased) {
  DiagnosticsLog first;
  ASSERT_EQ(openDiagnosticsLog(first, platform::narrowPath(logPath_)), LogOpening::opened);
  DiagnosticsLog second;
  EXPECT_EQ(openDiagnosticsLog(second, platform::narrowPath(logPath_)), LogOpening::runInProgress);
  // Closing ends the recording, not the lock: finalisation still runs under it.
  endDiagnosticsLog(first);
  EXPECT_EQ(openDiagnosticsLog(second, platform::narrowPath(logPath_)), LogOpening::runInProgress);
  releaseDiagnosticsLog(first);
  EXPECT_EQ(openDiagnosticsLog(second, platform::narrowPath(logPath_)), LogOpening::opened);
  releaseDiagnosticsLog(second);
}

}  // namespace
}  // namespace pairwick
