// End-to-end tests of runs whose console or standard error is gone: output piped into a command
// that stopped reading, or a standard stream closed. The lost lines must cost nothing else.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using BrokenConsole = ScratchTest;

// Runs the program in `cwd` with standard input from /dev/null and the standard output and
// standard error that `arrange` leaves in the child, which then starts the program. SIGPIPE is
// set to its default action first, as a shell leaves it for the commands of a pipeline.
template <typename Arrange>
RunResult runArranged(const fs::path& cwd, Arrange arrange) {
  const std::string dir = cwd.native();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (chdir(dir.c_str()) != 0 || nullFd < 0 || dup2(nullFd, 0) < 0 || !arrange()) _exit(126);
    if (nullFd != 0) close(nullFd);
    execl(PAIRWICK_BINARY, PAIRWICK_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  const int status = awaitExit(pid, "the run in " + dir);
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  EXPECT_NE(result.status, 126) << "could not arrange the streams";
  return result;
}

// Gives `fd` the file `name`, truncated; true on success.
bool redirect(int fd, const std::string& name) {
  const int opened = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  return opened >= 0 && dup2(opened, fd) >= 0 && close(opened) == 0;
}

// `count` file names of 240 bytes, in the order the report lists them.
Paths longNames(int count) {
  Paths names;
  for (int i = 0; i < count; ++i) {
    std::string name = std::to_string(100000 + i);
    name.resize(240, 'x');
    names.push_back(name);
  }
  return names;
}

// A console that nobody reads (a pipe whose reader has gone) or that is closed (">&-": the first
// file the program opens, the temporary log, must not become its console). More console lines than
// the console's buffer holds, so that the writes fail during the scan and not only at the last
// flush.
TEST_F(BrokenConsole, RunWithoutAConsoleStillWritesTheReportAndTheLog) {
  if (targetIsWindows()) GTEST_SKIP() << "pipes and descriptors are a POSIX matter";
  const Paths entries = longNames(4500);
  fs::create_directories(work_ / "A");
  fs::create_directories(work_ / "B");
  for (const std::string& name : entries) writeBytes(work_ / "A" / name, "");
  writeBytes(work_ / "Pairwick_config.csv", "A,B\r\n");

  const std::string errorFile = (root_ / "stderr.txt").native();
  const std::vector<std::function<bool()>> consoles = {
      [&errorFile] {
        int ends[2];
        return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 1) >= 0 &&
               close(ends[1]) == 0 && redirect(2, errorFile);
      },
      [&errorFile] { return close(1) == 0 && redirect(2, errorFile); }};
  for (std::size_t i = 0; i < consoles.size(); ++i) {
    SCOPED_TRACE(i == 0 ? "no reader" : "closed");
    RunResult result = runArranged(work_, consoles[i]);
    result.standardError = readBytes(errorFile);
    const std::string name = soleReportName(work_);
    EXPECT_EQ(readBytes(work_ / name), reportBytes("A", "B", {}, entries, {}));
    Expected e = expectComparison(base_, listed({}, entries, {}), name);
    e.console = {};
    checkRun(result, work_, e);
    fs::remove(work_ / name);
  }
}

// The same with standard error closed ("2>&-"), on a run whose handler writes to it.
TEST_F(BrokenConsole, ClosedStandardErrorWritesNothingIntoTheLog) {
  if (targetIsWindows()) GTEST_SKIP() << "descriptors are a POSIX matter";
  const fs::path dir = caseDir("작업");  // no code page 932 form: the handler ends the run
  makeTree(dir, {"A/", "B/"});
  writeBytes(dir / "Pairwick_config.csv", "A,B\r\n");

  const std::string outputFile = (root_ / "stdout.txt").native();
  RunResult result =
      runArranged(dir, [&outputFile] { return close(2) == 0 && redirect(1, outputFile); });
  result.console = readBytes(outputFile);

  Expected e;
  expectStart(e, "", false);
  expectHandler(e, platformText());
  e.standardError = {};
  checkRun(result, dir, e);
}

}  // namespace
}  // namespace pairwick::e2e
