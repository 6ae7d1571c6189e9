// End-to-end tests of runs whose console or standard error is gone or cut short: output piped into
// a command that stopped reading, a standard stream closed, or output to a file on a disk that
// fills up. Lines that nobody reads must cost nothing else; lines lost on their way to a file make
// the run fail, and say so.
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
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

using BrokenConsole = ScratchTest;

// Runs the program in `cwd` with standard input from /dev/null and the standard output and
// standard error that `arrange` leaves in the child, which then starts the program. SIGPIPE is
// set to its default action first, as a shell leaves it for the commands of a pipeline.
template <typename Arrange>
RunResult runArranged(const fs::path& cwd, Arrange arrange) {
  const std::string dir = cwd.native();
  const std::vector<std::string> command = launchCommand();
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    std::signal(SIGPIPE, SIG_DFL);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (chdir(dir.c_str()) != 0 || nullFd < 0 || dup2(nullFd, 0) < 0 || !arrange()) _exit(126);
    if (nullFd != 0) close(nullFd);
    prepareLaunch();
    execvp(argv[0], argv.data());
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

// Whatever is mounted on a folder of the test, detached when the test ends however it ends.
struct Mount {
  fs::path dir;
  ~Mount() {
    if (!dir.empty()) unmountTmpfs(dir);
  }
};

// A console that nobody reads (a pipe whose reader has gone, or went after one line as
// "| head -1"'s does) or that is closed (">&-": the first file the program opens, the temporary
// log, must not become its console), and a console that is a file on a disk that fills up. More
// console lines than a pipe, the console's buffer or the small disk holds, so that the writes fail
// during the scan and not only at the last flush. The report and the log are written as ever; only
// output that was lost on its way to a file fails the run, with one line on standard error.
TEST_F(BrokenConsole, RunWithoutAConsoleStillWritesTheReportAndTheLog) {
  const Paths entries = longNames(4500);
  fs::create_directories(work_ / "A");
  fs::create_directories(work_ / "B");
  for (const std::string& name : entries) writeBytes(work_ / "A" / name, "");
  writeBytes(work_ / "Pairwick_config.csv", "A,B\r\n");

  // Mounting the small disk needs root, as the continuous integration runs the tests.
  const fs::path disk = root_ / "disk";
  fs::create_directory(disk);
  if (!mountTmpfs(disk, 256 << 10)) PAIRWICK_CANNOT_INJECT("mount -t tmpfs needs root");
  const Mount mounted{disk};

  const std::string errorFile = (root_ / "stderr.txt").native();
  const std::string headFile = (root_ / "head.txt").native();
  const std::string listFile = (disk / "一覧.txt").native();
  struct Console {
    const char* name;
    std::function<bool()> arrange;
    bool cut;  // output lost on its way to a file
  };
  const std::vector<Console> consoles = {
      {"no reader",
       [&errorFile] {
         int ends[2];
         return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 1) >= 0 &&
                close(ends[1]) == 0 && redirect(2, errorFile);
       },
       false},
      {"head -1",
       [&errorFile, &headFile] {
         int ends[2];
         if (pipe(ends) != 0) return false;
         const pid_t head = fork();
         if (head < 0) return false;
         if (head == 0) {
           if (dup2(ends[0], 0) < 0 || close(ends[0]) != 0 || close(ends[1]) != 0 ||
               !redirect(1, headFile)) {
             _exit(126);
           }
           execlp("head", "head", "-n", "1", static_cast<char*>(nullptr));
           _exit(127);
         }
         return close(ends[0]) == 0 && dup2(ends[1], 1) >= 0 && close(ends[1]) == 0 &&
                redirect(2, errorFile);
       },
       false},
      {"closed", [&errorFile] { return close(1) == 0 && redirect(2, errorFile); }, false},
      {"file on a full disk",
       [&errorFile, &listFile] { return redirect(1, listFile) && redirect(2, errorFile); }, true},
  };
  for (const Console& console : consoles) {
    SCOPED_TRACE(console.name);
    RunResult result = runArranged(work_, console.arrange);
    result.standardError = readBytes(errorFile);
    const std::string name = soleReportName(work_);
    EXPECT_EQ(readBytes(work_ / name), reportBytes("A", "B", {}, entries, {}));
    Expected e = expectComparison(base_, listed({}, entries, {}), name);
    e.console = {};
    if (console.cut) {
      e.log += lit("[ERROR] コンソール出力の書き込みに失敗しました: ") + platformText() + "\n";
      e.standardError =
          lit("コンソール出力の書き込みに失敗しました。コンソール出力は不完全です。\n");
      e.status = 1;
      // The disk took what it could hold and no more.
      EXPECT_GT(fs::file_size(listFile), 0u);
      EXPECT_LE(fs::file_size(listFile), 256u << 10);
    }
    checkRun(result, work_, e);
    fs::remove(work_ / name);
  }
  // The command at the pipe's end had the first line.
  EXPECT_TRUE(matches(configOpenedRun(base_).console, readBytes(headFile)));
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
