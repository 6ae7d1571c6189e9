// Fault injection: a full disk under the working directory (a small tmpfs). The report or the
// final log cannot be written while the temporary log can; no log line may be lost, and a run
// cut short must never pass for a complete one.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

const std::string kConfig = "Pairwick_config.csv";
const std::string kTempLog = "temp_Pairwick_error_log.txt";

class FullDisk : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    if (targetIsWindows()) GTEST_SKIP() << "the disk is filled on the POSIX side";
    disk_ = root_ / "disk";
    fs::create_directory(disk_);
    if (!mountTmpfs(disk_, 4 << 20)) PAIRWICK_CANNOT_INJECT("mount -t tmpfs needs root");
    mounted_ = true;
    dir_ = disk_ / "work";
    fs::create_directory(dir_);
    base_ = programPath(dir_);
  }
  void TearDown() override {
    if (mounted_) unmountTmpfs(disk_);
    ScratchTest::TearDown();
  }

  // Leaves the temporary log room for every line of a run, then fills the rest of the disk.
  fs::path fillAllButTheTemporaryLog(std::size_t leaveFree = 0) {
    reserveSpace(dir_ / kTempLog, 2 << 20);
    return fillFileSystem(dir_, leaveFree);
  }

  // Records the run's figures: lines that had to be somewhere, lines that are.
  void count(const char* fault, std::size_t expected, std::size_t found) {
    tally("faults_injected", 1);
    if (!HasFailure() && found >= expected) tally("faults_survived", 1);
    tally("lines_expected", static_cast<long long>(expected));
    tally("lines_lost", static_cast<long long>(expected > found ? expected - found : 0));
    std::printf("%s: %zu log lines expected, %zu found\n", fault, expected, found);
  }

  fs::path disk_;
  fs::path dir_;
  bool mounted_ = false;
};

// Empty files with long names in A, none in B, and the configuration comparing them, in `dir`: a
// report far longer than the tree takes on the disk. Returns the names, in order.
Paths makeLongReport(const fs::path& dir, int entries) {
  Paths only1;
  makeTree(dir, {"A/", "B/"});
  for (int i = 0; i < entries; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "entry_%04d_with_a_name_long_enough_to_fill.txt", i);
    only1.push_back(name);
    writeBytes(dir / "A" / name, "");
  }
  writeBytes(dir / kConfig, "A,B\r\n");
  return only1;
}

TEST_F(FullDisk, ReportCutShortEndsInTheHandlerAndNoLogLineIsLost) {
  // Enough entries that the report is far longer than the space left for it.
  // The files are empty, so that they take no room on the disk.
  const Paths only1 = makeLongReport(dir_, 600);
  const fs::path filler = fillAllButTheTemporaryLog(8192);

  const RunResult cut = runIn(dir_);
  const std::string name = reportNamesTried(dir_).at(0);

  Expected e1 = configOpenedRun(base_);
  expectFoldersRead(e1, "A", "B");
  expectFolderPaths(e1, base_ + separator() + "A", base_ + separator() + "B");
  expectScan(e1, "A", base_ + separator() + "A", only1);
  expectScan(e1, "B", base_ + separator() + "B", {});
  expectReportLog(e1, name, {}, only1, {});
  e1.log += "[ERROR] 結果ファイルの書き込みに失敗しました: " + name + "\n";
  expectHandler(e1, lit("結果ファイルの書き込みに失敗しました。"));
  expectFinalisationFailure(e1);
  checkRunKeepingTempLog(cut, dir_, e1, "");

  // What was written of the report is a true beginning of it, and visibly not all of it.
  const std::string complete = reportBytes("A", "B", {}, only1, {});
  const std::string partial = readBytes(dir_ / name);
  EXPECT_LT(partial.size(), complete.size());
  EXPECT_EQ(complete.compare(0, partial.size(), partial), 0) << "the report's bytes are garbled";
  count("report cut short", expectedLines(e1.log), logLines(readBytes(dir_ / kTempLog)));

  // With room again, the next run carries every kept line into the final log, first.
  fs::remove(filler);
  fs::remove(dir_ / name);
  const RunResult next = runIn(dir_);
  const std::string nextName = soleReportName(dir_);
  const Expected e2 = expectComparison(base_, listed({}, only1, {}), nextName);
  checkRun(next, dir_, Expected{e2.console, e2.standardError, e1.log + e2.log, e2.status});
  EXPECT_EQ(readBytes(dir_ / nextName), complete);
  count("carried over after a cut report", expectedLines(e1.log) + expectedLines(e2.log),
        linesInBothLogs(dir_));
}

TEST_F(FullDisk, FinalLogThatCannotBeWrittenKeepsEveryLineForTheNextRun) {
  const fs::path filler = fillAllButTheTemporaryLog();
  Expected e1 = noConfigurationRun(base_);
  expectFinalisationFailure(e1);
  checkRunKeepingTempLog(runIn(dir_), dir_, e1, "");
  count("final log on a full disk", expectedLines(e1.log), logLines(readBytes(dir_ / kTempLog)));

  // Still full: the second run appends to the kept log, which now holds both runs.
  const std::string kept = readBytes(dir_ / kTempLog);
  checkRunKeepingTempLog(runIn(dir_), dir_, e1, kept);
  count("final log on a full disk, twice", 2 * expectedLines(e1.log),
        logLines(readBytes(dir_ / kTempLog)));

  fs::remove(filler);
  const Expected e3 = noConfigurationRun(base_);
  checkRun(runIn(dir_), dir_,
           Expected{e3.console, e3.standardError, e1.log + e1.log + e3.log, e3.status});
  count("carried over after two failed finalisations",
        2 * expectedLines(e1.log) + expectedLines(e3.log), linesInBothLogs(dir_));
}

// The disk is full when the run starts and has room again mid-scan: the lines that could not be
// written are missing, but none is torn and every later line is there; the run says that its log
// is incomplete, keeps it and fails. With room, the next run carries the kept lines over.
TEST_F(FullDisk, LinesLostWhileTheDiskWasFullKeepTheLogAndFailTheRun) {
  // Room for the whole log once the filler is gone; the tree lies outside the small disk.
  unmountTmpfs(disk_);
  ASSERT_TRUE(mountTmpfs(disk_, 16 << 20));
  fs::create_directory(dir_);
  const fs::path tree = root_ / "tree";
  const Paths names = makeLongTree(tree);
  const std::string folder1 = (tree / "A").native();
  const std::string folder2 = (tree / "B").native();
  writeBytes(dir_ / kConfig, folder1 + "," + folder2 + "\r\n");
  const fs::path filler = fillFileSystem(dir_);

  HeldRun held = startHeldRun(dir_);
  ASSERT_TRUE(waitUntilHeld(held));
  fs::remove(filler);
  const RunResult result = releaseHeldRun(held);

  const std::string kept = readBytes(dir_ / kTempLog);
  const std::string name = reportNamesTried(dir_).at(0);
  const Comparison c{folder1, folder2, folder1, folder2, names, {}, false, {}, names, {}};
  Expected e = expectComparison(base_, c, name);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(matches(e.console, result.console)) << "console";
  EXPECT_TRUE(matches(asStandardError(lit("ログに書き込めなかった行があります。ログは不完全です。"
                                          "一時ファイルを確認してください: "
                                          "temp_Pairwick_error_log.txt\n")),
                      result.standardError));
  EXPECT_FALSE(fs::exists(dir_ / "Pairwick_error_log.txt")) << "an incomplete log was finalised";
  EXPECT_EQ(readBytes(dir_ / name), reportBytes(folder1, folder2, {}, names, {}));

  // Every kept line is whole and one the run wrote; from the report's name on, all are there.
  const std::string entryLine = cp932("[DEBUG] 検出 (" + folder1 + "): ");
  const std::size_t tail = kept.find(cp932("[DEBUG] 結果ファイル名生成: "));
  ASSERT_NE(tail, std::string::npos);
  for (std::size_t at = 0; at < tail;) {
    const std::size_t end = kept.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = kept.substr(at, end - at);
    if (line.compare(0, entryLine.size(), entryLine) == 0) {
      const std::string entry = line.substr(entryLine.size());
      EXPECT_NE(std::find(names.begin(), names.end(), entry), names.end()) << line;
    } else {
      EXPECT_NE(line.find(cp932("フォルダ走査")), std::string::npos) << "unexpected line: " << line;
    }
    at = end + 2;
  }
  Expected tailLines;
  expectReportLog(tailLines, name, {}, names, {});
  expectCompletion(tailLines, name);
  EXPECT_TRUE(matches(asTempLog(tailLines.log), kept.substr(tail)));
  const std::size_t expected = expectedLines(e.log);
  const std::size_t found = logLines(kept);
  EXPECT_LT(found, expected);
  // The fault is survived when every line that was not written is reported, as here.
  tally("faults_injected", 1);
  if (!HasFailure()) tally("faults_survived", 1);
  std::printf(
      "disk full for a moment: %zu log lines expected, %zu written, %zu lost and reported; "
      "status %d\n",
      expected, found, expected - found, result.status);

  // The next run appends to the kept log and finalises both.
  fs::remove(dir_ / name);
  const RunResult next = runIn(dir_);
  const std::string nextName = soleReportName(dir_);
  const Expected e2 = expectComparison(base_, c, nextName);
  EXPECT_EQ(next.status, 0);
  EXPECT_FALSE(fs::exists(dir_ / kTempLog));
  const std::string finalLog = readBytes(dir_ / "Pairwick_error_log.txt");
  const std::size_t nextStart = finalLog.rfind("[DEBUG] プログラム開始: ");
  ASSERT_NE(nextStart, std::string::npos);
  EXPECT_EQ(logLines(finalLog.substr(0, nextStart)), found);
  EXPECT_TRUE(matches(asFinalLog(e2.log), kBom + finalLog.substr(nextStart)));
  count("carried over after lines were lost", found + expectedLines(e2.log), linesInBothLogs(dir_));
}

// A disk that fails one call at the moment it matters (a file system that fails chosen calls on
// demand): a write that fails once while later ones succeed, a close that fails after every byte
// was written, a read of the temporary log, an output swapped for a link between the look at it
// and its open. None may pass for success.
class FailingCalls : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    if (targetIsWindows()) GTEST_SKIP() << "the file system fails on the POSIX side";
    source_ = root_ / "source";
    dir_ = root_ / "mounted";
    fs::create_directory(source_);
    fs::create_directory(dir_);
    base_ = programPath(dir_);
  }
  void TearDown() override {
    if (mounted_) unmountTmpfs(dir_);
    ScratchTest::TearDown();
  }

  // Mounts the source on dir_ with `rules`; skips the test where that cannot be done.
  bool mount(const std::string& rules) {
    mounted_ = mountFaultFs(rules, source_, dir_);
    return mounted_;
  }

  fs::path source_;  // the files themselves, reached without the faults
  fs::path dir_;     // the working directory: the source, through the failing file system
  bool mounted_ = false;
};

const char* const kCannotMount =
    "mounting the failing file system needs libfuse3, root and /dev/fuse";

// The report's first write fails and the later ones would succeed (room came back meanwhile): the
// report would lack its beginning, so nothing more is written, and the run fails.
TEST_F(FailingCalls, ReportWriteThatFailsOnceEndsTheRunWithoutAGap) {
  // More than one batch of report text, so that writes follow the one that fails.
  const Paths only1 = makeLongReport(source_, 3000);
  if (!mount("--fail-first-write pairwick_")) PAIRWICK_CANNOT_INJECT(kCannotMount);

  const RunResult result = runIn(dir_);
  const std::string name = reportNamesTried(source_).at(0);
  Expected e = configOpenedRun(base_);
  expectFoldersRead(e, "A", "B");
  expectFolderPaths(e, base_ + separator() + "A", base_ + separator() + "B");
  expectScan(e, "A", base_ + separator() + "A", only1);
  expectScan(e, "B", base_ + separator() + "B", {});
  expectReportLog(e, name, {}, only1, {});
  e.log += "[ERROR] 結果ファイルの書き込みに失敗しました: " + name + "\n";
  expectHandler(e, lit("結果ファイルの書き込みに失敗しました。"));
  checkRun(result, source_, e);
  EXPECT_EQ(readBytes(source_ / name), "") << "a report with a piece missing";
}

// The report's close fails after every byte reached it: the file system could not keep them, and
// the run says so.
TEST_F(FailingCalls, ReportCloseThatFailsEndsTheRun) {
  makeTree(source_, {"A/x.txt", "B/x.txt"});
  writeBytes(source_ / kConfig, "A,B\r\n");
  if (!mount("--fail-close pairwick_")) PAIRWICK_CANNOT_INJECT(kCannotMount);

  const RunResult result = runIn(dir_);
  const std::string name = reportNamesTried(source_).at(0);
  Expected e = configOpenedRun(base_);
  expectFoldersRead(e, "A", "B");
  expectFolderPaths(e, base_ + separator() + "A", base_ + separator() + "B");
  expectScan(e, "A", base_ + separator() + "A", {"x.txt"});
  expectScan(e, "B", base_ + separator() + "B", {"x.txt"});
  expectReportLog(e, name, {"x.txt"}, {}, {});
  e.log += "[ERROR] 結果ファイルの書き込みに失敗しました: " + name + "\n";
  expectHandler(e, lit("結果ファイルの書き込みに失敗しました。"));
  checkRun(result, source_, e);
}

// The run removes its temporary log while it holds it open, and closes it last: the file system
// is then asked to close a file that has no path any more. It must answer, and go on answering:
// the run's own files, and the working folder's listing, are read back through it afterwards.
TEST_F(FailingCalls, FileSystemOutlivesTheLastCloseOfTheRemovedTemporaryLog) {
  makeTree(source_, {"A/x.txt", "B/x.txt"});
  writeBytes(source_ / kConfig, "A,B\r\n");
  // A close rule that no file of the run meets: every close is looked at by it all the same.
  if (!mount("--fail-close no-such-file")) PAIRWICK_CANNOT_INJECT(kCannotMount);

  const RunResult result = runIn(dir_);
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir_, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().native());
  }
  std::sort(names.begin(), names.end());
  ASSERT_FALSE(error) << "the file system did not outlive the run: " << error.message();
  EXPECT_EQ(names, listNames(source_));
  checkComparison(result, dir_, base_, listed({"x.txt"}, {}, {}));
}

// The temporary log cannot be read back: that is no end of the log. The final log stays as it
// was and the temporary log keeps every line for the next run.
TEST_F(FailingCalls, TemporaryLogThatCannotBeReadIsKept) {
  writeBytes(source_ / "Pairwick_error_log.txt", "earlier\r\n");
  if (!mount("--fail-read " + kTempLog)) PAIRWICK_CANNOT_INJECT(kCannotMount);

  Expected e = noConfigurationRun(base_);
  expectFinalisationFailure(e);
  checkRunKeepingTempLog(runIn(dir_), source_, e, "", "earlier\r\n");
}

// The final log is a plain file when it is first looked at and a link to another file from then
// on, when it is opened: the link is not followed, and the file it leads to stays as it was.
TEST_F(FailingCalls, FinalLogSwappedForALinkIsNotWrittenThrough) {
  writeBytes(root_ / "victim", "someone else's\n");
  writeBytes(source_ / "Pairwick_error_log.txt", "earlier\r\n");
  if (!mount("--link-after-look Pairwick_error_log.txt " + (root_ / "victim").native()))
    PAIRWICK_CANNOT_INJECT(kCannotMount);

  Expected e = noConfigurationRun(base_);
  expectFinalisationFailure(e);
  checkRunKeepingTempLog(runIn(dir_), source_, e, "");
  EXPECT_TRUE(fs::is_symlink(source_ / "Pairwick_error_log.txt")) << "the swap did not happen";
  EXPECT_EQ(readBytes(root_ / "victim"), "someone else's\n") << "written through the link";
}

}  // namespace
}  // namespace pairwick::e2e
