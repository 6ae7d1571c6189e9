// Tests of the diagnostics log: append mode, CR LF line ends, bytes kept as written.
#include "log/diagnostics_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

using namespace std::string_literals;

class DiagnosticsLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::makeScratchFolder("pairwick_h2_log_");
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
  ASSERT_TRUE(openDiagnosticsLog(errLog, platform::narrowPath(logPath_)));
  writeLog(errLog, "[DEBUG] one\n");
  writeLog(errLog, "[ERROR] ");
  writeLog(errLog, "two");
  writeLog(errLog, "\n\n");
  closeDiagnosticsLog(errLog);
  EXPECT_EQ(readBytes(), "[DEBUG] old\r\n[DEBUG] one\r\n[ERROR] two\r\n\r\n");

  // A closed log accepts writes and records nothing.
  writeLog(errLog, "lost\n");
  EXPECT_EQ(readBytes(), "[DEBUG] old\r\n[DEBUG] one\r\n[ERROR] two\r\n\r\n");
}

TEST_F(DiagnosticsLogTest, CreatesAMissingLog) {
  DiagnosticsLog errLog;
  ASSERT_TRUE(openDiagnosticsLog(errLog, platform::narrowPath(logPath_)));
  writeLog(errLog, "x\n");
  closeDiagnosticsLog(errLog);
  EXPECT_EQ(readBytes(), "x\r\n");
}

TEST_F(DiagnosticsLogTest, LogThatCannotBeOpenedStaysClosed) {
  DiagnosticsLog inDirectory;
  EXPECT_FALSE(openDiagnosticsLog(inDirectory, platform::narrowPath(dir_)));

  // 0xFF is no code page 932 byte, so the name names no file.
  DiagnosticsLog badName;
  EXPECT_FALSE(openDiagnosticsLog(badName, platform::narrowPath(dir_) + "/\xFF.txt"));
}

TEST_F(DiagnosticsLogTest, OnlyLineFeedsAreTranslated) {
  DiagnosticsLog errLog;
  ASSERT_TRUE(openDiagnosticsLog(errLog, platform::narrowPath(logPath_)));
  writeLog(errLog, "a\rb\0c\x82\xA0\n\r\n"s);
  writeLog(errLog, "");
  writeLog(errLog, "\n");
  EXPECT_EQ(readBytes(), "a\rb\0c\x82\xA0\r\n\r\r\n\r\n"s);
}

}  // namespace
}  // namespace pairwick
