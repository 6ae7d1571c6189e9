// Fault injection in the scanned trees: entries removed and added while a large tree is scanned,
// symbolic-link loops and links to ancestors, a tree deeper than the path limit, names of 255
// bytes. No run may crash or hang, and the report must list exactly what the scan recorded.
#include <fcntl.h>
#include <linux/limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

const std::string kConfig = "Pairwick_config.csv";
// The faults are made with POSIX calls on the POSIX program.
class PosixTrees : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    if (targetIsWindows()) GTEST_SKIP() << "POSIX file-system faults";
  }
};
using ChangingTrees = PosixTrees;

std::vector<std::string> linesOf(const std::string& text, const std::string& end = "\n") {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at = text.find(end); at != std::string::npos; at = text.find(end, start)) {
    lines.push_back(text.substr(start, at - start));
    start = at + end.size();
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The relative paths after `prefix` on the lines that begin with it.
std::multiset<std::string> after(const std::vector<std::string>& lines, const std::string& prefix) {
  std::multiset<std::string> found;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) found.insert(line.substr(prefix.size()));
  }
  return found;
}

std::set<std::string> unite(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::set<std::string> all(a.begin(), a.end());
  all.insert(b.begin(), b.end());
  return all;
}

// Keeps adding and removing files and folders in `churn` until told to stop.
void churn(const fs::path& churn, const std::atomic<bool>& stop, std::atomic<long>& changes) {
  for (long n = 0; !stop; ++n) {
    std::error_code ignored;
    const fs::path folder = churn / ("d" + std::to_string(n % 40));
    const fs::path file = churn / ("f" + std::to_string(n % 50));
    if (n / 40 % 2 == 1) {
      fs::remove_all(folder, ignored);
    } else {
      fs::create_directories(folder / "inner", ignored);
      for (int i = 0; i < 3; ++i) {
        std::FILE* f = std::fopen((folder / "inner" / std::to_string(i)).c_str(), "w");
        if (f != nullptr) std::fclose(f);
      }
    }
    if (n % 2 == 0) {
      fs::remove(file, ignored);
    } else {
      std::FILE* f = std::fopen(file.c_str(), "w");
      if (f != nullptr) std::fclose(f);
    }
    ++changes;
  }
}

TEST_F(ChangingTrees, EntriesRemovedAndAddedDuringTheScan) {
  // A stable part that must be reported in full whenever the scan completes, and a part that
  // changes all the time.
  std::set<std::string> stable;
  for (int d = 0; d < 30; ++d) {
    const std::string folder = "s" + std::to_string(d);
    stable.insert(folder);
    fs::create_directories(work_ / "A" / folder);
    for (int f = 0; f < 100; ++f) {
      const std::string path = folder + "/file" + std::to_string(f);
      writeBytes(work_ / "A" / path, "");
      stable.insert(path);
    }
  }
  fs::create_directories(work_ / "A" / "churn");
  stable.insert("churn");
  makeTree(work_, {"B/s0/file0", "B/elsewhere"});
  writeBytes(work_ / kConfig, "A,B\r\n");

  constexpr int kRounds = 6;
  int completed = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (const std::string& name : reportNames(work_)) fs::remove(work_ / name);
    std::atomic<bool> stop{false};
    std::atomic<long> changes{0};
    std::thread mutator(churn, work_ / "A" / "churn", std::cref(stop), std::ref(changes));
    RunResult result;
    try {
      result = run();
    } catch (const GaveUpWaiting&) {
      stop = true;
      mutator.join();
      throw;
    }
    stop = true;
    mutator.join();
    tally("faults_injected", 1);

    ASSERT_TRUE(result.status == 0 || result.status == 1) << "status " << result.status;
    const std::string finalLog = readBytes(work_ / "Pairwick_error_log.txt");
    ASSERT_EQ(finalLog.compare(0, kBom.size(), kBom), 0);
    const std::vector<std::string> log = linesOf(finalLog.substr(kBom.size()), "\r\n");
    const std::vector<std::string> console = linesOf(result.console);
    EXPECT_FALSE(fs::exists(work_ / "temp_Pairwick_error_log.txt"));

    // Every entry that was shown was logged, and the other way round.
    const auto loggedA = after(log, "[DEBUG] 検出 (A): ");
    const auto loggedB = after(log, "[DEBUG] 検出 (B): ");
    EXPECT_EQ(after(console, "検出 (A): "), loggedA);
    EXPECT_EQ(after(console, "検出 (B): "), loggedB);
    const std::set<std::string> distinctA(loggedA.begin(), loggedA.end());
    const std::set<std::string> distinctB(loggedB.begin(), loggedB.end());

    // The report lists exactly what the scans recorded.
    const ReportLists lists = parseReport(readBytes(work_ / soleReportName(work_)), "A", "B");
    EXPECT_EQ(unite(lists.common, lists.only1), distinctA);
    EXPECT_EQ(unite(lists.common, lists.only2), distinctB);
    EXPECT_EQ(distinctB, (std::set<std::string>{"elsewhere", "s0", "s0/file0"}));
    // The report says whether the comparison is complete.
    const std::vector<std::string> incomplete = {
        "※ 比較対象フォルダ1 の走査は途中で終了しました。この比較結果は不完全です。"};
    EXPECT_EQ(lists.notes, result.status == 0 ? std::vector<std::string>{} : incomplete);

    const std::string done =
        "[DEBUG] フォルダ走査完了 (A): " + std::to_string(distinctA.size()) + " 項目";
    const auto failure = after(log, "[ERROR] フォルダ走査エラー (A): " + base_ + "/A (");
    if (result.status == 0) {
      // A complete scan: its count, and every stable entry in the report.
      ++completed;
      EXPECT_EQ(std::count(log.begin(), log.end(), done), 1);
      EXPECT_TRUE(failure.empty());
      for (const std::string& path : stable) EXPECT_EQ(distinctA.count(path), 1u) << path;
      EXPECT_EQ(log.back(), "[DEBUG] 比較が完了しました: " + soleReportName(work_));
    } else {
      // A folder that vanished before the scan could enter it ends the scan, loudly.
      EXPECT_EQ(failure.size(), 1u);
      EXPECT_EQ(std::count(log.begin(), log.end(), done), 0);
      EXPECT_EQ(after(console, "[WARNING] フォルダ走査エラー (A): " + base_ + "/A (").size(), 1u);
    }
    std::printf("round %d: status %d, %zu entries, %ld changes during the run\n", round,
                result.status, distinctA.size(), changes.load());
  }
  if (!HasFailure()) tally("faults_survived", kRounds);
  std::printf("%d of %d scans completed while the tree changed\n", completed, kRounds);
}

using LinkTrees = ScratchTest;

TEST_F(LinkTrees, LinksToAncestorsAreRecordedUnderTheirTargetsWithoutDescending) {
  if (targetIsWindows()) GTEST_SKIP() << "POSIX paths: a link to / and the ancestors' count";
  makeTree(work_, {"A/sub/file", "B/sub/file"});
  fs::create_symlink("..", work_ / "A/sub/up");         // the scanned folder itself
  fs::create_symlink("../..", work_ / "A/sub/top");     // the working directory
  fs::create_symlink("../sub", work_ / "A/sub/again");  // its own folder
  fs::create_symlink("/", work_ / "A/root");
  writeBytes(work_ / kConfig, "A,B\r\n");

  // From the scanned folder to the root: one ".." for A and for each folder above it.
  std::string rootPath = "..";
  for (const auto& part : fs::path(base_).relative_path()) {
    (void)part;
    rootPath += "/..";
  }
  tally("faults_injected", 1);
  checkComparison(run(), work_, base_,
                  {"A",
                   "B",
                   "",
                   "",
                   {"sub", "sub/file", ".", "..", "sub", rootPath},
                   {"sub", "sub/file"},
                   false,
                   {"sub", "sub/file"},
                   {".", "..", rootPath},
                   {}});
  if (!HasFailure()) tally("faults_survived", 1);
}

TEST_F(LinkTrees, SymbolicLinkLoopEndsTheScanLoudly) {
  if (targetIsWindows()) GTEST_SKIP() << "Wine does not show a host's link loop as a link";
  // Each entry of A is a loop; whichever comes first cannot be resolved.
  makeTree(work_, {"A/", "B/x"});
  fs::create_symlink("loop2", work_ / "A/loop1");
  fs::create_symlink("loop1", work_ / "A/loop2");
  fs::create_symlink("self", work_ / "A/self");
  writeBytes(work_ / kConfig, "A,B\r\n");
  tally("faults_injected", 1);
  checkComparison(run(), work_, base_, {"A", "B", "", "", {}, {"x"}, true, {}, {}, {"x"}});
  EXPECT_NE(readBytes(work_ / "Pairwick_error_log.txt").find("Too many levels of symbolic links"),
            std::string::npos);
  if (!HasFailure()) tally("faults_survived", 1);
}

// Where the swap test's trees are made and how the program reaches them: in its working folder,
// or on a real SMB share, made where the server holds them and read through the client's mount.
struct SwapPlace {
  fs::path made;     // where A, B and the link's target are made (the server's folder on a share)
  fs::path reached;  // the same folder as the program reaches it
  fs::path target;   // the folder the link leads to
  std::string folder1;  // A as the configuration names it
  std::string shownA;   // the program's name for A, joined to its working folder
  bool share = false;
};

// After a folder was listed, it is swapped for a link to a folder only root may read, while the run
// is held by a standard output that nobody reads. Nothing below the link may be read: the scan
// ends at the first folder that would be reached through it, naming the link, and none of the
// target's entries reaches the console, the log or the report.
void checkFolderSwappedForALinkIsNotReadThrough(const SwapPlace& place, const fs::path& work) {
  // d lies below a chain of long names, so that each of its entries' lines is long and the output
  // fills after a few hundred of them; d holds more subfolders than the reader reads ahead of the
  // walk, so that some are still unread when d is swapped.
  constexpr int kSubfolders = 6000;
  std::string chain = "A";
  for (char c = 'a'; c < 'g'; ++c) chain += "/" + std::string(250, c);
  const std::string d = chain + "/d";
  for (int i = 0; i < kSubfolders; ++i) {
    const std::string sub = "s" + std::to_string(i);
    fs::create_directories(place.made / d / sub);
    fs::create_directories(place.target / sub);
    writeBytes(place.target / sub / "secret", "");
  }
  fs::permissions(place.target, fs::perms::owner_all);
  fs::create_directories(place.made / "B");
  // Beside d on a local disk. A share's client shows a link as the folder it leads to, which the
  // walk would read as any folder: there the link waits outside the trees.
  const std::string link = place.share ? "link" : chain + "/link";
  fs::create_directory_symlink(place.target, place.made / link);
  writeBytes(work / kConfig,
             place.folder1 + "," + (place.share ? (place.reached / "B").native() : "B") + "\r\n");

  HeldRun held = startHeldRun(work);
  ASSERT_TRUE(waitUntilHeld(held)) << "the run ended before its output filled";
  if (!place.share) {
    // In one step, so that no read finds the place empty: d becomes the link, and the folder
    // listed as d is now named link.
    ASSERT_EQ(renameat2(AT_FDCWD, (place.made / d).c_str(), AT_FDCWD, (place.made / link).c_str(),
                        RENAME_EXCHANGE),
              0);
  } else {
    // Through the client, which knows no exchange: its mount shows the server's link as the
    // folder it leads to, and only the client's own numbers tell the two apart.
    fs::rename(place.reached / d, place.reached / chain / "d.listed");
    fs::rename(place.reached / link, place.reached / d);
  }
  ASSERT_TRUE(fs::is_symlink(place.made / d));
  const RunResult result = releaseHeldRun(held);
  tally("faults_injected", 1);

  EXPECT_EQ(result.status, 1);
  // The system's text for the failure: on POSIX, a link where a folder was listed (on a share,
  // whose client shows the link as a folder, one that is not the folder listed); on Windows, which
  // refuses a folder that is not the one listed as an invalid folder name, its own text.
  std::string dShown = d.substr(1);
  std::replace(dShown.begin(), dShown.end(), '/', separator()[0]);
  const std::string start = place.shownA +
                            " (filesystem error: cannot increment recursive "
                            "directory iterator: ";
  const std::string end = " [" + place.shownA + dShown + "])\n";
  const std::string label = "(" + place.folder1 + "): ";
  const std::string finalLog = readBytes(work / "Pairwick_error_log.txt");
  if (targetIsWindows()) {
    // The system's own text stands between: the console widens its code page 932 bytes one by
    // one, the log keeps them.
    for (const auto& [text, line] :
         {std::pair{result.console, "\n[WARNING] フォルダ走査エラー " + label + start},
          {finalLog, "\r\n[ERROR] フォルダ走査エラー " + label + start}}) {
      const std::size_t at = text.find(line);
      ASSERT_NE(at, std::string::npos) << line;
      std::string whole = text.substr(at, text.find('\n', at + line.size()) - at);
      if (whole.back() == '\r') whole.pop_back();
      const std::string ending = end.substr(0, end.size() - 1);  // without its line feed
      EXPECT_EQ(whole.substr(whole.size() - std::min(whole.size(), ending.size())), ending);
    }
  } else {
    const std::string message =
        start + (place.share ? "Not a directory" : "Too many levels of symbolic links") + end;
    EXPECT_NE(result.console.find("\n[WARNING] フォルダ走査エラー " + label + message),
              std::string::npos)
        << result.console.substr(0, 4000);
    EXPECT_NE(finalLog.find("\r\n[ERROR] フォルダ走査エラー " + label + withCrLf(message)),
              std::string::npos);
  }
  EXPECT_EQ(finalLog.find("フォルダ走査完了 " + label.substr(0, label.size() - 2)),
            std::string::npos);
  const ReportLists lists = parseReport(readBytes(work / soleReportName(work)), place.folder1,
                                        place.share ? (place.reached / "B").native() : "B");
  const std::string inD = d.substr(2) + "/";
  std::size_t shown = 0;
  std::size_t secrets = 0;
  for (const std::string& path : lists.only1) {
    shown += path.compare(0, inD.size(), inD) == 0 ? 1 : 0;
    secrets += path.find("secret") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(secrets, 0u);
  EXPECT_EQ(result.console.find("secret"), std::string::npos);
  EXPECT_EQ(finalLog.find("secret"), std::string::npos);
  // The walk stopped inside d, not before it.
  EXPECT_GT(shown, 0u);
  EXPECT_LT(shown, static_cast<std::size_t>(kSubfolders));
  std::printf(
      "folder swapped for a link mid-scan%s: %zu of d's %d subfolders listed, none of the "
      "link's entries\n",
      place.share ? " on the SMB share" : "", shown, kSubfolders);
}

TEST_F(LinkTrees, FolderSwappedForALinkDuringTheScanIsNotReadThrough) {
  checkFolderSwappedForALinkIsNotReadThrough(
      {work_, work_, root_ / "root-only", "A", base_ + separator() + "A", false}, work_);
  if (!HasFailure()) tally("faults_survived", 1);
}

// The same on a real SMB share (tests/smb_share.sh; root, as ctest starts it), whose client's
// listings number no folder, and whose server resolves links itself: its client shows the link as
// the folder it leads to, within the share.
TEST_F(LinkTrees, FolderSwappedForALinkOnAShareDuringTheScanIsNotReadThrough) {
  if (targetIsWindows()) GTEST_SKIP() << "the client's renames are made on the POSIX mount";
  const SmbShare* share = smbShare();
  if (share == nullptr) GTEST_SKIP() << smbShareAbsence();
  const std::string folder = "pairwick-" + std::to_string(getpid()) + "-swap";
  const fs::path made = share->backing / folder;
  const fs::path reached = share->mount / folder;
  fs::create_directory(made);
  // After a failed request the client restarts its connection and answers with errors for a
  // while: the test begins once the mount shows its folder.
  const auto deadline = std::chrono::steady_clock::now() + runPatience();
  std::error_code error;
  while (!fs::is_directory(reached, error)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "gave up waiting for the share's mount to show " << folder << ": " << error.message();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  checkFolderSwappedForALinkIsNotReadThrough(
      {made, reached, made / "root-only", (reached / "A").native(), (reached / "A").native(), true},
      work_);
  std::error_code ignored;
  fs::remove_all(made, ignored);
  if (!HasFailure()) tally("faults_survived", 1);
}

using DeepTrees = PosixTrees;

// Removes a tree whose paths may exceed the path limit.
void removeDeepTree(const fs::path& dir) {
  const std::string command = "rm -rf '" + dir.native() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

TEST_F(DeepTrees, TreeDeeperThanThePathLimitEndsTheScanAtTheLimit) {
  makeTree(work_, {"A/", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  // A chain of folders with 200-byte names, built relative to each folder so that no single
  // call needs the whole path.
  const std::string name(200, 'd');
  int fd = open((work_ / "A").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  Paths visited;
  std::string relative;
  const std::string absoluteA = base_ + "/A";
  for (int depth = 0; depth < 25; ++depth) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    relative += (relative.empty() ? "" : "/") + name;
    // An entry is recorded while its absolute path fits the limit, terminator included.
    if (absoluteA.size() + 1 + relative.size() < PATH_MAX) visited.push_back(relative);
  }
  close(fd);
  ASSERT_LT(visited.size(), 25u);

  tally("faults_injected", 1);
  const RunResult result = run();
  checkComparison(result, work_, base_, {"A", "B", "", "", visited, {}, true, {}, visited, {}});
  EXPECT_NE(readBytes(work_ / "Pairwick_error_log.txt").find("File name too long"),
            std::string::npos);
  removeDeepTree(work_ / "A");
  if (!HasFailure()) tally("faults_survived", 1);
}

// An entry whose path, terminator included, just fits the limit is listed; one a byte longer ends
// the scan there.
TEST_F(DeepTrees, EntryWhosePathMeetsTheLimit) {
  struct Case {
    std::size_t pathLength;  // the file's absolute path, terminator not counted
    bool fits;
  };
  for (const Case& c : {Case{PATH_MAX - 1, true}, Case{PATH_MAX, false}}) {
    SCOPED_TRACE(std::to_string(c.pathLength) + " bytes");
    const fs::path dir = caseDir(std::to_string(c.pathLength));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, "A,B\r\n");
    // Folders of 200-byte names down to where a file name of 1 to 201 bytes makes the length.
    const std::string absoluteA = programPath(dir) + "/A";
    const std::size_t rest = c.pathLength - absoluteA.size() - 1;
    const std::size_t depth = (rest - 1) / 201;
    Paths visited;
    std::string relative;
    for (std::size_t i = 0; i < depth; ++i) {
      relative += (relative.empty() ? "" : "/") + std::string(200, 'd');
      visited.push_back(relative);
    }
    fs::create_directories(dir / "A" / relative);
    const std::string file(rest - 201 * depth, 'f');
    const int folder = open((dir / "A" / relative).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    const int created = openat(folder, file.c_str(), O_WRONLY | O_CREAT, 0644);
    close(folder);
    ASSERT_GE(created, 0);
    close(created);
    const std::string filePath = relative + "/" + file;
    ASSERT_EQ(absoluteA.size() + 1 + filePath.size(), c.pathLength);

    const RunResult result = runIn(dir);
    if (c.fits) {
      visited.push_back(filePath);
      checkComparison(result, dir, programPath(dir), listed({}, visited, {}));
    } else {
      checkComparison(result, dir, programPath(dir),
                      {"A", "B", "", "", visited, {}, true, {}, visited, {}});
      EXPECT_NE(readBytes(dir / "Pairwick_error_log.txt").find("File name too long"),
                std::string::npos);
    }
    removeDeepTree(dir / "A");
  }
}

TEST_F(DeepTrees, NamesOf255Bytes) {
  const std::string ascii(255, 'n');
  std::string kanji;  // 表 is three bytes in UTF-8 and 95 5C in code page 932
  for (int i = 0; i < 85; ++i) kanji += "表";
  ASSERT_EQ(kanji.size(), 255u);
  makeTree(work_, {"A/" + ascii, "A/" + kanji + "/" + ascii, "B/" + ascii, "B/" + kanji + "/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  tally("faults_injected", 1);
  checkComparison(run(), work_, base_,
                  {"A",
                   "B",
                   "",
                   "",
                   {ascii, kanji, kanji + "/" + ascii},
                   {ascii, kanji},
                   false,
                   {ascii, kanji},
                   {kanji + "/" + ascii},
                   {}});
  if (!HasFailure()) tally("faults_survived", 1);
}

using RepeatingListings = PosixTrees;

// A file system of the given script's own, mounted on `dir` for as long as it lives.
class FuseMount {
 public:
  FuseMount(const std::string& script, const fs::path& dir) : dir_(dir) {
    pid_ = fork();
    if (pid_ == 0) {
      const int quiet = open("/dev/null", O_WRONLY);
      if (quiet >= 0) dup2(quiet, 1);
      execl("/usr/bin/python3", "python3", script.c_str(), dir.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~FuseMount() {
    unmountTmpfs(dir_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      try {
        awaitExit(pid_, "the FUSE file system's process");
      } catch (const GaveUpWaiting& failure) {
        ADD_FAILURE() << failure.what();
      }
    }
  }
  // Waits until `entry` shows below the mount point; false after ten seconds.
  bool waitFor(const std::string& entry) const {
    for (int i = 0; i < 1000; ++i) {
      std::error_code ignored;
      if (fs::exists(dir_ / entry, ignored)) return true;
      usleep(10000);
    }
    return false;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

// POSIX lets a listing name an entry twice when it is removed and added while the folder is read.
// The console and the log show every entry as met; the report lists each path once, in order,
// every entry of both listings of the folder among them, also when the two differ.
TEST_F(RepeatingListings, AFolderNamedTwiceIsListedOnce) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    PAIRWICK_CANNOT_INJECT("a FUSE file system needs root and /dev/fuse");
  }
  makeTree(work_, {"A/", "B/aa/p", "B/c"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  // Its root lists aa, b and aa again; aa holds p and q when first listed, p and r after that.
  // Whichever of the two reads of aa comes first, the walk meets an entry that only its own
  // listing holds.
  const FuseMount mount(PAIRWICK_REPEATED_NAME_FS, work_ / "A");
  if (!mount.waitFor("aa/q")) PAIRWICK_CANNOT_INJECT("the FUSE file system could not be mounted");
  tally("faults_injected", 1);
  checkComparison(run(), work_, base_,
                  {"A",
                   "B",
                   "",
                   "",
                   {"aa", "aa/p", "aa/q", "b", "aa", "aa/p", "aa/r"},
                   {"aa", "aa/p", "c"},
                   false,
                   {"aa", "aa/p"},
                   {"aa/q", "aa/r", "b"},
                   {"c"}});
  if (!HasFailure()) tally("faults_survived", 1);
}

// Listings as file servers give them, through the file system that fails chosen calls on demand
// (tests/fault_fs.cpp; mounting it needs root and /dev/fuse, as CI has): entries whose kind the
// listing leaves open (DT_UNKNOWN) and that the program must ask about one by one, such a status
// query failing, a listing that fails part way. A folder the walk cannot know whole ends the scan
// loudly and makes the comparison incomplete: never is a folder taken for a file, nor a failed
// read for the folder's end. With nothing failing, untyped listings give what a plain disk gives.
class ServerListings : public PosixTrees {
 protected:
  void TearDown() override {
    for (const fs::path& mountpoint : mounted_) unmountTmpfs(mountpoint);
    PosixTrees::TearDown();
  }
  std::vector<fs::path> mounted_;
};

TEST_F(ServerListings, FolderThatCannotBeKnownWholeEndsTheScan) {
  struct Case {
    std::string name;
    std::string rules;    // the file system's, empty for a plain disk
    std::string failure;  // the system's text that ends A's scan, empty for a complete scan
  };
  const std::vector<Case> cases = {
      {"plain-disk", "", ""},
      {"untyped", "--untyped '*'", ""},
      // As for an entry removed between the listing and the question: kept by its name.
      {"file-gone-when-asked", "--untyped d --vanish-status d/after.txt", ""},
      {"status-fails-once", "--untyped '*' --fail-status-once d/sub",
       "Input/output error [{A}/d/sub]"},
      {"status-refused-to-everyone", "--untyped '*' --refuse-status d/sub",
       "Permission denied [{A}/d/sub]"},
      {"status-of-a-file-fails", "--untyped d --fail-status d/after.txt",
       "Input/output error [{A}/d/after.txt]"},
      {"listing-fails-part-way", "--fail-listing d", "Input/output error"},
  };
  // A holds d alone, so that the walk's order is the same whatever the listings' order: d's own
  // entry is shown, then d's listing is read, and when that fails none of d's entries is kept,
  // those read before the failure included.
  const Paths treeA = {"d/after.txt", "d/before.txt", "d/sub/inner.txt"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = caseDir(c.name);
    const fs::path source = c.rules.empty() ? dir / "A" : dir / "source";
    makeTree(source, treeA);
    fs::create_symlink("before.txt", source / "d/link");
    makeTree(dir, {"B/d/before.txt", "B/d/sub/inner.txt", "B/e.txt"});
    writeBytes(dir / kConfig, "A,B\r\n");
    if (!c.rules.empty()) {
      fs::create_directory(dir / "A");
      if (!mountFaultFs(c.rules, source, dir / "A")) {
        PAIRWICK_CANNOT_INJECT(
            "mounting the failing file system needs libfuse3, root and /dev/fuse");
      }
      mounted_.push_back(dir / "A");
    }
    const std::string base = programPath(dir);
    Comparison expected{
        "A",
        "B",
        "",
        "",
        {"d", "d/after.txt", "d/before.txt", "d/before.txt", "d/sub", "d/sub/inner.txt"},
        {"d", "d/before.txt", "d/sub", "d/sub/inner.txt", "e.txt"},
        false,
        {"d", "d/before.txt", "d/sub", "d/sub/inner.txt"},
        {"d/after.txt"},
        {"e.txt"}};
    if (!c.failure.empty()) {
      std::string failure = c.failure;
      const std::size_t at = failure.find("{A}");
      if (at != std::string::npos) failure.replace(at, 3, base + "/A");
      expected.visited1 = {"d"};
      expected.scan1Fails = true;
      expected.scan1Failure =
          lit("filesystem error: cannot increment recursive directory iterator: " + failure);
      expected.common = {"d"};
      expected.only1 = {};
      expected.only2 = {"d/before.txt", "d/sub", "d/sub/inner.txt", "e.txt"};
    }
    const bool injected = !c.rules.empty();
    if (injected) tally("faults_injected", 1);
    checkComparison(runIn(dir), dir, base, expected);
    if (injected && !HasFailure()) tally("faults_survived", 1);
  }
}

using MemoryLimits = PosixTrees;

// The entries of folder A in the order that `text` (console or log) names them: each line that
// starts with `shown` (its "検出 (A): " line), and each line of an entry that could not be kept,
// its path after `failed` and `folderPrefix`. An entry shown and then dropped counts once: the
// console may show it before its failure, the log has its failure alone.
Paths entryOrder(const std::string& text, const std::string& shown, const std::string& failed,
                 const std::string& folderPrefix) {
  Paths order;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string path;
    if (line.compare(0, shown.size(), shown) == 0) {
      path = line.substr(shown.size());
    } else if (line.compare(0, failed.size(), failed) == 0) {
      path = line.substr(failed.size());
      path.erase(std::min(path.find(" ("), path.size()));
      if (path.compare(0, folderPrefix.size(), folderPrefix) == 0)
        path.erase(0, folderPrefix.size());
    } else {
      continue;
    }
    if (order.empty() || order.back() != path) order.push_back(path);
  }
  return order;
}

// An entry that the scan cannot keep (its store fails under a memory limit) is shown with the
// per-entry warning and left out: the comparison is then incomplete, and the run must say so with
// status 1. Status 0 only when every entry is listed.
TEST_F(MemoryLimits, EntriesThatCannotBeKeptMakeTheRunIncomplete) {
  // The sanitizers reserve terabytes of address space up front: no limit leaves them room to run.
  if (kSanitized) GTEST_SKIP() << "an address-space limit stops a sanitized program at its start";
  // Long names in small folders: the paths kept are the scan's largest allocations.
  const std::string stem(150, 'n');
  std::size_t entries = 0;
  std::set<std::string> paths;
  for (int d = 0; d < 60; ++d) {
    const std::string folderName = "d" + std::to_string(d);
    fs::create_directories(work_ / "A" / folderName);
    paths.insert(folderName);
    ++entries;
    for (int f = 0; f < 500; ++f, ++entries) {
      writeBytes(work_ / "A" / folderName / (stem + std::to_string(f)), "");
      paths.insert(folderName + "/" + stem + std::to_string(f));
    }
  }
  fs::create_directories(work_ / "B");
  writeBytes(work_ / kConfig, "A,B\r\n");

  int droppedRuns = 0;
  int completeRuns = 0;
  // Threads reserve address space generously, and the more of them allocate at once (on a busy
  // machine), the more allocator arenas of 64 MB each they reserve: the limits start high enough
  // for a run to complete whatever the load.
  const auto step = [](long megabytes) {
    return megabytes > 1024 ? 256 : megabytes > 256 ? 64 : megabytes > 64 ? 8 : 1;
  };
  for (long megabytes = 4096; megabytes >= 8 && droppedRuns == 0; megabytes -= step(megabytes)) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB of address space");
    for (const std::string& name : reportNames(work_)) fs::remove(work_ / name);
    // Each run's own log: one that could not be finalised is not carried over.
    fs::remove(work_ / "Pairwick_error_log.txt");
    fs::remove(work_ / "temp_Pairwick_error_log.txt");
    setenv("PAIRWICK_E2E_COMMAND",
           ("prlimit --as=" + std::to_string(megabytes << 20) + " " + PAIRWICK_BINARY).c_str(), 1);
    const RunResult result = run();
    unsetenv("PAIRWICK_E2E_COMMAND");
    const bool dropped = result.console.find("[WARNING] パス変換エラー (A): ") != std::string::npos;
    droppedRuns += dropped ? 1 : 0;
    // Lines are logged whole: no line breaks off where the next begins.
    EXPECT_EQ(readBytes(work_ / "Pairwick_error_log.txt").find("): [ERROR]"), std::string::npos);
    if (dropped) {
      EXPECT_EQ(result.status, 1);
      // The report, kept long after the console has closed, says that it is incomplete.
      // Folder 2's scan, empty as it is, may run out of memory as well.
      std::vector<std::string> notes{
          "※ 比較対象フォルダ1 の走査は途中で終了しました。この比較結果は不完全です。"};
      if (result.console.find("エラー (B): ") != std::string::npos) {
        notes.push_back(
            "※ 比較対象フォルダ2 の走査は途中で終了しました。この比較結果は不完全です。");
      }
      if (!reportNames(work_).empty()) {
        const ReportLists lists = parseReport(readBytes(work_ / soleReportName(work_)), "A", "B");
        EXPECT_EQ(lists.notes, notes);
        // Below a folder that was dropped, what was kept keeps its whole path.
        for (const std::string& path : lists.only1) EXPECT_EQ(paths.count(path), 1u) << path;
      }
      // Every entry, shown or dropped, is named by its own path, and the log names them in the
      // console's order.
      const Paths shown = entryOrder(result.console, "検出 (A): ", "[WARNING] パス変換エラー (A): ",
                                     base_ + separator() + "A" + separator());
      for (const std::string& path : shown) EXPECT_EQ(paths.count(path), 1u) << path;
      // The final log is UTF-8; a temporary log that could not be finalised is code page 932.
      const bool finalised = fs::exists(work_ / "Pairwick_error_log.txt");
      const auto inLog = [finalised](const std::string& utf8) {
        return finalised ? utf8 : cp932(utf8);
      };
      std::string log =
          readBytes(work_ / (finalised ? "Pairwick_error_log.txt" : "temp_Pairwick_error_log.txt"));
      log.erase(0, log.rfind(inLog("[DEBUG] プログラム開始: ")));
      const Paths logged =
          entryOrder(log, inLog("[DEBUG] 検出 (A): "), inLog("[ERROR] パス変換エラー (A): "), "");
      // Memory that runs out may also take a line with it: what the log holds keeps the order.
      auto next = shown.begin();
      for (const std::string& path : logged) next = std::find(next, shown.end(), path);
      EXPECT_NE(next, shown.end()) << "the log's entry lines are out of the console's order";
    }
    if (result.status == 0) {
      ++completeRuns;
      const ReportLists lists = parseReport(readBytes(work_ / soleReportName(work_)), "A", "B");
      EXPECT_EQ(lists.only1.size(), entries);
    }
  }
  tally("faults_injected", 1);
  EXPECT_GT(completeRuns, 0);
  ASSERT_GT(droppedRuns, 0) << "no limit made the store fail";
  if (!HasFailure()) tally("faults_survived", 1);
}

// Memory that runs out on any thread, a reader's among them, goes the ways of every other
// failure: the read that failed ends its tree's scan as incomplete, or the driver's handler ends
// the run. Every run ends by itself with status 0 or 1, and its log is finalised.
TEST_F(MemoryLimits, EveryRunEndsAndFinalisesItsLog) {
  if (kSanitized) GTEST_SKIP() << "an address-space limit stops a sanitized program at its start";
  // Many folders: reads in flight on every reader thread.
  for (int d = 0; d < 3000; ++d) fs::create_directories(work_ / "A" / ("d" + std::to_string(d)));
  fs::create_directories(work_ / "B");
  writeBytes(work_ / kConfig, "A,B\r\n");

  int bitten = 0;
  int complete = 0;
  for (long megabytes = 40; megabytes <= 200; megabytes += 8) {
    SCOPED_TRACE(std::to_string(megabytes) + " MB of address space");
    for (const std::string& name : reportNames(work_)) fs::remove(work_ / name);
    fs::remove(work_ / "Pairwick_error_log.txt");
    setenv("PAIRWICK_E2E_COMMAND",
           ("prlimit --as=" + std::to_string(megabytes << 20) + " " + PAIRWICK_BINARY).c_str(), 1);
    const RunResult result = run();
    unsetenv("PAIRWICK_E2E_COMMAND");
    tally("faults_injected", 1);
    ASSERT_TRUE(result.status == 0 || result.status == 1)
        << "status " << result.status << ", standard error: " << result.standardError;
    ASSERT_FALSE(fs::exists(work_ / "temp_Pairwick_error_log.txt")) << "log not finalised";
    const std::string finalLog = readBytes(work_ / "Pairwick_error_log.txt");
    const std::string start = kBom + "[DEBUG] プログラム開始: ";
    EXPECT_EQ(finalLog.compare(0, start.size(), start), 0);
    ASSERT_GE(finalLog.size(), 2u);
    EXPECT_EQ(finalLog.substr(finalLog.size() - 2), "\r\n");
    // Memory runs out in the program (std::bad_alloc) or in a system call it makes (ENOMEM).
    const bool ranOut = finalLog.find("std::bad_alloc") != std::string::npos ||
                        finalLog.find("Cannot allocate memory") != std::string::npos;
    if (result.status == 0) {
      ++complete;
      EXPECT_FALSE(ranOut);
      EXPECT_NE(finalLog.find("[DEBUG] フォルダ走査完了 (A): 3000 項目\r\n"), std::string::npos);
      const ReportLists lists = parseReport(readBytes(work_ / soleReportName(work_)), "A", "B");
      EXPECT_EQ(lists.only1.size(), 3000u);
    } else {
      EXPECT_TRUE(ranOut) << "a run that failed for another reason, log:\n" << finalLog;
      ++bitten;
    }
    if (!HasFailure()) tally("faults_survived", 1);
  }
  EXPECT_GT(complete, 0);
  ASSERT_GT(bitten, 0) << "no limit made memory run out";
  std::printf("memory limits from 40 to 200 MB: %d runs ran out of memory, %d complete\n", bitten,
              complete);
}

}  // namespace
}  // namespace pairwick::e2e
