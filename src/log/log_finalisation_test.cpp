// Tests of the log finalisation: the final UTF-8 log's exact bytes and the fate of both files.
#include "log/log_finalisation.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "log/diagnostics_log.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

using namespace std::string_literals;
using testing_support::readFile;

const std::string kBom = "\xEF\xBB\xBF";

class LogFinalisationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::makeScratchFolder("pairwick-final-log-");
    tempPath_ = dir_ / "temp_Pairwick_error_log.txt";
    finalPath_ = dir_ / "Pairwick_error_log.txt";
    tempLog_ = platform::narrowPath(tempPath_);
    finalLog_ = platform::narrowPath(finalPath_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  // Runs the finalisation as the driver does, on the temporary log opened (where it can be) and
  // closed but still locked; returns what went to standard error.
  std::string finalise() {
    DiagnosticsLog errLog;
    openDiagnosticsLog(errLog, tempLog_);
    endDiagnosticsLog(errLog);
    if (replaceBeforeFinalising_) {
      std::filesystem::rename(tempPath_, dir_ / "moved away");
      writeBytes(tempPath_, "another program's file");
    }
    testing::internal::CaptureStderr();
    testing_support::finishWithin("the log's finalisation",
                                  [&] { convertLogToUTF8(tempLog_, finalLog_, errLog); });
    releaseDiagnosticsLog(errLog);
    return testing::internal::GetCapturedStderr();
  }

  // The standard error line: code page 932 as written, or its UTF-8 form where the terminal's
  // encoding is UTF-8.
  void expectFailureNotice(const std::string& captured) const {
    const std::u16string notice =
        u"ログファイルの変換中にエラーが発生しました。一時ファイルを確認してください: ";
    const std::string asCp932 = cp932(notice) + tempLog_ + "\n";
    const std::string asUtf8 = utf16ToUtf8(notice) + tempLog_ + "\n";
    EXPECT_TRUE(captured == asCp932 || captured == asUtf8) << captured;
  }

  std::filesystem::path dir_;
  std::filesystem::path tempPath_;
  std::filesystem::path finalPath_;
  NarrowText tempLog_;
  NarrowText finalLog_;
  bool replaceBeforeFinalising_ = false;
};

TEST_F(LogFinalisationTest, EmptyTemporaryLogGivesOnlyTheBom) {
  writeBytes(tempPath_, "");
  EXPECT_EQ(finalise(), "");
  EXPECT_EQ(readFile(finalPath_), kBom);
  EXPECT_FALSE(std::filesystem::exists(tempPath_));
}

// あ 亜 日本 (trail bytes 0x9F and 0xFA also lie in the lead byte range), a lead byte before 0x00,
// text after the 0x00, an invalid pair, the lone bytes 0xA0 0xFD-0xFF 0x80, and a lead byte at
// the very end, placed at every offset across the end of the first megabyte, where the log is
// read in pieces.
TEST_F(LogFinalisationTest, CodePage932BecomesUtf8WhereverThePiecesEnd) {
  const std::string log =
      "a\x82\xA0\x88\x9F\x93\xFA\x96\x7B\x81\0b\x81\x20\xA0\xFD\xFE\xFF\x80\r\n\x81"s;
  const std::string expected =
      kBom +
      "a\xE3\x81\x82\xE4\xBA\x9C\xE6\x97\xA5\xE6\x9C\xAC\xE3\x83\xBB\0b"
      "\xE3\x83\xBB\xEF\xA3\xB0\xEF\xA3\xB1\xEF\xA3\xB2\xEF\xA3\xB3\xC2\x80\r\n\xE3\x83\xBB"s;
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  for (std::size_t before = kPiece - log.size() - 1; before <= kPiece; ++before) {
    const std::string padding(before, 'x');
    writeBytes(tempPath_, padding + log);
    EXPECT_EQ(finalise(), "");
    EXPECT_TRUE(readFile(finalPath_) == kBom + padding + expected.substr(kBom.size()))
        << "log bytes before the sequence: " << before;
    EXPECT_FALSE(std::filesystem::exists(tempPath_));
  }
}

TEST_F(LogFinalisationTest, LogOfSeveralMegabytesIsConvertedWhole) {
  // Two-byte characters across the first two megabyte boundaries: one begins just before the
  // first, and one ends just before the second.
  const std::size_t mebibyte = std::size_t{1} << 20;
  const std::string log = std::string(mebibyte - 1, 'a') + "\x82\xA0" +
                          std::string(mebibyte - 3, 'b') + "\x93\xFA\x96\x7B\r\n";
  ASSERT_EQ(log.substr(2 * mebibyte - 2, 2), "\x93\xFA");
  writeBytes(tempPath_, log);
  EXPECT_EQ(finalise(), "");
  const std::string expected = kBom + std::string(mebibyte - 1, 'a') + "\xE3\x81\x82" +
                               std::string(mebibyte - 3, 'b') + "\xE6\x97\xA5\xE6\x9C\xAC\r\n";
  EXPECT_TRUE(readFile(finalPath_) == expected);
  EXPECT_FALSE(std::filesystem::exists(tempPath_));
}

TEST_F(LogFinalisationTest, TemporaryLogReplacedBehindTheRunsBackLeavesBothFiles) {
  writeBytes(finalPath_, kBom + "old\r\n");
  replaceBeforeFinalising_ = true;
  expectFailureNotice(finalise());
  EXPECT_EQ(readFile(tempPath_), "another program's file");
  EXPECT_EQ(readFile(finalPath_), kBom + "old\r\n");
}

TEST_F(LogFinalisationTest, TemporaryLogThatIsAFolderIsKept) {
  std::filesystem::create_directory(tempPath_);
  writeBytes(finalPath_, kBom + "old\r\n");
  expectFailureNotice(finalise());
  EXPECT_TRUE(std::filesystem::is_directory(tempPath_));
  EXPECT_EQ(readFile(finalPath_), kBom + "old\r\n");
}

TEST_F(LogFinalisationTest, FinalLogThatIsAFolderKeepsTheTemporaryLog) {
  writeBytes(tempPath_, "line\r\n");
  std::filesystem::create_directory(finalPath_);
  expectFailureNotice(finalise());
  EXPECT_EQ(readFile(tempPath_), "line\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(finalPath_));
}

TEST_F(LogFinalisationTest, FinalLogWithAnotherNameKeepsBothFilesAsTheyWere) {
  writeBytes(tempPath_, "line\r\n");
  const std::filesystem::path other = dir_ / "other name";
  writeBytes(other, "someone else's file");
  std::filesystem::create_hard_link(other, finalPath_);
  expectFailureNotice(finalise());
  EXPECT_EQ(readFile(tempPath_), "line\r\n");
  EXPECT_EQ(readFile(other), "someone else's file");
}

}  // namespace
}  // namespace pairwick
