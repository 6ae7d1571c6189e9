// Differential test of the folder scanner: on random trees with every kind of link, the scanner
// (which resolves only links in full) gives exactly what the relative path rule taken literally
// for every entry gives: the same console and log lines in the same order, the same set.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "compare/folder_scanner.h"
#include "platform/platform.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

using testing_support::crlf;

// The rule as written: every entry's path and the base resolved with the library's own
// weakly_canonical, the lexical relative path, its narrow form; the set a std::set.
struct Expected {
  std::string console;
  NarrowText log;
  std::set<NarrowText> contents;
};

Expected literalScan(const fs::path& folder, const NarrowText& label) {
  const NarrowText folderStr = platform::narrowPath(folder);
  Expected expected;
  expected.log = crlf(cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ") + folderStr + "\n");
  for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
    if (it->is_symlink()) it.disable_recursion_pending();
    const NarrowText pathStr = platform::narrowPath(
        fs::weakly_canonical(it->path()).lexically_relative(fs::weakly_canonical(folder)));
    WideText wide;
    appendCp932Lenient(pathStr, wide);
    WideText wideLabel;
    appendCp932Lenient(label, wideLabel);
    expected.console += utf16ToUtf8(u"検出 (" + wideLabel + u"): " + wide + u"\n");
    expected.log += crlf(cp932(u"[DEBUG] 検出 (") + label + "): " + pathStr + "\n");
    expected.contents.insert(pathStr);
  }
  expected.log += crlf(cp932(u"[DEBUG] フォルダ走査完了 (") + label +
                       "): " + std::to_string(expected.contents.size()) + cp932(u" 項目\n"));
  return expected;
}

class FolderScannerDifferentialTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { root_ = testing_support::makeScratchFolder("pairwick-scandiff-"); }
  void TearDown() override { fs::remove_all(root_); }

  // A tree of about `count` entries below root_/tree: names that share prefixes with '-', '.'
  // and '/' after them, Japanese names with 0x5C second bytes, a backslash, and links of every
  // kind: to files and folders inside, to the folder itself and its ancestors, outside, absolute,
  // dangling, chains of links, and links inside folders reached only through the tree.
  void makeTree(std::mt19937& random, int count) {
    const fs::path tree = root_ / "tree";
    fs::create_directories(tree);
    fs::create_directories(root_ / "outside" / "t");
    const std::vector<std::string> stems = {"d",  "d-x", "d.x",  "d0",   "D", "a b",
                                            "表", "ソ",  "表ソ", "x\\y", "z", "zz"};
    std::vector<fs::path> folders = {tree};
    std::vector<fs::path> entries;
    for (int i = 0; i < count; ++i) {
      const fs::path parent = folders[random() % folders.size()];
      std::string name = stems[random() % stems.size()];
      if (random() % 2 != 0) name += std::to_string(random() % 5);
      const fs::path path = parent / fs::u8path(name);
      if (fs::exists(fs::symlink_status(path))) continue;
      const unsigned kind = random() % 10;
      if (kind < 3) {
        fs::create_directory(path);
        folders.push_back(path);
      } else if (kind < 7 || entries.empty()) {
        testing_support::touch(path);
      } else {
        const fs::path target = entries[random() % entries.size()];
        switch (random() % 6) {
          case 0:
            fs::create_symlink(target.lexically_relative(parent), path);
            break;
          case 1:
            fs::create_symlink(target, path);
            break;
          case 2:
            fs::create_symlink(fs::path("..") / "missing", path);
            break;
          case 3:
            fs::create_symlink(tree.lexically_relative(parent), path);
            break;
          case 4:
            fs::create_symlink(root_ / "outside" / "t", path);
            break;
          default:
            fs::create_symlink(parent.lexically_relative(parent) / "..", path);
            break;
        }
      }
      entries.push_back(path);
    }
  }

  fs::path root_;
};

TEST_P(FolderScannerDifferentialTest, ScannerMatchesTheLiteralRule) {
  std::mt19937 random(GetParam());
  makeTree(random, 150 + static_cast<int>(GetParam() % 7) * 40);
  // The folder itself and, through a link, a base that is reached through links.
  fs::create_symlink(root_ / "tree", root_ / "via");
  for (const fs::path& folder : {root_ / "tree", root_ / "via"}) {
    SCOPED_TRACE(folder.string());
    const NarrowText folderStr = platform::narrowPath(folder);
    const NarrowText label = cp932(u"表");
    const Expected expected = literalScan(folder, label);

    FolderContents contents;
    DiagnosticsLog log;
    const fs::path logPath = root_ / "log.log";
    testing_support::openTestLog(log, logPath);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(scanFolder(folderStr, folderStr, contents, log, label));
    platform::flushConsole();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected.console);
    EXPECT_EQ(testing_support::readFile(logPath), expected.log);
    EXPECT_EQ(contents, FolderContents(expected.contents.begin(), expected.contents.end()));

    // The same scan walked on another thread, its lines written afterwards.
    FolderContents deferredContents;
    DiagnosticsLog deferredLog;
    const fs::path deferredLogPath = root_ / "deferredLog.log";
    testing_support::openTestLog(deferredLog, deferredLogPath);
    testing::internal::CaptureStdout();
    const auto finish = startFolderScan(folderStr, folderStr, deferredContents, deferredLog, label);
    EXPECT_TRUE(finish());
    platform::flushConsole();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected.console);
    EXPECT_EQ(testing_support::readFile(deferredLogPath), expected.log);
    EXPECT_EQ(deferredContents, contents);
  }
}

TEST_P(FolderScannerDifferentialTest, TwoFoldersScannedTogetherMatchTheLiteralRule) {
  std::mt19937 random(GetParam() * 7919);
  makeTree(random, 150 + static_cast<int>(GetParam() % 5) * 50);
  fs::create_symlink(root_ / "tree", root_ / "via");
  const NarrowText tree = platform::narrowPath(root_ / "tree");
  const NarrowText via = platform::narrowPath(root_ / "via");
  const Expected expected1 = literalScan(root_ / "tree", "one");
  const Expected expected2 = literalScan(root_ / "via", "two");

  FolderContents contents1;
  FolderContents contents2;
  DiagnosticsLog log;
  const fs::path logPath = root_ / "log.log";
  testing_support::openTestLog(log, logPath);
  testing::internal::CaptureStdout();
  const auto [completed1, completed2] =
      scanFolders(tree, tree, contents1, "one", via, via, contents2, "two", log);
  platform::flushConsole();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expected1.console + expected2.console);
  EXPECT_TRUE(completed1);
  EXPECT_TRUE(completed2);
  EXPECT_EQ(testing_support::readFile(logPath), expected1.log + expected2.log);
  EXPECT_EQ(contents1, FolderContents(expected1.contents.begin(), expected1.contents.end()));
  EXPECT_EQ(contents2, FolderContents(expected2.contents.begin(), expected2.contents.end()));
}

INSTANTIATE_TEST_SUITE_P(RandomTrees, FolderScannerDifferentialTest, ::testing::Range(1u, 13u));

}  // namespace
}  // namespace pairwick
