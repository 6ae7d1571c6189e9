// Tests of the folder scanner: the set it fills, its console and log lines, and how a scan ends.
#include "compare/folder_scanner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"
#include "text/shift_jis.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

using testing_support::crlf;
using testing_support::touch;

// What the console shows for narrow text: a path or a platform message, decoded as code page 932.
std::string shown(const NarrowText& text) { return utf16ToUtf8(widenMessage(text)); }

class FolderScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing_support::makeScratchFolder("pairwick-scan-");
    logPath_ = root_ / "test.log";
    testing_support::openTestLog(log_, logPath_);
    folder_ = root_ / "f";
    fs::create_directory(folder_);
    folderStr_ = platform::narrowPath(folder_);
  }
  void TearDown() override {
    // Windows removes no file that is still open.
    releaseDiagnosticsLog(log_);
    fs::remove_all(root_);
  }

  bool scan(const NarrowText& label, const NarrowText& folderStr) {
    testing::internal::CaptureStdout();
    const bool completed = testing_support::finishWithin("the scan of " + folderStr, [&] {
      return static_cast<bool>(scanFolders({{folderStr, &contents_, label}}, log_)[0]);
    });
    platform::flushConsole();
    console_ = testing::internal::GetCapturedStdout();
    return completed;
  }
  bool scan(const NarrowText& label) { return scan(label, folderStr_); }

  NarrowText startLine() const {
    return crlf(cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ") + folderStr_ + "\n");
  }
  static NarrowText foundLine(const NarrowText& label, const NarrowText& path) {
    return crlf(cp932(u"[DEBUG] 検出 (") + label + "): " + path + "\n");
  }
  static NarrowText doneLine(const NarrowText& label, std::size_t count) {
    return crlf(cp932(u"[DEBUG] フォルダ走査完了 (") + label + "): " + std::to_string(count) +
                cp932(u" 項目\n"));
  }
  NarrowText errorLine(const NarrowText& label, const NarrowText& message) const {
    return crlf(cp932(u"[ERROR] フォルダ走査エラー (") + label + "): " + folderStr_ + " (" +
                message + ")\n");
  }
  std::vector<NarrowText> sorted() const { return testing_support::pathsOf(contents_); }

  fs::path root_;
  fs::path folder_;
  NarrowText folderStr_;
  FolderContents contents_;
  DiagnosticsLog log_;
  fs::path logPath_;
  std::string console_;
};

TEST_F(FolderScannerTest, EmptyFolderLogsStartAndZeroCount) {
  EXPECT_TRUE(scan("A"));
  EXPECT_EQ(pathCount(contents_), 0u);
  EXPECT_EQ(testing_support::readFile(logPath_), startLine() + doneLine("A", 0));
  EXPECT_EQ(console_, "");
}

TEST_F(FolderScannerTest, FolderEntryComesBeforeItsContents) {
  fs::create_directory(folder_ / "sub");
  touch(folder_ / "sub" / "a.txt");
  EXPECT_TRUE(scan("A"));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"sub", "sub/a.txt"}));
  EXPECT_EQ(testing_support::readFile(logPath_),
            startLine() + foundLine("A", "sub") + foundLine("A", "sub/a.txt") + doneLine("A", 2));
  EXPECT_EQ(console_, "検出 (A): sub\n検出 (A): sub/a.txt\n");
}

TEST_F(FolderScannerTest, SetIsOrderedByBytes) {
  touch(folder_ / "a.txt");
  touch(folder_ / "B.txt");
  fs::create_directory(folder_ / "dir");
  touch(folder_ / "dir" / "file");
  touch(folder_ / "dir-x");
  touch(folder_ / platform::pathFromNarrow(cp932(u"かな.txt")));
  EXPECT_TRUE(scan("A"));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"B.txt", "a.txt", "dir", "dir-x", "dir/file",
                                               cp932(u"かな.txt")}));
  const std::string log = testing_support::readFile(logPath_);
  EXPECT_EQ(log.substr(log.size() - doneLine("A", 6).size()), doneLine("A", 6));
}

TEST_F(FolderScannerTest, TwoByteCharactersEndingIn5CAreKept) {
  // 表 is 95 5C and ソ is 83 5C in code page 932.
  const NarrowText label = cp932(u"資料表");
  fs::create_directory(folder_ / platform::pathFromNarrow(cp932(u"表")));
  touch(folder_ / platform::pathFromNarrow(cp932(u"表/ソ.txt")));
  EXPECT_TRUE(scan(label));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"\x95\x5C", "\x95\x5C/\x83\x5C.txt"}));
  EXPECT_EQ(testing_support::readFile(logPath_), startLine() + foundLine(label, "\x95\x5C") +
                                                     foundLine(label, "\x95\x5C/\x83\x5C.txt") +
                                                     doneLine(label, 2));
  EXPECT_EQ(console_, "検出 (資料表): 表\n検出 (資料表): 表/ソ.txt\n");
}

TEST_F(FolderScannerTest, NameOutsideCodePage932EndsTheScan) {
  fs::create_directory(folder_ / "d");
  const fs::path hangul = folder_ / "d" / fs::path(u"\uD55C.txt");
  touch(hangul);
  NarrowText message;
  try {
    platform::narrowPath(fs::path(u"\uD55C.txt"));
  } catch (const std::exception& failure) {
    message = platform::narrowMessage(failure);
  }
  ASSERT_FALSE(message.empty());
  // The message names the entry as the walk joins its path, with "?" for the character.
  const char separator = static_cast<char>(fs::path::preferred_separator);
  message += " [" + folderStr_ + separator + "d" + separator + "?.txt]";

  EXPECT_FALSE(scan("A"));
  // The folder visited before the failing entry stays; no completion line follows.
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"d"}));
  EXPECT_EQ(testing_support::readFile(logPath_),
            startLine() + foundLine("A", "d") + errorLine("A", message));
  EXPECT_EQ(console_, "検出 (A): d\n[WARNING] フォルダ走査エラー (A): " + shown(folderStr_) + " (" +
                          shown(message) + ")\n");
}

TEST_F(FolderScannerTest, EmojiNameAloneLeavesTheSetEmpty) {
  touch(folder_ / fs::path(u"\U0001F600"));
  EXPECT_FALSE(scan("A"));
  EXPECT_EQ(pathCount(contents_), 0u);
  const std::string log = testing_support::readFile(logPath_);
  const NarrowText errorStart =
      crlf(cp932(u"[ERROR] フォルダ走査エラー (A): ") + folderStr_ + " (");
  EXPECT_EQ(log.substr(0, startLine().size() + errorStart.size()), startLine() + errorStart);
  EXPECT_EQ(log.substr(log.size() - 3), ")\r\n");
}

TEST_F(FolderScannerTest, FolderPathNamingAFileFailsAtOnce) {
  fs::remove(folder_);
  touch(folder_);
  NarrowText message;
  try {
    platform::readFolder(folder_, nullptr);
  } catch (const std::exception& failure) {
    message = platform::narrowMessage(failure);
  }
  ASSERT_FALSE(message.empty());

  const NarrowText label = cp932(u"表");
  EXPECT_FALSE(scan(label));
  EXPECT_EQ(pathCount(contents_), 0u);
  EXPECT_EQ(testing_support::readFile(logPath_), startLine() + errorLine(label, message));
  EXPECT_EQ(console_, "[WARNING] フォルダ走査エラー (表): " + shown(folderStr_) + " (" +
                          shown(message) + ")\n");
}

}  // namespace
}  // namespace pairwick
