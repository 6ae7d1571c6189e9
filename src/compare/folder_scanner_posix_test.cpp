// POSIX tests of the folder scanner: symbolic links, backslashes in names, names not in UTF-8,
// memory that runs out in the middle of a scan.
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
#include "platform/folders.h"
#include "testing/bounded_wait.h"
#include "testing/failing_allocation.h"
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

// Memory that runs out while a folder's entries are named (here, joining the path of the entry
// with a long name) ends the scan at that entry: those named before it are shown, logged and kept,
// the scan's failure line follows, and the scan counts as incomplete.
TEST_F(FolderScannerPosixTest, MemoryRunningOutWhileEntriesAreNamedKeepsThoseNamedBefore) {
  const std::string longName(200, 'L');
  fs::create_directory(folder_ / longName);
  // Files until the listing names one before the long name; any after it are never reached.
  std::vector<std::string> listed;
  std::size_t failing = 0;
  for (int i = 0; failing == 0 && i < 100; ++i) {
    testing_support::touch(folder_ / ("f" + std::to_string(i)));
    const platform::FolderListing listing = platform::readFolder(folder_, nullptr);
    listed.clear();
    for (std::size_t at = 0; at < listing.names.size(); at = listing.names.find('\0', at) + 1) {
      listed.push_back(listing.names.substr(at, listing.names.find('\0', at) - at));
    }
    failing = static_cast<std::size_t>(std::find(listed.begin(), listed.end(), longName) -
                                       listed.begin());
  }
  ASSERT_GT(failing, 0u) << "the long name stayed first in the listing";
  const std::vector<std::string> before(listed.begin(), listed.begin() + failing);

  bool complete = true;
  {
    // The first allocation of the size of the long entry's path as the walk joins it.
    const std::size_t pathBytes =
        (folder_.native().size() + 1 + longName.size() + 1) * sizeof(fs::path::value_type);
    const testing_support::FailingAllocation outOfMemory(pathBytes, pathBytes);
    complete = scan(folder_);
    ASSERT_TRUE(outOfMemory.failed()) << "no allocation of " << pathBytes << " bytes was made";
  }
  EXPECT_FALSE(complete);
  std::vector<NarrowText> kept(before.begin(), before.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(sorted(), kept);
  NarrowText log = startLine();
  std::string console;
  for (const std::string& name : before) {
    log += foundLine(name);
    console += "検出 (L): " + name + "\n";
  }
  EXPECT_EQ(
      testing_support::readFile(logPath_),
      log + crlf(cp932(u"[ERROR] フォルダ走査エラー (L): ") + folderStr_ + " (std::bad_alloc)\n"));
  EXPECT_EQ(console_,
            console + "[WARNING] フォルダ走査エラー (L): " + folderStr_ + " (std::bad_alloc)\n");
}

// Memory that runs out while a path is kept costs that one entry: it is shown, then warned about
// and logged as not kept, and every entry after it is kept under its own path. The scan goes on
// to its end and counts as incomplete.
TEST_F(FolderScannerPosixTest, PathThatCannotBeKeptCostsThatEntryAlone) {
  // Long names in small folders: the paths kept outgrow two batches of log lines, and their store
  // makes the scan's largest allocations.
  std::vector<NarrowText> all;
  for (int d = 0; d < 20; ++d) {
    const std::string folder = "d" + std::to_string(d);
    fs::create_directory(folder_ / folder);
    all.push_back(folder);
    for (int f = 0; f < 60; ++f) {
      const std::string name = std::to_string(f) + std::string(150, 'n');
      touch(folder_ / folder / name);
      all.push_back(folder + "/" + name);
    }
  }
  std::sort(all.begin(), all.end());
  // A first scan makes what the program makes once (the console's conversion table among them).
  ASSERT_TRUE(scan(folder_));
  ASSERT_EQ(sorted(), all);
  contents_ = FolderContents();
  const std::size_t logBefore = testing_support::readFile(logPath_).size();
  bool complete = true;
  {
    const testing_support::FailingAllocation outOfMemory(2 * kLogBatchBytes + 1,
                                                         static_cast<std::size_t>(-1));
    complete = scan(folder_);
    ASSERT_TRUE(outOfMemory.failed()) << "the paths kept never grew that large";
  }
  EXPECT_FALSE(complete);
  const std::string log = testing_support::readFile(logPath_).substr(logBefore);
  const NarrowText notKept = cp932(u"[ERROR] パス変換エラー (L): ");
  const std::size_t at = log.find(notKept);
  ASSERT_NE(at, std::string::npos) << "no entry was left out";
  EXPECT_EQ(log.find(notKept, at + 1), std::string::npos) << "more than one entry was left out";
  const std::size_t pathAt = at + notKept.size();
  const NarrowText path = log.substr(pathAt, log.find(" (", pathAt) - pathAt);
  // Its entry line, then its failure; nothing else of it.
  EXPECT_NE(log.find(foundLine(path) + crlf(notKept + path + " (std::bad_alloc)\n")),
            std::string::npos);
  std::vector<NarrowText> kept = all;
  kept.erase(std::remove(kept.begin(), kept.end(), path), kept.end());
  ASSERT_EQ(kept.size(), all.size() - 1) << path << " is no path of the tree";
  EXPECT_EQ(sorted(), kept);
  EXPECT_EQ(countOf(log, cp932(u"[DEBUG] 検出 (L): ")), all.size());
  EXPECT_EQ(log.substr(log.size() - doneLine(kept.size()).size()), doneLine(kept.size()));
  EXPECT_EQ(countOf(console_, "検出 (L): "), all.size());
  EXPECT_EQ(countOf(console_, "[WARNING] パス変換エラー (L): " + folderStr_ + "/" + path +
                                  " (std::bad_alloc)\n"),
            1u);
}

}  // namespace
}  // namespace pairwick
