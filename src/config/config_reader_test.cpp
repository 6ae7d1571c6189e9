// Tests of the configuration file reader: returned names, console lines and log bytes.
#include "config/config_reader.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/cp932.h"
#include "platform/platform.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;
using Names = std::pair<NarrowText, NarrowText>;

const char kSeparator = static_cast<char>(fs::path::preferred_separator);

class ConfigReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::makeScratchFolder("pairwick_config_test_");
    dirNarrow_ = platform::narrowPath(dir_);
    // The expected console texts below repeat the directory's bytes as UTF-8.
    for (const char byte : dirNarrow_) ASSERT_LT(static_cast<unsigned char>(byte), 0x80);
    configPath_ = dirNarrow_ + kSeparator + "Pairwick_config.csv";
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void writeConfig(const std::string& bytes) {
    std::ofstream file(platform::pathFromNarrow(configPath_), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good());
  }

  // GoogleTest reads captured output back in text mode on Windows, where CR LF comes back as LF.
  static std::string asCaptured(std::string text) {
    if (kSeparator != '\\') return text;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
      text.erase(at, 1);
    }
    return text;
  }

  // Runs the reader on `configPath`, keeping what it returns, shows and logs.
  void read(const NarrowText& configPath) {
    DiagnosticsLog errLog;
    const fs::path logPath = dir_ / "test.log";
    testing_support::openTestLog(errLog, logPath);
    platform::flushConsole();
    testing::internal::CaptureStdout();
    names_ = readConfig(configPath, errLog);
    platform::flushConsole();
    console_ = testing::internal::GetCapturedStdout();
    releaseDiagnosticsLog(errLog);
    log_ = testing_support::readFile(logPath);
  }

  void readContent(const std::string& bytes) {
    writeConfig(bytes);
    read(configPath_);
  }

  // What a successful open shows and logs, before anything else.
  std::string openedConsole() const { return "設定ファイルを開きました: " + configPath_ + "\n"; }
  NarrowText openedLog() const {
    return cp932(u"[DEBUG] 設定ファイルを開きました: ") + configPath_ + "\r\n";
  }

  fs::path dir_;
  NarrowText dirNarrow_;
  NarrowText configPath_;
  Names names_;
  std::string console_;
  NarrowText log_;
};

const Names kNoNames{"", ""};

TEST_F(ConfigReaderTest, FileThatCannotBeReadIsNotFound) {
  const NarrowText directoryPath = dirNarrow_ + kSeparator + "folder.csv";
  fs::create_directory(dir_ / "folder.csv");
  // 0xFF is no code page 932 byte, so this name can be no path at all.
  const NarrowText noPath = dirNarrow_ + kSeparator + "\xFF.csv";
  for (const NarrowText& path : {configPath_, directoryPath, noPath}) {
    SCOPED_TRACE(path);
    read(path);
    EXPECT_EQ(names_, kNoNames);
    EXPECT_EQ(console_, "設定ファイル (Pairwick_config.csv) が見つかりませんでした。\n");
    EXPECT_EQ(log_, cp932(u"[ERROR] 設定ファイルを開けませんでした: ") + path + "\r\n");
  }
}

TEST_F(ConfigReaderTest, TextWithoutAnyByteIsEmpty) {
  // A Ctrl-Z ends the text, so nothing after it counts.
  for (const std::string content : {"", "\x1A",
                                    "\x1A"
                                    "A,B\r\n"}) {
    SCOPED_TRACE(content);
    readContent(content);
    EXPECT_EQ(names_, kNoNames);
    EXPECT_EQ(console_, openedConsole() + "[ERROR] Pairwick_config.csv が空です。\n");
    EXPECT_EQ(log_, openedLog() + cp932(u"[ERROR] Pairwick_config.csv が空です。\r\n"));
  }
}

TEST_F(ConfigReaderTest, FirstLineWithoutTwoNamesIsMalformed) {
  struct Case {
    std::string content;
    std::string firstLine;  // As logged: untrimmed, without its line end.
  };
  const std::vector<Case> cases = {
      {"\n", ""},
      {"\nA,B\n", ""},
      {"\r\nA,B\r\n", ""},
      {"AB\r\nC,D\r\n", "AB"},
      {"A,\r\n", "A,"},
      {",B", ",B"},
      {",,\n", ",,"},
      {" \t, B\n", " \t, B"},
      {"A,\t \t,B\n", "A,\t \t,B"},
      {"A\x1A,B\n", "A"},
      {"\r", "\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    readContent(c.content);
    EXPECT_EQ(names_, kNoNames);
    EXPECT_EQ(
        console_,
        openedConsole() +
            "[ERROR] Pairwick_config.csv の形式が無効です。2つのフォルダ名をカンマ区切りで指定"
            "してください。\n");
    EXPECT_EQ(log_, openedLog() + cp932(u"[ERROR] Pairwick_config.csv の形式が無効です: ") +
                        c.firstLine + "\r\n");
  }
}

TEST_F(ConfigReaderTest, NamesAreTrimmedOfBlanksOnlyAndOtherwiseKeptAsRead) {
  struct Case {
    std::string content;
    Names names;
    std::string shown;  // The names as the console shows them, comma and blank between.
  };
  using namespace std::string_literals;
  const std::vector<Case> cases = {
      {"A,B", {"A", "B"}, "A, B"},
      {"  A\t, B\t\n", {"A", "B"}, "A, B"},
      {"\t Folder one ,  second\tfolder  \r\n",
       {"Folder one", "second\tfolder"},
       "Folder one, second\tfolder"},
      {"A,B,C\r\n", {"A", "B"}, "A, B"},
      {"A,B\r\nC,D\r\nignored", {"A", "B"}, "A, B"},
      {"A,B\nC,D\n", {"A", "B"}, "A, B"},
      {"A,B\x1A,C\n", {"A", "B"}, "A, B"},
      {"A,B\r\r\n", {"A", "B\r"}, "A, B\r"},
      {"A,B\r", {"A", "B\r"}, "A, B\r"},
      {"A,\r", {"A", "\r"}, "A, \r"},
      {"A,\rB\r\n", {"A", "\rB"}, "A, \rB"},
      {"\"A,B\",\"C\"\r\n", {"\"A", "B\""}, "\"A, B\""},
      {"\xEF\xBB\xBF"
       "A,B\r\n",
       {"\xEF\xBB\xBF"
        "A",
        "B"},
       "・ｿA, B"},
      {"\x81\x40"
       "A,B\x81\x40\r\n",
       {"\x81\x40"
        "A",
        "B\x81\x40"},
       "　A, B　"},
      // The console shows a name up to its 0x00 byte; the name itself keeps every byte.
      {"A\0B,C\r\n"s, {"A\0B"s, "C"}, "A, C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    readContent(c.content);
    EXPECT_EQ(names_, c.names);
    EXPECT_EQ(console_, asCaptured(openedConsole() + "読み込んだフォルダ: " + c.shown + "\n"));
    EXPECT_EQ(log_, openedLog() + cp932(u"[DEBUG] 読み込んだフォルダ: ") + c.names.first + ", " +
                        c.names.second + "\r\n");
  }
}

TEST_F(ConfigReaderTest, JapaneseNamesAreShownAsJapaneseAndLoggedAsCodePage932) {
  const NarrowText japaneseDir = cp932(u"設定フォルダ");
  fs::create_directory(dir_ / platform::pathFromNarrow(japaneseDir));
  configPath_ = dirNarrow_ + kSeparator + japaneseDir + kSeparator + "Pairwick_config.csv";
  const NarrowText first = cp932(u"比較元フォルダ");
  const NarrowText second = cp932(u"ｶﾀｶﾅ～表");
  readContent(first + ",\t" + second + "\r\n");

  EXPECT_EQ(names_, Names(first, second));
  EXPECT_EQ(console_, std::string("設定ファイルを開きました: ") + dirNarrow_ + kSeparator +
                          "設定フォルダ" + kSeparator + "Pairwick_config.csv\n" +
                          "読み込んだフォルダ: 比較元フォルダ, ｶﾀｶﾅ～表\n");
  EXPECT_EQ(log_,
            openedLog() + cp932(u"[DEBUG] 読み込んだフォルダ: ") + first + ", " + second + "\r\n");
}

TEST_F(ConfigReaderTest, BytesWithoutMappingAreShownAsSubstituteAndReturnedUnchanged) {
  // 85 40 is an unassigned two-byte code; a lead byte at the end of a name has no second byte.
  readContent("A\x85\x40,B\x81\r\n");
  EXPECT_EQ(names_, Names("A\x85\x40", "B\x81"));
  EXPECT_EQ(console_, openedConsole() + "読み込んだフォルダ: A・, B・\n");
  EXPECT_EQ(log_, openedLog() + cp932(u"[DEBUG] 読み込んだフォルダ: ") + "A\x85\x40, B\x81\r\n");
}

TEST_F(ConfigReaderTest, LongFirstLinesAreReadWhole) {
  // A CR LF split between two reads of the file, and a line of several megabytes without a
  // line end.
  const std::string crLfAcrossReads =
      std::string(40000, 'a') + "," + std::string(65535 - 40001, 'b') + "\r\nC,D\r\n";
  const std::string withoutLineEnd =
      std::string(3000000, 'c') + "," + std::string(5000000, 'd') + "," + "e";
  for (const std::string& content : {crLfAcrossReads, withoutLineEnd}) {
    const std::size_t comma = content.find(',');
    const Names expected(
        content.substr(0, comma),
        content.substr(comma + 1, content.find_first_of(",\r", comma + 1) - comma - 1));
    readContent(content);
    EXPECT_EQ(names_.first.size(), expected.first.size());
    EXPECT_EQ(names_.second.size(), expected.second.size());
    EXPECT_TRUE(names_ == expected);
    EXPECT_TRUE(console_ == openedConsole() + "読み込んだフォルダ: " + expected.first + ", " +
                                expected.second + "\n");
    EXPECT_TRUE(log_ == openedLog() + cp932(u"[DEBUG] 読み込んだフォルダ: ") + expected.first +
                            ", " + expected.second + "\r\n");
  }
}

}  // namespace
}  // namespace pairwick
