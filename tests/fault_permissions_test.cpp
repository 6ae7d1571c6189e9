// Fault injection through permissions, as an unprivileged user: a working directory whose files
// can be written but in which nothing can be removed. The final log is written, the temporary log
// cannot be removed, and the next run carries every kept line over again. (A read-only final log,
// a working directory without write permission, an access-denied subfolder and a report name
// taken by a folder have tests of their own beside the other end-to-end tests.)
#include <sys/stat.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

const std::string kConfigName = "Pairwick_config.csv";

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
  checkRunKeepingTempLog(runUnprivileged(work_), work_, e1, "");
  EXPECT_TRUE(matches(asFinalLog(e1.log), readBytes(work_ / "Pairwick_error_log.txt")));

  // The next run appends to the kept log and writes both runs into the final log.
  const std::string kept = readBytes(work_ / "temp_Pairwick_error_log.txt");
  checkRunKeepingTempLog(runUnprivileged(work_), work_, e1, kept);
  EXPECT_TRUE(matches(asFinalLog(e1.log + e1.log), readBytes(work_ / "Pairwick_error_log.txt")));

  const std::size_t expected = 2 * expectedLines(e1.log);
  const std::size_t found = logLines(readBytes(work_ / "Pairwick_error_log.txt"));
  tally("faults_injected", 2);
  tally("lines_expected", static_cast<long long>(expected));
  tally("lines_lost", static_cast<long long>(expected > found ? expected - found : 0));
  if (!HasFailure()) tally("faults_survived", 2);
  chmod(work_.c_str(), 0755);
}

// Another user of a shared folder (world-writable and sticky, as /tmp) plants links, FIFOs and
// hard links under the names of a root run's outputs. No output is written through any of them,
// no run waits on one, and each is the open failure of its output.
TEST_F(Permissions, OutputsPlantedByAnotherUserAreNeverWrittenThrough) {
  if (targetIsWindows()) GTEST_SKIP() << "Wine shows a host's links to files as the files";
  if (geteuid() != 0) GTEST_SKIP() << "the victim run is root's";
  struct Case {
    std::string name;   // where the other user plants
    std::string plant;  // the shell command that plants it, in the shared folder
    bool temporaryLog;  // the run stops at once; otherwise finalisation fails
  };
  const std::string temp = "temp_Pairwick_error_log.txt";
  const std::string final = "Pairwick_error_log.txt";
  const std::string secret = (root_ / "secret").native();
  const std::vector<Case> cases = {
      {"temp link", "ln -s " + secret + " " + temp, true},
      {"temp dangling link", "ln -s " + (root_ / "created").native() + " " + temp, true},
      {"temp FIFO", "mkfifo " + temp, true},
      {"temp hard link", "echo mine > own && ln own " + temp, true},
      {"final link", "ln -s " + secret + " " + final, false},
      {"final FIFO", "mkfifo " + final, false},
      {"final hard link", "echo mine > own && ln own " + final, false},
  };
  fs::permissions(root_, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  writeBytes(root_ / "secret", "root's secret\n");
  fs::permissions(root_ / "secret", fs::perms::owner_read | fs::perms::owner_write);
  std::size_t refused = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path shared = caseDir(c.name);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    makeTree(shared, {"A/", "B/"});
    writeBytes(shared / "Pairwick_config.csv", "A,B\r\n");
    ASSERT_FALSE(deniedToUnprivileged(shared, c.plant)) << "could not plant";
    const std::vector<std::string> before = listNames(shared);
    const fs::file_type plantedType =
        fs::symlink_status(shared / (c.temporaryLog ? temp : final)).type();

    const MeasuredRun measured = runMeasured(shared);
    ASSERT_FALSE(measured.hung) << "the run waited on what was planted for "
                                << runPatience().count() << " s";
    const RunResult& result = measured.result;
    if (c.temporaryLog) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.console, "");
      EXPECT_TRUE(
          matches(asStandardError(lit("一時エラーログファイルを開けませんでした: " + temp + "\n")),
                  result.standardError));
      EXPECT_EQ(listNames(shared), before);
    } else {
      const std::string base = programPath(shared);
      Expected e = expectComparison(base, listed({}, {}, {}), soleReportName(shared));
      expectFinalisationFailure(e);
      EXPECT_EQ(result.status, 0);
      EXPECT_TRUE(matches(e.console, result.console));
      EXPECT_TRUE(matches(asStandardError(e.standardError), result.standardError));
      ASSERT_TRUE(fs::is_regular_file(shared / temp));
      EXPECT_TRUE(matches(asTempLog(e.log), readBytes(shared / temp))) << "temporary log";
    }
    EXPECT_EQ(fs::symlink_status(shared / (c.temporaryLog ? temp : final)).type(), plantedType);
    if (fs::exists(shared / "own")) {
      EXPECT_EQ(readBytes(shared / "own"), "mine\n");
    }
    if (!HasFailure()) ++refused;
  }
  EXPECT_EQ(readBytes(root_ / "secret"), "root's secret\n");
  EXPECT_FALSE(fs::exists(root_ / "created"));
  tally("faults_injected", static_cast<long long>(cases.size()));
  tally("faults_survived", static_cast<long long>(refused));
}

// In a folder that others may write, the configuration file's name is a symbolic link. It is
// followed only when it belongs to the user who runs the tool or to root: one planted by another
// user is a configuration that cannot be opened, and nothing of its target reaches any output.
TEST_F(Permissions, ConfigurationLinkIsFollowedOnlyWhenItsOwnerIsTrusted) {
  if (targetIsWindows()) GTEST_SKIP() << "POSIX owners of links";
  if (geteuid() != 0) GTEST_SKIP() << "links of two users, and a run of root's";
  struct Case {
    std::string name;
    bool linkedByRoot;  // otherwise by the unprivileged user
    bool toSecret;      // the link leads to root's secret; otherwise to a readable configuration
    bool runByRoot;     // otherwise by the unprivileged user
  };
  const std::vector<Case> cases = {
      {"planted by another user", false, true, true},
      {"root's own", true, false, true},
      {"the runner's own", false, false, false},
      {"root's, for another runner", true, false, false},
  };
  fs::permissions(root_, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  // The first line of a password file: its comma would make two names of it.
  const std::string secret = "root:$y$j9T$s3cr3t,hash:20000:0:99999:7:::";
  writeBytes(root_ / "secret", secret + "\n");
  fs::permissions(root_ / "secret", fs::perms::owner_read | fs::perms::owner_write);
  writeBytes(root_ / "readable.csv", "A,B\r\n");
  fs::permissions(root_ / "readable.csv",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path shared = caseDir(c.name);
    // Writable by all and not sticky: the kernel's own protection of links in sticky folders
    // does not apply, whatever the system's setting.
    fs::permissions(shared, fs::perms::all);
    makeTree(shared, {"A/", "B/"});
    const fs::path target = root_ / (c.toSecret ? "secret" : "readable.csv");
    if (c.linkedByRoot) {
      fs::create_symlink(target, shared / kConfigName);
    } else {
      ASSERT_FALSE(deniedToUnprivileged(shared, "ln -s '" + target.native() + "' " + kConfigName));
    }
    ASSERT_EQ(fs::symlink_status(shared / kConfigName).type(), fs::file_type::symlink);

    const RunResult result =
        c.runByRoot ? runIn(shared) : runProgramUnprivileged(caseDir(c.name + " runner"), shared);
    const std::string base = programPath(shared);
    if (c.toSecret) {
      checkRun(result, shared, noConfigurationRun(base));
      EXPECT_TRUE(reportNames(shared).empty());
      for (const std::string& name : listNames(shared)) {
        if (fs::symlink_status(shared / name).type() == fs::file_type::regular) {
          EXPECT_EQ(readBytes(shared / name).find("s3cr3t"), std::string::npos) << name;
        }
      }
      EXPECT_EQ(result.console.find("s3cr3t"), std::string::npos);
    } else {
      checkRun(result, shared, expectComparison(base, listed({}, {}, {}), soleReportName(shared)));
    }
  }
  EXPECT_EQ(readBytes(root_ / "secret"), secret + "\n");
  tally("faults_injected", static_cast<long long>(cases.size()));
  if (!HasFailure()) tally("faults_survived", static_cast<long long>(cases.size()));
}

}  // namespace
}  // namespace pairwick::e2e
