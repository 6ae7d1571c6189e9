// Fault injection through permissions, as an unprivileged user: a working directory whose files
// can be written but in which nothing can be removed. The final log is written, the temporary log
// cannot be removed, and the next run carries every kept line over again. (A read-only final log,
// a working directory without write permission, an access-denied subfolder and a report name
// taken by a folder have tests of their own beside the other end-to-end tests.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

// `text` as one word of a shell command.
std::string quoted(const std::string& text) {
  std::string word = "'";
  for (const char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

// Runs `shellCommand` in `dir` as root or as the unprivileged user; true when it succeeded.
bool plant(const fs::path& dir, const std::string& shellCommand, bool asRoot) {
  if (!asRoot) return !deniedToUnprivileged(dir, shellCommand);
  return std::system(("cd " + quoted(dir.native()) + " && " + shellCommand).c_str()) == 0;
}

// The bytes of the file `path`; none where no file is.
std::string bytesIfAny(const fs::path& path) {
  return fs::is_regular_file(path) ? readBytes(path) : std::string();
}

// Every regular file directly in `dir` that a user other than `runner` owns or may read, with
// the text `privateText` in it: what the run must never put where others see it.
std::vector<std::string> filesShowingToOthers(const fs::path& dir, uid_t runner,
                                              const std::string& privateText) {
  std::vector<std::string> found;
  for (const std::string& name : listNames(dir)) {
    struct stat status;
    if (lstat((dir / name).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    const bool othersSee = status.st_uid != runner || (status.st_mode & 044) != 0;
    if (othersSee && readBytes(dir / name).find(privateText) != std::string::npos) {
      found.push_back(name);
    }
  }
  return found;
}

// One user of a shared folder (world-writable and sticky, as /tmp) plants links, FIFOs, hard
// links and files of its own under the names of another user's outputs, the victim's run with
// umask 077 comparing folders that hold a private name. No output is written through or into any
// of them, no run waits on one, and no file that another user owns or may read receives an entry's
// name: a planted temporary log stops the run, a final log that the run may not replace fails the
// finalisation, another user's plain final log gives way to one of the run's own where the folder
// lets the run remove it. The runner's own leftovers are carried over as ever.
TEST_F(Permissions, OutputsPlantedByAnotherUserAreNeverWrittenThrough) {
  if (targetIsWindows()) GTEST_SKIP() << "Wine shows a host's links to files as the files";
  if (geteuid() != 0) GTEST_SKIP() << "files of two users";
  enum class Outcome {
    stops,              // the temporary log cannot be opened: nothing else happens
    finalisationFails,  // the comparison completes, the temporary log is kept
    replaced,           // the final log is a new file of the runner's
    carriedOver,  // the leftover temporary log goes first into the final log, written in place
  };
  struct Case {
    std::string name;
    std::string plant;    // the shell command that plants it, in the case's folder
    std::string planted;  // the output name it takes
    Outcome outcome;
    bool plantedByRoot;  // otherwise by the unprivileged user
    bool runByRoot;      // otherwise by the unprivileged user
    bool runnersFolder;  // the folder is the runner's own; otherwise root's, open to all, sticky
  };
  const std::string temp = "temp_Pairwick_error_log.txt";
  const std::string final = "Pairwick_error_log.txt";
  const std::string secret = (root_ / "secret").native();
  const std::string leftovers = "printf '[DEBUG] earlier\\r\\n' > " + temp + " && printf old > " +
                                final + " && chmod 600 " + final;
  const std::vector<Case> cases = {
      {"temp link", "ln -s " + secret + " " + temp, temp, Outcome::stops, false, true, false},
      {"temp dangling link", "ln -s " + (root_ / "created").native() + " " + temp, temp,
       Outcome::stops, false, true, false},
      {"temp FIFO", "mkfifo " + temp, temp, Outcome::stops, false, true, false},
      {"temp hard link", "echo mine > own && ln own " + temp, temp, Outcome::stops, false, true,
       false},
      {"temp file", "printf '[DEBUG] theirs\\r\\n' > " + temp + " && chmod 644 " + temp, temp,
       Outcome::stops, false, true, false},
      {"final link", "ln -s " + secret + " " + final, final, Outcome::finalisationFails, false,
       true, false},
      {"final FIFO", "mkfifo " + final, final, Outcome::finalisationFails, false, true, false},
      {"final hard link", "echo mine > own && ln own " + final, final, Outcome::finalisationFails,
       false, true, false},
      // Root may remove any file of a sticky folder.
      {"final file", ": > " + final + " && chmod 644 " + final, final, Outcome::replaced, false,
       true, false},
      {"root's own leftovers", leftovers, final, Outcome::carriedOver, true, true, false},
      // Root's files are another user's for the unprivileged run, even where it may write them.
      {"root's temp file", "printf '[DEBUG] root\\r\\n' > " + temp + " && chmod 666 " + temp, temp,
       Outcome::stops, true, false, false},
      {"root's final file in a sticky folder", ": > " + final + " && chmod 666 " + final, final,
       Outcome::finalisationFails, true, false, false},
      {"root's final file in the runner's folder", ": > " + final + " && chmod 666 " + final, final,
       Outcome::replaced, true, false, true},
      {"the runner's own leftovers in its folder", leftovers, final, Outcome::carriedOver, false,
       false, true},
  };
  // The private name: in code page 932 and in UTF-8 alike.
  const std::string privateName = "payroll-2026.txt";
  fs::permissions(root_, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  writeBytes(root_ / "secret", "root's secret\n");
  fs::permissions(root_ / "secret", fs::perms::owner_read | fs::perms::owner_write);
  std::size_t refused = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path shared = caseDir(c.name);
    makeTree(shared, {"A/" + privateName, "B/"});
    writeBytes(shared / "Pairwick_config.csv", "A,B\r\n");
    if (c.runnersFolder) {
      handOverToUnprivileged(shared);
    } else {
      fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    }
    ASSERT_TRUE(plant(shared, c.plant, c.plantedByRoot)) << "could not plant";
    const std::vector<std::string> before = listNames(shared);
    // Held (not opened) while the run lasts, what was planted keeps its number even once its
    // name is gone: a file put in its place cannot pass for it.
    const int held = open((shared / c.planted).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_GE(held, 0);
    struct stat planted;
    ASSERT_EQ(fstat(held, &planted), 0);
    const std::string plantedBytes =
        S_ISREG(planted.st_mode) ? readBytes(shared / c.planted) : std::string();

    const mode_t umaskBefore = umask(077);
    RunResult result;
    if (c.runByRoot) {
      const MeasuredRun measured = runMeasured(shared);
      umask(umaskBefore);
      ASSERT_FALSE(measured.hung) << "the run waited on what was planted for "
                                  << runPatience().count() << " s";
      result = measured.result;
    } else {
      result = runProgramUnprivileged(caseDir(c.name + " runner"), shared);
      umask(umaskBefore);
    }
    const uid_t runner = c.runByRoot ? 0 : 65534;
    struct stat after {};
    EXPECT_EQ(lstat((shared / c.planted).c_str(), &after), 0) << c.planted << " is gone";
    if (c.outcome == Outcome::stops) {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.console, "");
      EXPECT_TRUE(
          matches(asStandardError(lit("一時エラーログファイルを開けませんでした: " + temp + "\n")),
                  result.standardError));
      EXPECT_EQ(listNames(shared), before);
    } else {
      const std::string base = programPath(shared);
      Expected e = expectComparison(base, listed({}, {privateName}, {}), soleReportName(shared));
      if (c.outcome == Outcome::finalisationFails) {
        expectFinalisationFailure(e);
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(matches(e.console, result.console));
        EXPECT_TRUE(matches(asStandardError(e.standardError), result.standardError));
        EXPECT_TRUE(matches(asTempLog(e.log), bytesIfAny(shared / temp))) << "temporary log";
      } else if (c.outcome == Outcome::replaced) {
        checkRun(result, shared, e);
        EXPECT_EQ(after.st_uid, runner);
        EXPECT_EQ(after.st_mode & 07777, 0600u) << "not created under the run's umask";
      } else {
        checkRun(result, shared,
                 Expected{e.console, e.standardError, lit("[DEBUG] earlier\n") + e.log, e.status});
        EXPECT_EQ(after.st_ino, planted.st_ino) << "the runner's own final log was replaced";
        EXPECT_EQ(after.st_mode, planted.st_mode);
      }
    }
    if (c.outcome != Outcome::replaced && c.outcome != Outcome::carriedOver) {
      EXPECT_EQ(after.st_ino, planted.st_ino);
      EXPECT_EQ(after.st_mode, planted.st_mode);
      EXPECT_EQ(after.st_uid, planted.st_uid);
      if (S_ISREG(planted.st_mode)) {
        EXPECT_EQ(bytesIfAny(shared / c.planted), plantedBytes) << "written into";
      }
    }
    EXPECT_EQ(filesShowingToOthers(shared, runner, privateName), std::vector<std::string>{});
    if (fs::exists(shared / "own")) {
      EXPECT_EQ(readBytes(shared / "own"), "mine\n");
    }
    close(held);
    if (!HasFailure()) ++refused;
  }
  EXPECT_EQ(readBytes(root_ / "secret"), "root's secret\n");
  EXPECT_FALSE(fs::exists(root_ / "created"));
  tally("faults_injected", static_cast<long long>(cases.size()));
  tally("faults_survived", static_cast<long long>(refused));
}

// In a folder that others may write, the configuration file's name is a symbolic link, or a chain
// of them through folders. Each link on the way is followed only when it belongs to the user who
// runs the tool or to root: one that another user planted, in the configuration's place, in the
// place of a file or a folder that root's own link leads to, makes a configuration that cannot be
// opened, and nothing of what it leads to reaches any output.
TEST_F(Permissions, ConfigurationLinkIsFollowedOnlyWhenItsOwnerIsTrusted) {
  if (targetIsWindows()) GTEST_SKIP() << "POSIX owners of links";
  if (geteuid() != 0) GTEST_SKIP() << "links of two users, and a run of root's";
  struct Link {
    std::string name;  // in the case's folder; another user's link takes the place of what is there
    std::string target;
    bool byRoot;  // otherwise by the unprivileged user
  };
  struct Case {
    std::string name;
    std::vector<Link> links;  // made in this order
    bool toSecret;            // they lead to what only root may read; otherwise to "A,B"
    bool runByRoot;           // otherwise by the unprivileged user
  };
  const std::string secretFile = (root_ / "secret").native();
  const std::string secretFolder = (root_ / "secrets").native();  // holds current.csv
  const std::string readable = (root_ / "readable.csv").native();
  // Through a relative link, a link to a folder, "." and a ".." that leaves the folder a link led
  // to, as the system resolves it: to the parent of that folder.
  const auto chain = [&](const std::string& caseName, bool byRoot) {
    const std::string store = (root_ / caseName / "store").native();
    return std::vector<Link>{{kConfigName, "chosen.csv", byRoot},
                             {"chosen.csv", "versions/./v2.csv", byRoot},
                             {"versions", store, byRoot},
                             {"store/v2.csv", "../../readable.csv", byRoot}};
  };
  const std::vector<Case> cases = {
      {"planted by another user", {{kConfigName, secretFile, false}}, true, true},
      {"root's own", {{kConfigName, readable, true}}, false, true},
      {"the runner's own", {{kConfigName, readable, false}}, false, false},
      {"root's, for another runner", {{kConfigName, readable, true}}, false, false},
      {"file behind root's link replaced",
       {{kConfigName, "current.csv", true}, {"current.csv", secretFile, false}},
       true,
       true},
      {"folder behind root's link replaced",
       {{kConfigName, "conf/current.csv", true}, {"conf", secretFolder, false}},
       true,
       true},
      {"root's own chain", chain("root's own chain", true), false, true},
      {"the runner's own chain", chain("the runner's own chain", false), false, false},
  };
  fs::permissions(root_, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  // The first line of a password file: its comma would make two names of it.
  const std::string secretName1 = "root:$y$j9T$s3cr3t";
  const std::string secretName2 = "hash:20000:0:99999:7:::";
  const std::string secret = secretName1 + "," + secretName2;
  writeBytes(root_ / "secret", secret + "\n");
  fs::permissions(root_ / "secret", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directory(root_ / "secrets");
  writeBytes(root_ / "secrets" / "current.csv", secret + "\n");
  fs::permissions(root_ / "secrets", fs::perms::owner_all);
  writeBytes(root_ / "readable.csv", "A,B\r\n");
  fs::permissions(root_ / "readable.csv",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path shared = caseDir(c.name);
    // Writable by all and not sticky: the kernel's own protection of links in sticky folders
    // does not apply, whatever the system's setting. What root's configuration switches between
    // is there, readable, until another user's link takes its place.
    fs::permissions(shared, fs::perms::all);
    makeTree(shared, {"A/", "B/", "conf/", "store/"});
    writeBytes(shared / "current.csv", "A,B\r\n");
    writeBytes(shared / "conf" / "current.csv", "A,B\r\n");
    fs::permissions(shared / "store", fs::perms::all);
    for (const Link& link : c.links) {
      if (link.byRoot) {
        fs::create_symlink(link.target, shared / link.name);
      } else {
        const std::string name = quoted(link.name);
        ASSERT_TRUE(plant(shared,
                          "{ [ ! -e " + name + " ] || mv " + name + " " + name +
                              ".old; } && ln -s " + quoted(link.target) + " " + name,
                          false))
            << "could not plant " << link.name;
      }
    }
    ASSERT_EQ(fs::symlink_status(shared / kConfigName).type(), fs::file_type::symlink);

    const RunResult result =
        c.runByRoot ? runIn(shared) : runProgramUnprivileged(caseDir(c.name + " runner"), shared);
    const std::string base = programPath(shared);
    if (c.toSecret) {
      checkRun(result, shared, noConfigurationRun(base));
      EXPECT_TRUE(reportNames(shared).empty());
      // Neither name of the secret line, in any file at all.
      for (const std::string& text : {secretName1, secretName2}) {
        for (const std::string& name : listNames(shared)) {
          if (fs::symlink_status(shared / name).type() == fs::file_type::regular) {
            EXPECT_EQ(readBytes(shared / name).find(text), std::string::npos) << name;
          }
        }
        EXPECT_EQ(result.console.find(text), std::string::npos);
        EXPECT_EQ(result.standardError.find(text), std::string::npos);
      }
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
