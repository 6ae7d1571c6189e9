// The POSIX side of the tool's own files: symbolic links, FIFOs and devices under an output name
// are never opened through, no open waits, and a file to read is reached along at most 40 links.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
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

  // What openFileToRead makes of `name`: 0 when it opens, the reason it gives otherwise.
  int readOpenError(const std::string& name) {
    FileHandle file;
    errno = 0;
    if (!platform::openFileToRead(root_ / name, file)) return errno == 0 ? -1 : errno;
    platform::closeFile(file);
    return 0;
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
  // the writes.
  ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0666), 0);
  EXPECT_EQ(openInEveryMode("fifo"), kRefused);
  const int reader = open((root_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(openInEveryMode("fifo"), kRefused);
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0) << "something reached the FIFO";
  close(reader);

  if (mknod((root_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "making a device node needs root";
  }
  EXPECT_EQ(openInEveryMode("null"), kRefused);
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

}  // namespace
}  // namespace pairwick
