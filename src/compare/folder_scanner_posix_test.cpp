// POSIX tests of the folder scanner: symbolic links, backslashes in names, names not in UTF-8.
#include "compare/folder_scanner.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "platform/platform.h"
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
    const bool completed = scanFolder(folderStr_, folderStr_, contents_, log_, "L");
    platform::flushConsole();
    console_ = testing::internal::GetCapturedStdout();
    return completed;
  }

  std::vector<NarrowText> sorted() const { return {contents_.begin(), contents_.end()}; }
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

  EXPECT_FALSE(scan(folder_));
  EXPECT_EQ(sorted(), (std::vector<NarrowText>{"d"}));
  EXPECT_EQ(
      testing_support::readFile(logPath_),
      startLine() + foundLine("d") +
          crlf(cp932(u"[ERROR] フォルダ走査エラー (L): ") + folderStr_ + " (" + message + ")\n"));
  EXPECT_EQ(console_, "検出 (L): d\n[WARNING] フォルダ走査エラー (L): " + folderStr_ + " (" +
                          message + ")\n");
}

// Two folders scanned together give, byte for byte, what scanning one after the other gives,
// whichever scan ends early and however: a file named as the folder, a name without a narrow
// form, a tree deeper than a walk beside another scan goes.
TEST_F(FolderScannerPosixTest, ScansTogetherMatchScansOneAfterTheOther) {
  const auto build = [](const fs::path& folder, const std::string& kind) {
    if (kind == "file") {
      touch(folder);
      return;
    }
    fs::create_directories(folder / "d");
    touch(folder / "a.txt");
    touch(folder / "d" / "b.txt");
    fs::create_symlink("a.txt", folder / "l");
    if (kind == "emoji") touch(folder / "d" / fs::path(u"\U0001F600"));
    if (kind == "deep") {
      fs::path deep = folder / "d";
      for (int i = 0; i < 40; ++i) deep /= "n";
      fs::create_directories(deep);
      touch(deep / "end.txt");
    }
  };
  const std::vector<std::string> kinds = {"plain", "file", "emoji", "deep"};
  int caseNumber = 0;
  for (const std::string& kind1 : kinds) {
    for (const std::string& kind2 : kinds) {
      SCOPED_TRACE(kind1 + " then " + kind2);
      const fs::path dir = root_ / std::to_string(caseNumber++);
      build(dir / "one", kind1);
      build(dir / "two", kind2);
      const NarrowText one = platform::narrowPath(dir / "one");
      const NarrowText two = platform::narrowPath(dir / "two");

      FolderContents expected1;
      FolderContents expected2;
      DiagnosticsLog expectedLog;
      const fs::path expectedLogPath = root_ / "expectedLog.log";
      testing_support::openTestLog(expectedLog, expectedLogPath);
      testing::internal::CaptureStdout();
      const bool expectedCompleted1 = scanFolder(one, one, expected1, expectedLog, "one");
      const bool expectedCompleted2 = scanFolder(two, two, expected2, expectedLog, "two");
      platform::flushConsole();
      const std::string expectedConsole = testing::internal::GetCapturedStdout();
      EXPECT_EQ(expectedCompleted1, kind1 == "plain" || kind1 == "deep");
      EXPECT_EQ(expectedCompleted2, kind2 == "plain" || kind2 == "deep");

      FolderContents contents1;
      FolderContents contents2;
      DiagnosticsLog log;
      const fs::path logPath = root_ / "log.log";
      testing_support::openTestLog(log, logPath);
      testing::internal::CaptureStdout();
      const auto [completed1, completed2] =
          scanFolders(one, one, contents1, "one", two, two, contents2, "two", log);
      platform::flushConsole();
      EXPECT_EQ(testing::internal::GetCapturedStdout(), expectedConsole);
      EXPECT_EQ(testing_support::readFile(logPath), testing_support::readFile(expectedLogPath));
      EXPECT_EQ(completed1, expectedCompleted1);
      EXPECT_EQ(completed2, expectedCompleted2);
      EXPECT_EQ(contents1, expected1);
      EXPECT_EQ(contents2, expected2);
    }
  }
}

// A walk beside another holds descriptors that a scan alone would have: when the process may
// open few, the first scan must not fail where it would not have failed alone.
TEST_F(FolderScannerPosixTest, FewDescriptorsDoNotFailAScanThatAloneWouldComplete) {
  fs::path deep1 = root_ / "one";
  fs::path deep2 = root_ / "two";
  for (int i = 0; i < 30; ++i) {
    deep1 /= "n";
    deep2 /= "n";
  }
  fs::create_directories(deep1);
  fs::create_directories(deep2);
  touch(deep1 / "x");
  // Many entries at the top of the first folder and at the bottom of the second keep both walks
  // deep at the same time.
  for (int i = 0; i < 2000; ++i) touch(root_ / "one" / ("f" + std::to_string(i)));
  for (int i = 0; i < 30000; ++i) touch(deep2 / ("f" + std::to_string(i)));
  const NarrowText one = platform::narrowPath(root_ / "one");
  const NarrowText two = platform::narrowPath(root_ / "two");

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  FolderContents contents1;
  FolderContents contents2;
  DiagnosticsLog log;
  const fs::path logPath = root_ / "log.log";
  testing_support::openTestLog(log, logPath);
  testing::internal::CaptureStdout();
  std::size_t open = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++open;
  // Room for either walk alone (31 folders and a few more), not for both at once.
  rlimit few = saved;
  few.rlim_cur = open + 45;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
  const auto [completed1, completed2] =
      scanFolders(one, one, contents1, "one", two, two, contents2, "two", log);
  setrlimit(RLIMIT_NOFILE, &saved);
  platform::flushConsole();
  EXPECT_TRUE(completed1) << testing_support::readFile(logPath).substr(
      testing_support::readFile(logPath).size() - 300);
  EXPECT_TRUE(completed2);
  EXPECT_EQ(contents1.size(), 2000u + 31u);
  EXPECT_EQ(contents2.size(), 30000u + 30u);
  // Each entry once: the entries before the point where the first walk ran short are not shown
  // again.
  EXPECT_EQ(countOf(testing_support::readFile(logPath), cp932(u"[DEBUG] 検出 (one): ")),
            2000u + 31u);
  EXPECT_EQ(countOf(testing::internal::GetCapturedStdout(), "検出 (one): "), 2000u + 31u);
}

}  // namespace
}  // namespace pairwick
