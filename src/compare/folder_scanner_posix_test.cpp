// POSIX tests of the folder scanner: symbolic links, backslashes in names, names not in UTF-8.
#include "compare/folder_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/files.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

using testing_support::crlf;
using testing_support::touch;

std::size_t countOf(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

class FolderScannerPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testing_support::makeScratchFolder("pairwick-scanposix-");
    logPath_ = root_ / "test.log";
    testing_support::openTestLog(log_, logPath_);
    folder_ = root_ / "f";
    fs::create_directory(folder_);
  }
  void TearDown() override { fs::remove_all(root_); }

  bool scan(const fs::path& folder) {
    folderStr_ = platform::narrowPath(folder);
    testing::internal::CaptureStdout();
    const bool completed = testing_support::finishWithin("the scan of " + folderStr_, [&] {
      return static_cast<bool>(scanFolders({{folderStr_, &contents_, "L"}}, log_)[0]);
    });
    platform::flushConsole();
    console_ = testing::internal::GetCapturedStdout();
    return completed;
  }

  std::vector<NarrowText> sorted() const { return testing_support::pathsOf(contents_); }
  NarrowText startLine() const {
    return crlf(cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ") + folderStr_ + "\n");
  }
  static NarrowText foundLine(const NarrowText& path) {
    return crlf(cp932(u"[DEBUG] 検出 (L): ") + path + "\n");
  }
  static NarrowText doneLine(std::size_t count) {
    return crlf(cp932(u"[DEBUG] フォルダ走査完了 (L): ") + std::to_string(count) +
                cp932(u" 項目\n"));
  }

  fs::path root_;
  fs::path folder_;
  NarrowText folderStr_;
  FolderContents contents_;
  DiagnosticsLog log_;
  fs::path logPath_;
  std::string console_;
};

TEST_F(FolderScannerPosixTest, LinksToOneFileAreOneElementButEachIsShown) {
  touch(folder_ / "t.txt");
  fs::create_symlink("t.txt", folder_ / "l1");
  fs::create_symlink(folder_ / "t.txt", folder_ / "l2");
  EXPECT_TRUE(scan(folder_));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"t.txt"}));
  const std::string log = testing_support::readFile(logPath_);
  EXPECT_EQ(log, startLine() + foundLine("t.txt") + foundLine("t.txt") + foundLine("t.txt") +
                     doneLine(1));
  EXPECT_EQ(console_, "検出 (L): t.txt\n検出 (L): t.txt\n検出 (L): t.txt\n");
}

TEST_F(FolderScannerPosixTest, LinksAreRecordedUnderTheirTargets) {
  touch(root_ / "outside.txt");
  fs::create_directory(root_ / "odir");
  touch(root_ / "odir" / "inner.txt");
  fs::create_directory(folder_ / "sub");
  touch(folder_ / "sub" / "a.txt");
  fs::create_symlink("../outside.txt", folder_ / "out");
  fs::create_symlink(root_ / "odir", folder_ / "dirlink");
  fs::create_symlink("sub", folder_ / "sublink");
  fs::create_symlink(".", folder_ / "self");
  fs::create_symlink("missing", folder_ / "dangling");
  EXPECT_TRUE(scan(folder_));
  // Directory links are visited but never descended into: no inner.txt, no second sub/a.txt.
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{".", "../odir", "../outside.txt", "dangling", "sub",
                                               "sub/a.txt"}));
  const std::string log = testing_support::readFile(logPath_);
  EXPECT_EQ(countOf(log, cp932(u"[DEBUG] 検出 (L): ")), 7u);
  EXPECT_EQ(countOf(log, foundLine("sub")), 2u);
  EXPECT_EQ(countOf(log, foundLine("sub/a.txt")), 1u);
  EXPECT_EQ(log.substr(log.size() - doneLine(6).size()), doneLine(6));
}

TEST_F(FolderScannerPosixTest, FolderReachedThroughALinkGivesItsTargetsPaths) {
  fs::create_directory(folder_ / "sub");
  touch(folder_ / "sub" / "a.txt");
  const fs::path link = root_ / "via";
  fs::create_symlink(folder_, link);
  EXPECT_TRUE(scan(link));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"sub", "sub/a.txt"}));
  EXPECT_EQ(testing_support::readFile(logPath_),
            startLine() + foundLine("sub") + foundLine("sub/a.txt") + doneLine(2));
}

TEST_F(FolderScannerPosixTest, BackslashInANameIsAnOrdinaryCharacter) {
  // a\b must stay apart from the file b in the folder a.
  touch(folder_ / "a\\b");
  fs::create_directory(folder_ / "a");
  touch(folder_ / "a" / "b");
  EXPECT_TRUE(scan(folder_));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"a", "a/b", "a\\b"}));
  EXPECT_EQ(countOf(console_, "検出 (L): a\\b\n"), 1u);
}

TEST_F(FolderScannerPosixTest, NameThatIsNotUtf8EndsTheScan) {
  fs::create_directory(folder_ / "d");
  touch(folder_ / "d" / std::string("bad\xFF.txt"));
  NarrowText message;
  try {
    platform::narrowPath(std::string("bad\xFF.txt"));
  } catch (const std::exception& failure) {
    message = platform::narrowMessage(failure);
  }
  ASSERT_FALSE(message.empty());
  message += " [" + platform::narrowPath(folder_) + "/d/bad?.txt]";

  EXPECT_FALSE(scan(folder_));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"d"}));
  EXPECT_EQ(
      testing_support::readFile(logPath_),
      startLine() + foundLine("d") +
          crlf(cp932(u"[ERROR] フォルダ走査エラー (L): ") + folderStr_ + " (" + message + ")\n"));
  EXPECT_EQ(console_, "検出 (L): d\n[WARNING] フォルダ走査エラー (L): " + folderStr_ + " (" +
                          message + ")\n");
}

}  // namespace
}  // namespace pairwick
