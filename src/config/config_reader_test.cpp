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
#include "codec/utf8.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "testing/bounded_wait.h"
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
    std::ofstream file(platform::systemPath(platform::pathFromNarrow(configPath_)),
                       std::ios::binary | std::ios::trunc);
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
    const ConfigNames config = testing_support::finishWithin(
        "the configuration to be read", [&] { return readConfig(configPath, errLog); });
    names_ = {config.folder1, config.folder2};
    savedAs_ = config.savedAs;
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
  ForeignEncoding savedAs_ = ForeignEncoding::none;
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
    EXPECT_EQ(savedAs_, ForeignEncoding::none);
  }
}

TEST_F(ConfigReaderTest, FirstLineWithoutTwoNamesIsMalformed) {
  struct Case {
    std::string content;
    std::string firstLine;  // As logged: untrimmed, without its line end.
    ForeignEncoding savedAs = ForeignEncoding::none;
  };
  using namespace std::string_literals;
  const std::vector<Case> cases = {
      {"\n", ""},
      {"\nA,B\n", ""},
      {"AB\r\nC,D\r\n", "AB"},
      {",B", ",B"},
      {",,\n", ",,"},
      {"A,\t \t,B\n", "A,\t \t,B"},
      {"A\x1A,B\n", "A"},
      {"\r", "\r"},
      // Empty files as editors save them in other encodings, and names without a comma.
      {"\xFE\xFF\r\n", "\xFE\xFF", ForeignEncoding::utf16},
      {"\xE6\x97\xA7\xE7\x89\x88\r\n", "\xE6\x97\xA7\xE7\x89\x88", ForeignEncoding::utf8},
      {"A\0\r\0\n\0"s, "A\0\r\0"s, ForeignEncoding::utf16},
      // Shift-JIS: 旧版 (no UTF-8), ｱ (a lone continuation byte), ﾃ at the end (a cut sequence).
      {"\x8B\x8C\x94\xC5\r\n", "\x8B\x8C\x94\xC5"},
      {"\xB1\r\n", "\xB1"},
      {"A\xC3\r\n", "A\xC3"},
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
    EXPECT_EQ(savedAs_, c.savedAs);
  }
}

TEST_F(ConfigReaderTest, NamesAreTrimmedOfBlanksOnlyAndOtherwiseKeptAsRead) {
  struct Case {
    std::string content;
    Names names;
    std::string shown;  // The names as the console shows them, comma and blank between.
    ForeignEncoding savedAs = ForeignEncoding::none;
  };
  using namespace std::string_literals;
  const std::vector<Case> cases = {
      {"A,B", {"A", "B"}, "A, B"},
      {"\t Folder one ,  second\tfolder  \r\n",
       {"Folder one", "second\tfolder"},
       "Folder one, second\tfolder"},
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
       "・ｿA, B",
       ForeignEncoding::utf8},
      // 旧版,新版 saved as UTF-8, and as UTF-16 with its byte order mark.
      {"\xE6\x97\xA7\xE7\x89\x88,\xE6\x96\xB0\xE7\x89\x88\r\n",
       {"\xE6\x97\xA7\xE7\x89\x88", "\xE6\x96\xB0\xE7\x89\x88"},
       "譌ｧ迚・, 譁ｰ迚・",
       ForeignEncoding::utf8},
      {"\xFF\xFE\xE7\x65\x48\x72,\0\xB0\x65\x48\x72\r\0\n\0"s,
       {"\xFF\xFE\xE7\x65\x48\x72", "\0\xB0\x65\x48\x72\r\0"s},
       "\uF8F3\uF8F2軻Hr, ",
       ForeignEncoding::utf16},
      // Half-width katakana can be valid UTF-8 by accident: ﾃｱ is C3 B1, ñ.
      {"\xC3\xB1,B\r\n", {"\xC3\xB1", "B"}, "ﾃｱ, B", ForeignEncoding::utf8},
      {"\x81\x40"
       "A,B\x81\x40\r\n",
       {"\x81\x40"
        "A",
        "B\x81\x40"},
       "　A, B　"},
      // The console shows a name up to its 0x00 byte; the name itself keeps every byte.
      {"A\0B,C\r\n"s, {"A\0B"s, "C"}, "A, C", ForeignEncoding::utf16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    readContent(c.content);
    EXPECT_EQ(names_, c.names);
    EXPECT_EQ(console_, asCaptured(openedConsole() + "読み込んだフォルダ: " + c.shown + "\n"));
    EXPECT_EQ(log_, openedLog() + cp932(u"[DEBUG] 読み込んだフォルダ: ") + c.names.first + ", " +
                        c.names.second + "\r\n");
    EXPECT_EQ(savedAs_, c.savedAs);
  }
}

// In a Japanese folder, and in one whose path is longer than the 260 characters at which the
// system's file calls stop unless they are given the extended-length form.
TEST_F(ConfigReaderTest, JapaneseNamesAreShownAsJapaneseAndLoggedAsCodePage932) {
  std::string longName;  // 78 characters, 234 bytes in UTF-8
  for (int i = 0; i < 13; ++i) longName += "設定フォルダ";
  for (const std::size_t depth : {1, 4}) {
    const std::string name = depth == 1 ? "設定フォルダ" : longName;
    SCOPED_TRACE(depth);
    std::string shownDir;
    NarrowText configDir = dirNarrow_;
    for (std::size_t i = 0; i < depth; ++i) {
      shownDir += kSeparator + name;
      configDir += kSeparator + cp932(utf8ToUtf16Lenient(name));
      fs::create_directory(platform::systemPath(platform::pathFromNarrow(configDir)));
    }
    configPath_ = configDir + kSeparator + "Pairwick_config.csv";
    const NarrowText first = cp932(u"比較元フォルダ");
    const NarrowText second = cp932(u"ｶﾀｶﾅ～表");
    readContent(first + ",\t" + second + "\r\n");

    EXPECT_EQ(names_, Names(first, second));
    EXPECT_EQ(savedAs_, ForeignEncoding::none);
    EXPECT_EQ(console_, "設定ファイルを開きました: " + dirNarrow_ + shownDir + kSeparator +
                            "Pairwick_config.csv\n" +
                            "読み込んだフォルダ: 比較元フォルダ, ｶﾀｶﾅ～表\n");
    EXPECT_EQ(log_, openedLog() + cp932(u"[DEBUG] 読み込んだフォルダ: ") + first + ", " + second +
                        "\r\n");

    // Given short names from the top down, the folders can be removed by the ordinary calls.
    fs::path shortened = dir_;
    for (std::size_t i = 0; i < depth; ++i) {
      fs::rename(shortened / platform::pathFromNarrow(cp932(utf8ToUtf16Lenient(name))),
                 shortened / "d");
      shortened /= "d";
    }
    fs::remove_all(dir_ / "d");
  }
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
