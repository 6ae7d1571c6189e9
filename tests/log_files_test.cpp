// End-to-end tests of the two log files across runs: leftovers, failed finalisation, carrying over,
// runs that overlap in one folder and a run killed mid-scan.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

using namespace std::string_literals;
using LogFiles = ScratchTest;

// The folders of makeLongTree in `dir`, named A and B in its configuration.
Paths makeLongTreeAndConfig(const fs::path& dir) {
  const Paths names = makeLongTree(dir);
  writeBytes(dir / "Pairwick_config.csv", "A,B\r\n");
  return names;
}

const std::string kTempLog = "temp_Pairwick_error_log.txt";

TEST_F(LogFiles, SecondRunWhileOneIsInProgressStopsAtOnceAndTouchesNothing) {
  const Paths names = makeLongTreeAndConfig(work_);
  HeldRun first = startHeldRun(work_);
  ASSERT_TRUE(waitUntilHeld(first)) << "the first run ended before its output filled up";
  const std::vector<std::string> filesBefore = listNames(work_);
  const std::string logBefore = readBytes(work_ / kTempLog);

  const RunResult second = run();
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.console, "");
  EXPECT_TRUE(matches(asStandardError(lit("一時エラーログファイルを開けませんでした: "
                                          "temp_Pairwick_error_log.txt\n"
                                          "別の実行がこのフォルダで進行中です。\n")),
                      second.standardError));
  EXPECT_EQ(listNames(work_), filesBefore);
  EXPECT_EQ(readBytes(work_ / kTempLog), logBefore) << "the second run wrote into the log";

  // The first run, once its output is read, completes as if alone.
  const RunResult completed = releaseHeldRun(first);
  const std::string report = soleReportName(work_);
  const Expected e = expectComparison(base_, listed({}, names, {}), report);
  checkRun(completed, work_, e);
  const std::size_t found = logLines(readBytes(work_ / "Pairwick_error_log.txt"));
  std::printf("overlapping runs: %zu log lines expected, %zu found; 1 report expected, %zu found\n",
              expectedLines(e.log), found, reportNames(work_).size());

  // Its lock ended with it: the next run goes ahead.
  fs::remove(work_ / report);
  checkComparison(run(), work_, base_, listed({}, names, {}));
}

// Runs started together race for the folder: each either completes whole or stops at once, and
// every completed run's report and log lines are all there.
TEST_F(LogFiles, RunsStartedTogetherCompleteWholeOrStopAtOnce) {
  makeTree(work_, {"A/x.txt", "B/"});
  writeBytes(work_ / "Pairwick_config.csv", "A,B\r\n");
  const Pattern refused =
      asStandardError(lit("一時エラーログファイルを開けませんでした: temp_Pairwick_error_log.txt\n"
                          "別の実行がこのフォルダで進行中です。\n"));
  const int rounds = targetIsWindows() ? 4 : 12;
  std::size_t completedRuns = 0;
  std::size_t refusedRuns = 0;
  std::size_t reportsFound = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<RunResult> results(3);
    // What a run that the harness gave up on left to say: the test ends with it once all are in.
    std::vector<std::string> gaveUp(results.size());
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < results.size(); ++i) {
      runs.emplace_back([this, &results, &gaveUp, i] {
        try {
          results[i] = runProgram(work_);
        } catch (const GaveUpWaiting& failure) {
          gaveUp[i] = failure.what();
        }
      });
    }
    for (std::thread& t : runs) t.join();
    for (const std::string& failure : gaveUp) ASSERT_EQ(failure, "");

    std::size_t completedNow = 0;
    for (const RunResult& result : results) {
      if (result.status == 0) {
        ++completedNow;
        EXPECT_EQ(result.standardError, "");
      } else {
        ++refusedRuns;
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.console, "");
        EXPECT_TRUE(matches(refused, result.standardError));
      }
    }
    completedRuns += completedNow;
    // The last run to finalise leaves the final log: one whole run, nothing spliced into it.
    const std::vector<std::string> reports = reportNames(work_);
    reportsFound += reports.size();
    EXPECT_EQ(reports.size(), completedNow) << "a report was replaced or is missing";
    EXPECT_FALSE(fs::exists(work_ / kTempLog));
    const std::string finalLog = readBytes(work_ / "Pairwick_error_log.txt");
    bool wholeRun = false;
    Paths taken = reportNamesTried(work_);
    if (!taken.empty()) taken.pop_back();
    for (const std::string& report : reports) {
      const Comparison c = listed({}, {"x.txt"}, {});
      wholeRun =
          wholeRun || matches(asFinalLog(expectComparison(base_, c, report, taken).log), finalLog);
      EXPECT_EQ(readBytes(work_ / report), reportBytes("A", "B", {}, {"x.txt"}, {}));
      fs::remove(work_ / report);
    }
    EXPECT_TRUE(wholeRun) << finalLog;
  }
  std::printf(
      "runs started together: %zu completed, %zu stopped at once; %zu reports expected, "
      "%zu found\n",
      completedRuns, refusedRuns, completedRuns, reportsFound);
  EXPECT_GE(completedRuns, static_cast<std::size_t>(rounds));
}

// A run killed mid-scan leaves whole lines; the next run adds its own after them, and the final
// log holds both.
TEST_F(LogFiles, RunKilledMidScanLeavesWholeLinesForTheNextRun) {
  if (targetIsWindows()) GTEST_SKIP() << "the kill reaches Wine's launcher, not the program";
  const Paths names = makeLongTreeAndConfig(work_);
  HeldRun killed = startHeldRun(work_);
  ASSERT_TRUE(waitUntilHeld(killed));
  killHeldRun(killed);

  // The killed run's lines: its start up to the scan's first line, then entry lines, each whole.
  const std::string leftover = readBytes(work_ / kTempLog);
  Expected head = configOpenedRun(base_);
  expectFoldersRead(head, "A", "B");
  expectFolderPaths(head, base_ + separator() + "A", base_ + separator() + "B");
  head.log += "[DEBUG] フォルダ走査開始（子フォルダ含む）: " + base_ + separator() + "A\n";
  const std::string scanStart = cp932("フォルダ走査開始");
  const std::size_t headEnd = leftover.find("\r\n", leftover.find(scanStart)) + 2;
  ASSERT_TRUE(matches(asTempLog(head.log), leftover.substr(0, headEnd)));
  const std::string entryPrefix = cp932("[DEBUG] 検出 (A): ");
  std::string entryLines;
  std::size_t killedLines = expectedLines(head.log);
  for (std::size_t at = headEnd; at < leftover.size(); ++killedLines) {
    const std::size_t end = leftover.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "the killed run left a cut line";
    const std::string line = leftover.substr(at, end - at);
    ASSERT_EQ(line.compare(0, entryPrefix.size(), entryPrefix), 0) << line;
    const std::string name = line.substr(entryPrefix.size());
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << line;
    entryLines += "[DEBUG] 検出 (A): " + name + "\n";
    at = end + 2;
  }

  const RunResult next = run();
  const Expected e = expectComparison(base_, listed({}, names, {}), soleReportName(work_));
  checkRun(next, work_, Expected{e.console, e.standardError, head.log + entryLines + e.log, 0});
  const std::size_t found = logLines(readBytes(work_ / "Pairwick_error_log.txt"));
  std::printf("killed run: %zu whole lines kept; next run: %zu lines expected, %zu found\n",
              killedLines, expectedLines(e.log), found - killedLines);
}

TEST_F(LogFiles, LeftoverTemporaryLogComesFirstInTheFinalLog) {
  // An earlier run's lines, in code page 932 with CR LF, one holding a 0x00 byte.
  const std::string leftover =
      cp932("[DEBUG] 前回の行\r\n[ERROR] 表示できない") + "\0"s + cp932("名前\r\n");
  writeBytes(work_ / "temp_Pairwick_error_log.txt", leftover);
  writeBytes(work_ / "Pairwick_error_log.txt", std::string(10000, 'x'));  // longer than the new

  Expected e = noConfigurationRun(base_);
  const RunResult result = run();
  checkRun(result, work_,
           Expected{e.console, e.standardError,
                    lit("[DEBUG] 前回の行\n[ERROR] 表示できない\0名前\n"s) + e.log, e.status});
}

// A leftover cut mid-line (by a kill, or a power cut) is ended before the next run's first line,
// which then begins a line of its own, whole, even after a lone lead byte.
TEST_F(LogFiles, LeftoverCutMidLineIsEndedBeforeTheNextRunsFirstLine) {
  struct Case {
    std::string leftover;  // code page 932
    std::string shown;     // its UTF-8 form in the final log, the line end included
  };
  const std::vector<Case> cases = {
      {cp932("[DEBUG] 検出 (A)"), "[DEBUG] 検出 (A)\r\n"},
      // The lead byte takes the CR into its substitute character; the LF still ends the line.
      {cp932("[DEBUG] 検出 (A): ") + "\x82", "[DEBUG] 検出 (A): ・\n"},
      {"[DEBUG] x\r", "[DEBUG] x\r\r\n"},
      {"\n", "\n\r\n"},  // a lone LF is no line end of the log
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    writeBytes(dir / kTempLog, cases[i].leftover);
    const Expected e = noConfigurationRun(programPath(dir));
    const RunResult result = runIn(dir);
    EXPECT_EQ(result.status, 1);
    Pattern run = asFinalLog(e.log);
    run.front().text.erase(0, kBom.size());
    EXPECT_TRUE(
        matches(lit(kBom + cases[i].shown) + run, readBytes(dir / "Pairwick_error_log.txt")));
    EXPECT_FALSE(fs::exists(dir / kTempLog));
  }
}

TEST_F(LogFiles, ReadOnlyFinalLogKeepsTheTemporaryLogForTheNextRun) {
  const std::string earlier = kBom + "earlier final log\r\n";
  writeBytes(work_ / "Pairwick_error_log.txt", earlier);
  makeTree(work_, {"A/", "B/"});
  writeBytes(work_ / "Pairwick_config.csv", "A,B\r\n");
  chmod((work_ / "Pairwick_error_log.txt").c_str(), 0444);
  handOverToUnprivileged(root_);
  ASSERT_TRUE(deniedToUnprivileged(work_, ": >> Pairwick_error_log.txt")) << "still writable";

  // Finalisation fails, yet the completed run keeps its status.
  const RunResult first = runUnprivileged(work_);
  const std::string firstReport = soleReportName(work_);
  Expected e1 = expectComparison(base_, listed({}, {}, {}), firstReport);
  expectFinalisationFailure(e1);
  checkRunKeepingTempLog(first, work_, e1, "", earlier);

  // Once the final log is writable again, the same user's next run carries the kept lines over,
  // first. (Another user's run would leave that user's lines alone.)
  chmod((work_ / "Pairwick_error_log.txt").c_str(), 0644);
  fs::remove(work_ / firstReport);
  const RunResult second = runUnprivileged(work_);
  Expected e2 = expectComparison(base_, listed({}, {}, {}), soleReportName(work_));
  checkRun(second, work_, Expected{e2.console, e2.standardError, e1.log + e2.log, e2.status});
}

// A final log that opens but cannot be written (a full disk) must not cost the log's lines.
TEST_F(LogFiles, FinalLogThatCannotBeWrittenKeepsTheTemporaryLog) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::create_symlink("/dev/full", work_ / "Pairwick_error_log.txt");

  Expected e = noConfigurationRun(base_);
  expectFinalisationFailure(e);
  checkRunKeepingTempLog(run(), work_, e, "");
  EXPECT_TRUE(fs::is_symlink(work_ / "Pairwick_error_log.txt"));
}

}  // namespace
}  // namespace pairwick::e2e
