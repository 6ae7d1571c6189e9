// A log write that fails (here through a file size limit, as a full disk fails it) is undone, and
// the lines after it are still written.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "log/diagnostics_log.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

// Holds the process's file size limit at `bytes` while it lives; a write beyond the limit then
// fails with EFBIG (after the part that fits, for a write that crosses it).
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
  rlimit saved{};
};

TEST(DiagnosticsLogPosixTest, FailedWriteIsUndoneAndLaterLinesAreStillWritten) {
  const std::filesystem::path dir = testing_support::makeScratchFolder("pairwick_log_posix_");
  const std::filesystem::path logPath = dir / "temp_Pairwick_error_log.txt";
  DiagnosticsLog errLog;
  ASSERT_EQ(openDiagnosticsLog(errLog, platform::narrowPath(logPath)), LogOpening::opened);
  writeLog(errLog, "[DEBUG] first\n");
  {
    const FileSizeLimit limit(20);
    // The first of these lines fits only in part: it is cut back, and both are missing.
    writeLog(errLog, "[DEBUG] too long for the room left\n[DEBUG] lost too\n");
    EXPECT_EQ(testing_support::readFile(logPath), "[DEBUG] first\r\n");
    // A line start that was written as it came is undone with its line...
    writeLog(errLog, "[ERROR] " + std::string(100000, 'x'));
  }
  // ...and its rest is dropped, even once there is room for it again.
  writeLog(errLog, "rest of the line\n[DEBUG] after");
  writeLog(errLog, " the room came back\n");
  EXPECT_FALSE(endDiagnosticsLog(errLog)) << "lines were lost";
  releaseDiagnosticsLog(errLog);
  EXPECT_EQ(testing_support::readFile(logPath),
            "[DEBUG] first\r\n[DEBUG] after the room came back\r\n");
  std::filesystem::remove_all(dir);
}

// Runs that finish beside a starting one remove the temporary log between its open and its look at
// the file: the starting run opens the name again, and either has the log or finds another run's
// lock, never an open failure.
TEST(DiagnosticsLogPosixTest, LogRemovedByAFinishingRunIsOpenedAgain) {
  const std::filesystem::path dir = testing_support::makeScratchFolder("pairwick_log_posix_");
  const NarrowText logPath = platform::narrowPath(dir / "temp_Pairwick_error_log.txt");
  std::atomic<bool> starting{true};
  std::thread finishingRuns([&] {
    while (starting) {
      DiagnosticsLog finishing;
      if (openDiagnosticsLog(finishing, logPath) != LogOpening::opened) continue;
      platform::removeFile(platform::pathFromNarrow(logPath));
      releaseDiagnosticsLog(finishing);
    }
  });
  int failed = 0;
  testing_support::Progress opens;
  testing_support::finishWithin("20,000 opens beside finishing runs", opens, [&] {
    for (int attempt = 0; attempt < 20000; ++attempt, opens.step()) {
      DiagnosticsLog errLog;
      const LogOpening opening = openDiagnosticsLog(errLog, logPath);
      if (opening == LogOpening::failed) ++failed;
      if (opening != LogOpening::opened) continue;
      platform::removeFile(platform::pathFromNarrow(logPath));
      releaseDiagnosticsLog(errLog);
    }
  });
  starting = false;
  testing_support::finishWithin("the finishing runs to stop", [&] { finishingRuns.join(); });
  EXPECT_EQ(failed, 0) << "opens out of 20000 that failed";
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pairwick
