// The POSIX side of the tool's own files: symbolic links, FIFOs and devices under an output name
// are never opened through, no open waits, a file to read is reached along at most 40 links, and
// no entry of another user's swapped in between a look and an open is read or written.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "testing/bounded_wait.h"
#include "testing/open_watch_posix.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;
using platform::FileHandle;
using platform::FileMode;
using platform::OpenResult;

class PlatformFilesPosixTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = testing_support::makeScratchFolder("pairwick_files_posix_"); }
  void TearDown() override { fs::remove_all(root_); }

  // What openPlainFile makes of `name` in each mode, closing what it opens.
  std::vector<OpenResult> openInEveryMode(const std::string& name) {
    std::vector<OpenResult> results;
    for (const FileMode mode : {FileMode::append, FileMode::createNew, FileMode::replace}) {
      FileHandle file;
      results.push_back(platform::openPlainFile(root_ / name, mode, file));
      if (results.back() == OpenResult::opened) platform::closeFile(file);
    }
    return results;
  }

  // What openFileToRead makes of `name`: 0 when it opens, the reason it gives otherwise. The open
  // follows links in a loop, so it is waited for with a deadline.
  int readOpenError(const std::string& name) {
    return testing_support::finishWithin("the open of " + name + " to read it", [&] {
      FileHandle file;
      errno = 0;
      if (!platform::openFileToRead(root_ / name, file)) return errno == 0 ? -1 : errno;
      platform::closeFile(file);
      return 0;
    });
  }

  fs::path root_;
};

const std::vector<OpenResult> kRefused = {OpenResult::failed, OpenResult::nameTaken,
                                          OpenResult::failed};

TEST_F(PlatformFilesPosixTest, LinksAreNeitherFollowedNorWrittenThrough) {
  testing_support::touch(root_ / "target");
  fs::create_symlink("target", root_ / "link");
  fs::create_symlink("missing", root_ / "dangling");
  EXPECT_EQ(openInEveryMode("link"), kRefused);
  EXPECT_EQ(openInEveryMode("dangling"), kRefused);
  EXPECT_EQ(testing_support::readFile(root_ / "target"), "x");
  EXPECT_FALSE(fs::exists(root_ / "missing")) << "a dangling link's target was created";
}

TEST_F(PlatformFilesPosixTest, FifosAndDevicesAreRefusedWithoutWaiting) {
  // A FIFO without a reader would hold a blocking open for ever; one with a reader would take
  // the writes. Neither is opened at all, to write or to read: an open wakes a FIFO's other end.
  testing_support::OpenWatch watch;
  ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0666), 0);
  watch.watch(root_ / "fifo");
  EXPECT_EQ(openInEveryMode("fifo"), kRefused);
  EXPECT_EQ(readOpenError("fifo"), EINVAL);
  EXPECT_EQ(watch.opened(), std::vector<fs::path>{}) << "opened, not only looked at";
  const int reader = open((root_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(watch.opened(), std::vector<fs::path>{root_ / "fifo"}) << "the test's own open";
  EXPECT_EQ(openInEveryMode("fifo"), kRefused);
  EXPECT_EQ(readOpenError("fifo"), EINVAL);
  EXPECT_EQ(watch.opened(), std::vector<fs::path>{}) << "opened, not only looked at";
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0) << "something reached the FIFO";
  close(reader);

  // Opening a device can set it to work (a tape rewinds, a line hangs up): the device node here
  // is /dev/null's, harmless, but it must never be opened either. Making it needs root.
  if (mknod((root_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "making a device node needs root";
  }
  watch.watch(root_ / "null");
  EXPECT_EQ(openInEveryMode("null"), kRefused);
  EXPECT_EQ(readOpenError("null"), EINVAL);
  EXPECT_EQ(watch.opened(), std::vector<fs::path>{}) << "opened, not only looked at";
}

TEST_F(PlatformFilesPosixTest, FileToReadIsReachedAlongAtMostFortyLinks) {
  fs::create_directories(root_ / "dir/sub");
  testing_support::touch(root_ / "dir/file");
  testing_support::touch(root_ / "file");
  // chain0 -> chain1 -> ... -> chain40 -> file: opening chainN follows 41 - N links.
  for (int i = 0; i <= 40; ++i) {
    fs::create_symlink(i == 40 ? "file" : "chain" + std::to_string(i + 1),
                       root_ / ("chain" + std::to_string(i)));
  }
  fs::create_symlink("loop2", root_ / "loop1");
  fs::create_symlink("loop1", root_ / "loop2");
  // ".." after a link to a folder is the parent of the folder it leads to, as the kernel has it.
  fs::create_symlink(root_ / "dir/sub", root_ / "sub");
  struct Case {
    std::string name;
    int error;  // 0: opens
  };
  const std::vector<Case> cases = {
      {"chain1", 0},      {"chain0", ELOOP},     {"loop1", ELOOP},
      {"sub/../file", 0}, {"sub/../../file", 0}, {"sub/./../sub/../file", 0},
      {"file/", ENOTDIR}, {"chain40/", ENOTDIR}, {"dir", EISDIR},
      {"sub", EISDIR},    {"missing", ENOENT},   {"chain1/x", ENOTDIR},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readOpenError(c.name), c.error) << c.name;
  }
  EXPECT_EQ(readOpenError((root_ / "sub/../file").native()), 0) << "absolute";
}

// Another user's id (nobody's), to own the entries an attacker plants.
constexpr uid_t kOtherUser = 65534;

// How many opens race a swap of their name: each meets the entry swapped in now and then (a few
// in a hundred on an idle machine), so thousands make a missed check show.
constexpr int kRaceRounds = 20000;

// Swaps the entries of two names (renameat2's RENAME_EXCHANGE, in one step) on a thread of its
// own, over and over until it is destroyed, so that an open that looks at a name and then opens
// it may meet the other entry at the open. A name that leads nowhere for a moment is waited out.
class NameSwapper {
 public:
  NameSwapper(const fs::path& first, const fs::path& second)
      : thread_([this, first, second] {
          while (!stop_.load(std::memory_order_relaxed)) {
            if (renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) ==
                0) {
              swaps_.fetch_add(1, std::memory_order_relaxed);
            }
          }
        }) {}
  ~NameSwapper() {
    stop_.store(true);
    thread_.join();
  }
  NameSwapper(const NameSwapper&) = delete;
  NameSwapper& operator=(const NameSwapper&) = delete;

  std::uint64_t swaps() const { return swaps_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> swaps_{0};
  std::thread thread_;  // last: it uses the members above
};

// What the opens of a race came to.
struct RaceTally {
  int opened = 0;
  int refused = 0;
  int wrong = 0;  // opens that reached what they must not
};

// The first bytes of the open file `fd`, 64 at most.
std::string firstBytes(int fd) {
  char bytes[64];
  const ssize_t count = pread(fd, bytes, sizeof bytes, 0);
  return count > 0 ? std::string(bytes, static_cast<std::size_t>(count)) : std::string();
}

// Root's run reads only a file that its trusted links lead to: another user's link swapped in
// under the name between the look at the file and its open is never followed. Needs root, to
// give the link to another user.
TEST_F(PlatformFilesPosixTest, LinkOfAnotherUserSwappedInBeforeTheOpenIsNeverFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  const std::string config = "A,B\r\n";
  testing_support::writeBytes(root_ / "config", config);
  testing_support::writeBytes(root_ / "secret", "root's secret\r\n");
  fs::create_symlink("secret", root_ / "planted");
  ASSERT_EQ(lchown((root_ / "planted").c_str(), kOtherUser, kOtherUser), 0);
  NameSwapper swapper(root_ / "config", root_ / "planted");
  testing_support::Progress progress;
  const RaceTally tally = testing_support::finishWithin(
      "opens of a file to read while another user's link is swapped in", progress, [&] {
        RaceTally t;
        for (int round = 0; round < kRaceRounds; ++round, progress.step()) {
          FileHandle file;
          if (!platform::openFileToRead(root_ / "config", file)) {
            ++t.refused;
            continue;
          }
          ++(firstBytes(static_cast<int>(file.native)) == config ? t.opened : t.wrong);
          platform::closeFile(file);
        }
        return t;
      });
  EXPECT_EQ(tally.wrong, 0) << "opens that read the secret through the link, of " << kRaceRounds;
  EXPECT_GT(tally.opened, 0);
  EXPECT_GT(tally.refused, 0) << "no open met the link (" << swapper.swaps() << " swaps)";
}

// An output's name swapped with another user's file between the look and the open, in the modes
// of the temporary log (append) and the final log (replace): that file is never written into.
// Replace may remove it, and another is planted. On tmpfs where there is one: in an ext4 folder
// each swap of a file just written to took milliseconds (the test 18 s), on tmpfs microseconds.
// Needs root, to give files away.
TEST_F(PlatformFilesPosixTest, FileOfAnotherUserSwappedInBeforeTheOpenIsNeverWritten) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const fs::path folder = fs::is_directory("/dev/shm")
                              ? testing_support::makeScratchFolder("pairwick_race_", "/dev/shm")
                              : root_ / "race";
  fs::create_directories(folder);
  struct RemovedAtTheEnd {
    fs::path folder;
    ~RemovedAtTheEnd() {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  } removed{folder};
  const std::string theirs = "another user's\n";
  for (const FileMode mode : {FileMode::append, FileMode::replace}) {
    SCOPED_TRACE(mode == FileMode::append ? "append" : "replace");
    fs::remove(folder / "log");
    fs::remove(folder / "other");
    testing_support::writeBytes(folder / "log", "ours\n");
    // Each file planted under "other", held open to be read whatever becomes of its name.
    std::vector<int> planted;
    const auto plant = [&] {
      testing_support::writeBytes(folder / "spare", theirs);
      const int fd = open((folder / "spare").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return false;
      planted.push_back(fd);
      return chown((folder / "spare").c_str(), kOtherUser, kOtherUser) == 0 &&
             rename((folder / "spare").c_str(), (folder / "other").c_str()) == 0;
    };
    ASSERT_TRUE(plant());
    RaceTally tally;
    {
      NameSwapper swapper(folder / "log", folder / "other");
      testing_support::Progress progress;
      tally = testing_support::finishWithin(
          "opens of an output while another user's file is swapped in", progress, [&] {
            RaceTally t;
            for (int round = 0; round < kRaceRounds; ++round, progress.step()) {
              FileHandle file;
              if (platform::openPlainFile(folder / "log", mode, file) == OpenResult::opened) {
                ++t.opened;
                platform::writeFile(file, "ours\n");
                platform::closeFile(file);
              } else {
                ++t.refused;
              }
              // The other user's file that replace removed gives way to a new one.
              struct stat status;
              if (fstat(planted.back(), &status) == 0 && status.st_nlink == 0 && !plant()) {
                ++t.wrong;
              }
            }
            return t;
          });
    }
    EXPECT_EQ(tally.wrong, 0) << "a file could not be planted again";
    EXPECT_GT(tally.opened, 0);
    // Append refuses the other file it meets, replace removes it.
    EXPECT_GT(tally.refused + static_cast<int>(planted.size()) - 1, 0)
        << "no open met the other file";
    int written = 0;
    for (const int fd : planted) {
      if (firstBytes(fd) != theirs) ++written;
      close(fd);
    }
    EXPECT_EQ(written, 0) << "files of another user's written into, of " << planted.size();
  }
}

}  // namespace
}  // namespace pairwick
