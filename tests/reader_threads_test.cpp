// How many threads a run starts: each tree's reader has a pool of 32 threads that grows to 64 while
// listings are slow (a file share's round trips, or readers waiting for descriptors the system
// withholds), and no further. The run's thread count is sampled from /proc while it lasts.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

const std::string kConfig = "Pairwick_config.csv";

// The most threads a run may have: its own and, for each of the two trees, a pool grown to its
// bound of 64.
constexpr int kMostThreads = 1 + 2 * 64;
// The threads of two pools that never grew: a run on a slow share goes past them.
constexpr int kUngrownThreads = 1 + 2 * 32;

// The Threads: figure of /proc/<pid>/status; 0 once the process has gone.
int threadsOf(pid_t pid) {
  const std::string file = "/proc/" + std::to_string(pid) + "/status";
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  if (n <= 0) return 0;
  const std::string status(buffer, static_cast<std::size_t>(n));
  const std::size_t at = status.find("\nThreads:");
  return at == std::string::npos ? 0 : std::atoi(status.c_str() + at + 9);
}

// A run of the program with the most threads it had at once, sampled every millisecond or so.
struct SampledRun {
  RunResult result;
  int mostThreads = 0;
  int samples = 0;
};

// Runs the POSIX build in `cwd`, allowed `openFiles` descriptors (0: as many as this process),
// sampling its threads until it ends; one still running after runPatience() is killed and
// GaveUpWaiting thrown.
SampledRun runSampled(const fs::path& cwd, long openFiles) {
  const fs::path outFile = cwd.parent_path() / ".sampled_stdout";
  const fs::path errFile = cwd.parent_path() / ".sampled_stderr";
  const pid_t pid = startNativeRun(cwd, outFile, errFile, openFiles);
  SampledRun run;
  const auto deadline = std::chrono::steady_clock::now() + runPatience();
  int status = 0;
  for (;;) {
    run.mostThreads = std::max(run.mostThreads, threadsOf(pid));
    ++run.samples;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) break;
    if (ended < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      throw GaveUpWaiting("gave up after " + std::to_string(runPatience().count()) +
                          " s waiting for the sampled run in " + cwd.native() + " to end; killed");
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  run.result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.result.console = readBytes(outFile);
  run.result.standardError = readBytes(errFile);
  fs::remove(outFile);
  fs::remove(errFile);
  return run;
}

class ReaderThreads : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    if (targetIsWindows()) GTEST_SKIP() << "threads are counted in /proc";
  }

  // `tops` folders below `dir`, each holding `inner` folders; their relative paths, sorted.
  static std::vector<std::string> makeFolders(const fs::path& dir, int tops, int inner) {
    std::vector<std::string> paths;
    for (int i = 0; i < tops; ++i) {
      const std::string top = "d" + std::to_string(1000 + i);
      fs::create_directories(dir / top);
      paths.push_back(top);
      for (int j = 0; j < inner; ++j) {
        const std::string path = top + "/e" + std::to_string(1000 + j);
        fs::create_directory(dir / path);
        paths.push_back(path);
      }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  // The run compared the trees, which hold `paths` both, completely.
  void expectComplete(const SampledRun& run, const std::vector<std::string>& paths) {
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.standardError, "");
    const std::vector<std::string> reports = reportNames(work_);
    ASSERT_EQ(reports.size(), 1u);
    // A report of these trees is well under a megabyte.
    ASSERT_LT(fs::file_size(work_ / reports[0]), std::uintmax_t{1} << 20);
    const ReportLists lists = parseReport(readBytes(work_ / reports[0]), "A", "B");
    EXPECT_EQ(lists.common, paths);
    EXPECT_EQ(lists.only1, std::vector<std::string>{});
    EXPECT_EQ(lists.only2, std::vector<std::string>{});
    EXPECT_EQ(lists.notes, std::vector<std::string>{});
  }
};

// Readers that wait for descriptors the system withholds read slowly, and their pools grow: to
// 64 threads each, not one for every folder waiting.
TEST_F(ReaderThreads, FewDescriptorsKeepEachPoolWithinItsBound) {
  if (kSanitized) {
    // The sanitizers' runtime tests whether an object's memory can be read by writing it into a
    // pipe of its own; with the readers holding every descriptor the limit leaves, no pipe can be
    // made and every virtual call is reported as one on an invalid object.
    GTEST_SKIP() << "the sanitizers need descriptors of their own, which this limit takes away";
  }
  const std::vector<std::string> paths = makeFolders(work_ / "A", 30, 100);
  makeFolders(work_ / "B", 30, 100);
  writeBytes(work_ / kConfig, "A,B\r\n");

  const SampledRun run = runSampled(work_, 12);
  expectComplete(run, paths);
  EXPECT_LE(run.mostThreads, kMostThreads) << "in " << run.samples << " samples";
  // The samples saw the run at work, its pools started.
  EXPECT_GT(run.mostThreads, kUngrownThreads / 2) << "in " << run.samples << " samples";
}

// Mounts a mirror of `source` at `mountpoint` whose every request waits `delayMs`, as a file
// share's round trip does; false when that is not possible here (no libfuse3 in the build, no
// FUSE, no root). It detaches once mounted; unmountTmpfs takes it down.
bool mountSlowFs(const fs::path& source, const fs::path& mountpoint, int delayMs) {
#ifdef PAIRWICK_SLOW_FS
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) return false;
  fs::create_directories(mountpoint);
  const std::string command = "timeout -s KILL " + std::to_string(runPatience().count()) + " " +
                              std::string(PAIRWICK_SLOW_FS) + " --delay-ms " +
                              std::to_string(delayMs) + " '" + source.native() + "' '" +
                              mountpoint.native() + "'";
  return std::system(command.c_str()) == 0;
#else
  (void)source;
  (void)mountpoint;
  (void)delayMs;
  return false;
#endif
}

// The mounts of a test, taken down before its scratch tree is removed.
class Mounts {
 public:
  ~Mounts() {
    for (const fs::path& mountpoint : mounted_) unmountTmpfs(mountpoint);
  }
  bool mount(const fs::path& source, const fs::path& mountpoint, int delayMs) {
    if (!mountSlowFs(source, mountpoint, delayMs)) return false;
    mounted_.push_back(mountpoint);
    return true;
  }

 private:
  std::vector<fs::path> mounted_;
};

// On a share that answers every request in 10 ms, each tree's pool grows to its bound: both trees
// are read with 64 listings in flight, twice the 32 of a local disk. Needs root (FUSE mounts).
TEST_F(ReaderThreads, SlowShareGrowsEachPoolToItsBound) {
  const std::vector<std::string> paths = makeFolders(root_ / "share" / "A", 300, 0);
  makeFolders(root_ / "share" / "B", 300, 0);
  writeBytes(work_ / kConfig, "A,B\r\n");
  Mounts mounts;
  if (!mounts.mount(root_ / "share" / "A", work_ / "A", 10) ||
      !mounts.mount(root_ / "share" / "B", work_ / "B", 10)) {
    PAIRWICK_CANNOT_INJECT("cannot mount the slow file system (needs root, FUSE and libfuse3)");
  }

  const SampledRun run = runSampled(work_, 0);
  expectComplete(run, paths);
  EXPECT_EQ(run.mostThreads, kMostThreads) << "in " << run.samples << " samples";
}

}  // namespace
}  // namespace pairwick::e2e
