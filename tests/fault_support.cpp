// Harness additions for the fault-injection and oracle tests: tmpfs, full disks, measured runs,
// line counts and the tally of figures.
#include "fault_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#ifndef PAIRWICK_BINARY
#error "PAIRWICK_BINARY must name the built program"
#endif

namespace pairwick::e2e {

bool faultsRequired() {
  const char* value = std::getenv("PAIRWICK_RELIABILITY");
  return value != nullptr && std::string(value) == "1";
}

bool mountTmpfs(const fs::path& dir, std::size_t bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

void unmountTmpfs(const fs::path& dir) { umount2(dir.c_str(), MNT_DETACH); }

bool mountFaultFs(const std::string& rules, const fs::path& source, const fs::path& mountpoint) {
#ifdef PAIRWICK_FAULT_FS
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) return false;
  // The file system detaches once it is mounted: the command returns with the mount in place, or
  // is given up on.
  const std::string command = "timeout -s KILL " + std::to_string(runPatience().count()) + " " +
                              std::string(PAIRWICK_FAULT_FS) + " " + rules + " '" +
                              source.native() + "' '" + mountpoint.native() + "'";
  return std::system(command.c_str()) == 0;
#else
  (void)rules;
  (void)source;
  (void)mountpoint;
  return false;
#endif
}

void reserveSpace(const fs::path& file, std::size_t bytes) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + file.native());
  const int result = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
  close(fd);
  if (result != 0) throw std::runtime_error("cannot reserve space for " + file.native());
}

fs::path fillFileSystem(const fs::path& dir, std::size_t leaveFree) {
  const fs::path filler = dir / "filler";
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + filler.native());
  const std::vector<char> block(4096, 'f');
  off_t written = 0;
  for (;;) {
    const ssize_t n = write(fd, block.data(), block.size());
    if (n > 0) {
      written += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (leaveFree > 0) {
    if (ftruncate(fd, std::max<off_t>(0, written - static_cast<off_t>(leaveFree))) != 0) {
      close(fd);
      throw std::runtime_error("cannot shorten " + filler.native());
    }
  }
  close(fd);
  return filler;
}

std::size_t expectedLines(const Pattern& utf8Log) {
  std::size_t lines = 0;
  for (const Piece& piece : utf8Log) {
    lines += static_cast<std::size_t>(std::count(piece.text.begin(), piece.text.end(), '\n'));
    for (const std::string& line : piece.lines) {
      lines += static_cast<std::size_t>(std::count(line.begin(), line.end(), '\n'));
    }
  }
  return lines;
}

std::size_t logLines(const std::string& bytes) {
  // Line feeds, not CR LF pairs: in the final log, a line that ends in a lone lead byte has its CR
  // taken into that byte's substitute character, as the platform's lenient conversion does.
  return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

std::size_t linesInBothLogs(const fs::path& dir) {
  std::size_t lines = 0;
  for (const char* name : {"temp_Pairwick_error_log.txt", "Pairwick_error_log.txt"}) {
    if (fs::is_regular_file(dir / name)) {
      lines += logLines(readBytes(dir / name, kRunOutputLimit));
    }
  }
  return lines;
}

ReportLists parseReport(const std::string& bytes, const std::string& name1,
                        const std::string& name2) {
  ReportLists lists;
  std::vector<std::string>* current = nullptr;
  std::size_t start = bytes.compare(0, kBom.size(), kBom) == 0 ? kBom.size() : 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    start = end + 1;
    if (line == "[一致するサブフォルダ/ファイル]") {
      current = &lists.common;
    } else if (line == "[" + name1 + " にのみ存在]") {
      current = &lists.only1;
    } else if (line == "[" + name2 + " にのみ存在]") {
      current = &lists.only2;
    } else if (line.empty() || line == "一致するサブフォルダ/ファイルはありません。" ||
               line == "フォルダ1にのみ存在するサブフォルダ/ファイルはありません。" ||
               line == "フォルダ2にのみ存在するサブフォルダ/ファイルはありません。") {
      continue;
    } else if (current != nullptr) {
      current->push_back(line);
    } else if (line.rfind("====", 0) != 0 && line.rfind("比較対象フォルダ", 0) != 0) {
      lists.notes.push_back(line);
    }
  }
  return lists;
}

std::vector<std::string> makeLongTree(const fs::path& dir) {
  std::vector<std::string> names;
  fs::create_directories(dir / "A");
  fs::create_directories(dir / "B");
  // Names long enough to fill the output soon, short enough that a path to one stays below the
  // 260 characters that some Windows calls still keep to.
  for (int i = 0; i < 7000; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d_", i);
    names.push_back(number + std::string(150, 'n'));
    writeBytes(dir / "A" / names.back(), "");
  }
  return names;
}

void tally(const std::string& name, long long value) {
  const char* file = std::getenv("PAIRWICK_RELIABILITY_TALLY");
  if (file == nullptr || *file == '\0') return;
  std::ofstream out(file, std::ios::app);
  out << name << ' ' << value << '\n';
}

MeasuredRun runMeasured(const fs::path& cwd) {
  const fs::path outFile = cwd.parent_path() / ".measured_stdout";
  const fs::path errFile = cwd.parent_path() / ".measured_stderr";
  const pid_t pid = startNativeRun(cwd, outFile, errFile);
  MeasuredRun run;
  const auto deadline = std::chrono::steady_clock::now() + runPatience();
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("wait4 failed");
    if (!run.hung && std::chrono::steady_clock::now() > deadline) {
      run.hung = true;
      kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.maxRssKilobytes = usage.ru_maxrss;
  run.result.console = readBytes(outFile, kRunOutputLimit);
  run.result.standardError = readBytes(errFile, kRunOutputLimit);
  fs::remove(outFile);
  fs::remove(errFile);
  return run;
}

pid_t startNativeRun(const fs::path& cwd, const fs::path& outFile, const fs::path& errFile,
                     long openFiles) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(cwd.c_str()) != 0 || in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 ||
        dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    // Only the standard descriptors are the run's: a limit is what its readers have left.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    const rlimit limit{static_cast<rlim_t>(openFiles), static_cast<rlim_t>(openFiles)};
    if (openFiles != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
    execl(PAIRWICK_BINARY, PAIRWICK_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace pairwick::e2e
