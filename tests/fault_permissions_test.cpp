// Fault injection through permissions, as an unprivileged user: a working directory whose files
// can be written but in which nothing can be removed. The final log is written, the temporary log
// cannot be removed, and the next run carries every kept line over again. (A read-only final log,
// a working directory without write permission, an access-denied subfolder and a report name
// taken by a folder have tests of their own beside the other end-to-end tests.)
#include <sys/stat.h>

#include <string>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

using Permissions = ScratchTest;

TEST_F(Permissions, TemporaryLogThatCannotBeRemovedIsCarriedOverAgain) {
  if (targetIsWindows()) GTEST_SKIP() << "POSIX permissions";
  // Both log files exist and are writable; the folder that holds them is not.
  writeBytes(work_ / "temp_Pairwick_error_log.txt", "");
  writeBytes(work_ / "Pairwick_error_log.txt", "");
  handOverToUnprivileged(root_);
  chmod(work_.c_str(), 0555);
  if (!deniedToUnprivileged(work_, ": > probe")) {
    PAIRWICK_CANNOT_INJECT("the working directory is still writable");
  }

  // The final log is complete; removing the temporary log fails, and the run says so.
  Expected e1 = noConfigurationRun(base_);
  expectFinalisationFailure(e1);
  const RunResult first = runUnprivileged(work_);
  EXPECT_EQ(first.status, 1);
  EXPECT_TRUE(matches(e1.console, first.console));
  EXPECT_TRUE(matches(asStandardError(e1.standardError), first.standardError));
  EXPECT_TRUE(matches(asFinalLog(e1.log), readBytes(work_ / "Pairwick_error_log.txt")));
  EXPECT_TRUE(matches(asTempLog(e1.log), readBytes(work_ / "temp_Pairwick_error_log.txt")));

  // The next run appends to the kept log and writes both runs into the final log.
  const RunResult second = runUnprivileged(work_);
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(matches(asStandardError(e1.standardError), second.standardError));
  EXPECT_TRUE(matches(asFinalLog(e1.log + e1.log), readBytes(work_ / "Pairwick_error_log.txt")));
  EXPECT_TRUE(
      matches(asTempLog(e1.log + e1.log), readBytes(work_ / "temp_Pairwick_error_log.txt")));

  const std::size_t expected = 2 * expectedLines(e1.log);
  const std::size_t found = logLines(readBytes(work_ / "Pairwick_error_log.txt"));
  tally("faults_injected", 2);
  tally("lines_expected", static_cast<long long>(expected));
  tally("lines_lost", static_cast<long long>(expected > found ? expected - found : 0));
  if (!HasFailure()) tally("faults_survived", 2);
  chmod(work_.c_str(), 0755);
}

}  // namespace
}  // namespace pairwick::e2e
