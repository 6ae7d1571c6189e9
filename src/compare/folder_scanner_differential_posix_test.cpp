// Differential test of the folder scanner: on random trees with every kind of link and name, the
// scanner (folders read ahead on a pool of threads, only links resolved in full) gives exactly
// what a sequential walk with the relative path rule taken literally for every entry gives: the
// same console and log lines in the same order, the same sets, the same outcome.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "compare/folder_scanner.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/files.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"
#include "text/shift_jis.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

using testing_support::crlf;

// The sequential walk and the rule as written: the library's recursive iterator, every entry's
// path and the base resolved with the library's own weakly_canonical, the lexical relative path,
// its narrow form; the set a std::set. A failure ends the walk with the scan handler's lines.
struct Expected {
  std::string console;
  NarrowText log;
  std::vector<NarrowText> contents;
  bool complete = true;
};

Expected literalScan(const fs::path& folder, const NarrowText& label) {
  const NarrowText folderStr = platform::narrowPath(folder);
  WideText wideLabel;
  appendCp932Lenient(label, wideLabel);
  Expected expected;
  std::set<NarrowText> contents;
  expected.log = crlf(cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ") + folderStr + "\n");
  try {
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
      if (it->is_symlink()) it.disable_recursion_pending();
      const fs::path relPath =
          fs::weakly_canonical(it->path()).lexically_relative(fs::weakly_canonical(folder));
      NarrowText pathStr;
      try {
        pathStr = platform::narrowPath(relPath);
      } catch (const std::system_error& failure) {
        // The failure names the entry, as the walk joins its path.
        throw std::runtime_error(platform::narrowMessage(failure) + " [" +
                                 platform::narrowPathReplacing(it->path()) + "]");
      }
      WideText wide;
      appendCp932Lenient(pathStr, wide);
      expected.console += utf16ToUtf8(u"検出 (" + wideLabel + u"): " + wide + u"\n");
      expected.log += crlf(cp932(u"[DEBUG] 検出 (") + label + "): " + pathStr + "\n");
      contents.insert(pathStr);
    }
    expected.log += crlf(cp932(u"[DEBUG] フォルダ走査完了 (") + label +
                         "): " + std::to_string(contents.size()) + cp932(u" 項目\n"));
  } catch (const std::exception& failure) {
    const NarrowText message = platform::narrowMessage(failure);
    expected.log += crlf(cp932(u"[ERROR] フォルダ走査エラー (") + label + "): " + folderStr + " (" +
                         message + ")\n");
    WideText wideFolder;
    appendCp932Lenient(folderStr, wideFolder);
    expected.console += utf16ToUtf8(u"[WARNING] フォルダ走査エラー (" + wideLabel + u"): " +
                                    wideFolder + u" (" + widenMessage(message) + u")\n");
    expected.complete = false;
  }
  expected.contents.assign(contents.begin(), contents.end());
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

// Runs as a user that folders without permissions keep out: root reads everything, so it scans
// as user 65534 (every thread of the process takes the effective user) and is root again after.
class DeniedToScanner {
 public:
  DeniedToScanner() : root_(geteuid() == 0) {
    if (root_ && seteuid(65534) != 0) ADD_FAILURE() << "cannot run as user 65534";
  }
  ~DeniedToScanner() {
    if (root_ && seteuid(0) != 0) ADD_FAILURE() << "cannot run as root again";
  }

 private:
  bool root_;
};

// Both folders scanned together give what the sequential walk gives for each, in turn, also when
// a name without a narrow form, a folder that may not be read or one that may be read but not
// searched ends a scan, and when the process may open only a few descriptors, one, or none.
TEST_P(FolderScannerDifferentialTest, ReaderMatchesTheSequentialWalk) {
  std::mt19937 random(GetParam() * 7919);
  makeTree(random, 150 + static_cast<int>(GetParam() % 5) * 50);
  // Folders that take the readers' threads long enough to list that they hold descriptors at the
  // same time, however idle the machine: with one descriptor for them all, some wait for another's.
  for (int d = 0; d < 4; ++d) {
    const fs::path big = root_ / "tree" / ("big" + std::to_string(d));
    fs::create_directory(big);
    for (int f = 0; f < 500; ++f) testing_support::touch(big / ("f" + std::to_string(f)));
  }
  fs::create_symlink(root_ / "tree", root_ / "via");
  if (GetParam() % 3 == 0) {
    const std::vector<std::string> unnamed = {"\xF0\x9F\x98\x80", "a\nb", "c\rd", "\x1B[2J",
                                              "e\tf"};
    std::vector<fs::path> folders;
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "tree")) {
      if (entry.is_directory() && !entry.is_symlink()) folders.push_back(entry.path());
    }
    if (!folders.empty()) {
      testing_support::touch(folders[random() % folders.size()] /
                             unnamed[random() % unnamed.size()]);
    }
  }
  fs::path denied;
  if (GetParam() % 4 == 1) {
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "tree")) {
      if (entry.is_directory() && !entry.is_symlink() && random() % 3 == 0) denied = entry.path();
    }
    if (!denied.empty()) fs::permissions(denied, fs::perms::none);
  }
  // A folder that can be read but not searched: its names are listed, and none can be resolved.
  fs::path unsearchable;
  if (GetParam() % 4 == 3) {
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "tree")) {
      if (entry.is_directory() && !entry.is_symlink() && !fs::is_empty(entry.path())) {
        unsearchable = entry.path();
      }
    }
    if (!unsearchable.empty()) {
      fs::permissions(unsearchable,
                      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
  }
  const NarrowText tree = platform::narrowPath(root_ / "tree");
  const NarrowText via = platform::narrowPath(root_ / "via");
  const NarrowText label2 = cp932(u"表");
  Expected expected1;
  Expected expected2;
  {
    DeniedToScanner asUser;
    expected1 = literalScan(root_ / "tree", "one");
    expected2 = literalScan(root_ / "via", label2);
  }
  if (!denied.empty() || !unsearchable.empty()) {
    EXPECT_FALSE(expected1.complete) << "the folder was not denied";
  }

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // A few descriptors, or one: the readers' threads take turns, and one that waits for another's
  // is woken when it is given back. None: every listing fails at once, as the sequential walk's
  // does, without waiting for a descriptor that never comes.
  enum class Descriptors { asManyAsAllowed, few, one, none };
  for (const Descriptors descriptors :
       {Descriptors::asManyAsAllowed, Descriptors::few, Descriptors::one, Descriptors::none}) {
    const std::string allowed = descriptors == Descriptors::few   ? "few descriptors"
                                : descriptors == Descriptors::one ? "one descriptor"
                                : descriptors == Descriptors::none
                                    ? "no descriptor"
                                    : "as many descriptors as allowed";
    SCOPED_TRACE(allowed);
#ifdef PAIRWICK_SANITIZED
    // The sanitizers' checks open descriptors of their own (a pipe to test memory): without any
    // left, they report faults that are not there.
    if (descriptors != Descriptors::asManyAsAllowed) continue;
#endif
    FolderContents contents1;
    FolderContents contents2;
    DiagnosticsLog log;
    const fs::path logPath = root_ / "scan.log";
    testing_support::openTestLog(log, logPath);
    testing::internal::CaptureStdout();
    if (descriptors == Descriptors::few) {
      std::size_t open = 0;
      for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++open;
      rlimit few = saved;
      few.rlim_cur = open + 2;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    }
    if (descriptors == Descriptors::one || descriptors == Descriptors::none) {
      // An open takes the lowest free descriptor, which must lie below the limit.
      const int lowestFree = dup(0);
      close(lowestFree);
      rlimit limit = saved;
      limit.rlim_cur = static_cast<rlim_t>(lowestFree) + (descriptors == Descriptors::one ? 1 : 0);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    std::vector<bool> complete;
    Expected expected[2] = {expected1, expected2};
    {
      DeniedToScanner asUser;
      if (descriptors == Descriptors::none) {
        expected[0] = literalScan(root_ / "tree", "one");
        expected[1] = literalScan(root_ / "via", label2);
      }
      complete = testing_support::finishWithin("the scans of both trees with " + allowed, [&] {
        return scanFolders({{tree, &contents1, "one"}, {via, &contents2, label2}}, log);
      });
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    platform::flushConsole();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected[0].console + expected[1].console);
    endDiagnosticsLog(log);
    releaseDiagnosticsLog(log);
    EXPECT_EQ(testing_support::readFile(logPath), expected[0].log + expected[1].log);
    EXPECT_EQ(complete, (std::vector<bool>{expected[0].complete, expected[1].complete}));
    if (descriptors == Descriptors::none) {
      EXPECT_EQ(complete, (std::vector<bool>{false, false}));
    }
    EXPECT_EQ(testing_support::pathsOf(contents1), expected[0].contents);
    EXPECT_EQ(testing_support::pathsOf(contents2), expected[1].contents);
  }
  if (!denied.empty()) fs::permissions(denied, fs::perms::owner_all);
  if (!unsearchable.empty()) fs::permissions(unsearchable, fs::perms::owner_all);
}

INSTANTIATE_TEST_SUITE_P(RandomTrees, FolderScannerDifferentialTest, ::testing::Range(1u, 13u));

}  // namespace
}  // namespace pairwick
