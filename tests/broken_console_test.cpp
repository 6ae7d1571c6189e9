// End-to-end test of a run whose console has no reader: its output piped into a command that
// stopped reading. The lost console lines must cost nothing else.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <string>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using BrokenConsole = ScratchTest;

// Runs the program in `cwd` with standard output a pipe whose reading end is already closed and
// standard error in `errorFile`. SIGPIPE is set to its default action first, as a shell leaves it
// for the commands of a pipeline.
RunResult runWithoutConsoleReader(const fs::path& cwd, const fs::path& errorFile) {
  int ends[2];
  if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
  close(ends[0]);
  const std::string dir = cwd.native();
  const std::string errorName = errorFile.native();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    const int nullFd = open("/dev/null", O_RDONLY);
    const int errFd = open(errorName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (chdir(dir.c_str()) != 0 || nullFd < 0 || errFd < 0 || dup2(nullFd, 0) < 0 ||
        dup2(ends[1], 1) < 0 || dup2(errFd, 2) < 0) {
      _exit(126);
    }
    execl(PAIRWICK_BINARY, PAIRWICK_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ends[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  RunResult result;
  result.standardError = readBytes(errorFile);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TEST_F(BrokenConsole, RunWithoutAConsoleReaderStillWritesTheReportAndTheLog) {
  if (targetIsWindows()) GTEST_SKIP() << "the pipe's end is a POSIX matter";
  // More console lines than the console's buffer holds, so that the writes fail during the scan
  // and not only at the last flush.
  Paths entries;
  for (int i = 0; i < 4500; ++i) {
    std::string name = std::to_string(100000 + i);
    name.resize(240, 'x');
    entries.push_back(name);
  }
  fs::create_directories(work_ / "A");
  fs::create_directories(work_ / "B");
  for (const std::string& name : entries) writeBytes(work_ / "A" / name, "");
  writeBytes(work_ / "Pairwick_config.csv", "A,B\r\n");

  const RunResult result = runWithoutConsoleReader(work_, root_ / "stderr.txt");

  const Comparison c{"A", "B", "", "", entries, {}, false, {}, entries, {}};
  const std::string name = soleReportName(work_);
  if (fs::is_regular_file(work_ / name)) {
    EXPECT_TRUE(matches(lit(reportBytes("A", "B", {}, entries, {})), readBytes(work_ / name)));
  }
  Expected e = expectComparison(base_, c, name);
  e.console = {};  // nobody reads it
  checkRun(result, work_, e);
}

}  // namespace
}  // namespace pairwick::e2e
