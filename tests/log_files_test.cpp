// End-to-end tests of the two log files across runs: leftovers, failed finalisation, carrying over.
#include <sys/stat.h>

#include <string>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using namespace std::string_literals;
using LogFiles = ScratchTest;

// The lines of a completed run over two empty folders A and B.
Expected emptyFoldersRun(const std::string& base, const std::string& reportName) {
  return expectComparison(base, Comparison{"A", "B", "", "", {}, {}, false, {}, {}, {}},
                          reportName);
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

TEST_F(LogFiles, ReadOnlyFinalLogKeepsTheTemporaryLogForTheNextRun) {
  if (!unprivilegedRunsPossible()) GTEST_SKIP() << "needs a run as another user";
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
  Expected e1 = emptyFoldersRun(base_, firstReport);
  expectFinalisationFailure(e1);
  checkRunKeepingTempLog(first, work_, e1, "", earlier);

  // Once the final log is writable again, the next run carries the kept lines over, first.
  chmod((work_ / "Pairwick_error_log.txt").c_str(), 0644);
  fs::remove(work_ / firstReport);
  const RunResult second = run();
  Expected e2 = emptyFoldersRun(base_, soleReportName(work_));
  checkRun(second, work_, Expected{e2.console, e2.standardError, e1.log + e2.log, e2.status});
}

// A final log that opens but cannot be written (a full disk) must not cost the log's lines.
TEST_F(LogFiles, FinalLogThatCannotBeWrittenKeepsTheTemporaryLog) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::create_symlink("/dev/full", work_ / "Pairwick_error_log.txt");

  const RunResult result = run();
  Expected e = noConfigurationRun(base_);
  expectFinalisationFailure(e);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(matches(e.console, result.console));
  EXPECT_TRUE(matches(asStandardError(e.standardError), result.standardError));
  ASSERT_TRUE(fs::exists(work_ / "temp_Pairwick_error_log.txt"));
  EXPECT_TRUE(matches(asTempLog(e.log), readBytes(work_ / "temp_Pairwick_error_log.txt")));
  EXPECT_TRUE(fs::is_symlink(work_ / "Pairwick_error_log.txt"));
}

}  // namespace
}  // namespace pairwick::e2e
