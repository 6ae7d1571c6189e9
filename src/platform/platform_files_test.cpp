// The platform's services for the tool's own files, with the same meaning on both platforms:
// which names may be opened in which mode, writing at the end, truncating, the run lock.
#include <gtest/gtest.h>

#include <cstdint>
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
using testing_support::readFile;

class PlatformFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = testing_support::makeScratchFolder("pairwick_files_"); }
  void TearDown() override {
    for (FileHandle& file : open_) {
      if (file.native != -1) platform::closeFile(file);
    }
    fs::remove_all(root_);
  }

  // Opens `name` below the scratch folder; the handle is closed at the end of the test.
  OpenResult open(const std::string& name, FileMode mode, FileHandle& file) {
    const OpenResult result = platform::openPlainFile(root_ / name, mode, file);
    if (result == OpenResult::opened) open_.push_back(file);
    return result;
  }
  void write(const std::string& name, const std::string& bytes) {
    FileHandle file;
    ASSERT_EQ(platform::openPlainFile(root_ / name, FileMode::replace, file), OpenResult::opened);
    ASSERT_TRUE(platform::writeFile(file, bytes));
    ASSERT_TRUE(platform::closeFile(file));
  }

  fs::path root_;
  std::vector<FileHandle> open_;
};

TEST_F(PlatformFilesTest, EachModeTreatsAnExistingPlainFileAsItPromises) {
  write("log", "old\r\n");
  FileHandle appended;
  ASSERT_EQ(open("log", FileMode::append, appended), OpenResult::opened);
  EXPECT_TRUE(platform::writeFile(appended, "new\r\n"));
  EXPECT_EQ(readFile(root_ / "log"), "old\r\nnew\r\n");

  write("final", std::string(5000, 'x'));
  write("final", "short");
  EXPECT_EQ(readFile(root_ / "final"), "short");

  FileHandle taken;
  EXPECT_EQ(open("final", FileMode::createNew, taken), OpenResult::nameTaken);
  fs::create_directory(root_ / "folder");
  EXPECT_EQ(open("folder", FileMode::createNew, taken), OpenResult::nameTaken);
  EXPECT_EQ(readFile(root_ / "final"), "short");

  FileHandle created;
  ASSERT_EQ(open("report", FileMode::createNew, created), OpenResult::opened);
  EXPECT_TRUE(platform::writeFile(created, "report"));
  EXPECT_EQ(readFile(root_ / "report"), "report");
}

TEST_F(PlatformFilesTest, FoldersAndFilesWithMoreLinksAreNeverOpened) {
  fs::create_directory(root_ / "folder");
  write("shared", "secret");
  fs::create_hard_link(root_ / "shared", root_ / "second name");
  for (const FileMode mode : {FileMode::append, FileMode::replace}) {
    for (const std::string name : {"folder", "shared", "second name"}) {
      SCOPED_TRACE(name + (mode == FileMode::append ? " append" : " replace"));
      FileHandle file;
      EXPECT_EQ(open(name, mode, file), OpenResult::failed);
    }
  }
  EXPECT_EQ(readFile(root_ / "shared"), "secret");
  EXPECT_TRUE(fs::is_directory(root_ / "folder"));
}

TEST_F(PlatformFilesTest, TruncationUndoesAWriteAndLaterWritesFollowOn) {
  FileHandle file;
  ASSERT_EQ(open("log", FileMode::append, file), OpenResult::opened);
  std::uint64_t length = 99;
  ASSERT_TRUE(platform::fileLength(file, length));
  EXPECT_EQ(length, 0u);
  ASSERT_TRUE(platform::writeFile(file, "line 1\r\n"));
  ASSERT_TRUE(platform::fileLength(file, length));
  ASSERT_TRUE(platform::writeFile(file, "half a li"));
  ASSERT_TRUE(platform::truncateFile(file, length));
  ASSERT_TRUE(platform::writeFile(file, "line 2\r\n"));
  EXPECT_EQ(readFile(root_ / "log"), "line 1\r\nline 2\r\n");

  char bytes[16] = {};
  std::size_t count = 0;
  ASSERT_TRUE(platform::readFile(file, 6, bytes, sizeof bytes, count));
  EXPECT_EQ(std::string(bytes, count), "\r\nline 2\r\n");
  ASSERT_TRUE(platform::readFile(file, 16, bytes, sizeof bytes, count));
  EXPECT_EQ(count, 0u);
}

TEST_F(PlatformFilesTest, OneOpenHoldsTheLockUntilItIsClosed) {
  FileHandle first;
  FileHandle second;
  ASSERT_EQ(open("log", FileMode::append, first), OpenResult::opened);
  ASSERT_EQ(open("log", FileMode::append, second), OpenResult::opened);
  EXPECT_EQ(platform::lockFile(first), platform::LockResult::locked);
  EXPECT_EQ(platform::lockFile(second), platform::LockResult::heldElsewhere);
  // The lock keeps out other lockers only: the file is read and written through both.
  EXPECT_TRUE(platform::writeFile(second, "b"));
  EXPECT_EQ(readFile(root_ / "log"), "b");
  EXPECT_TRUE(platform::truncateFile(second, 0));
  EXPECT_TRUE(platform::writeFile(first, "a"));
  EXPECT_TRUE(platform::writeFile(first, "c"));
  EXPECT_EQ(readFile(root_ / "log"), "ac");
  ASSERT_TRUE(platform::closeFile(open_.front()));
  EXPECT_EQ(platform::lockFile(second), platform::LockResult::locked);
  // What the holder wrote while the second open waited stands: the lock's new holder follows it.
  EXPECT_TRUE(platform::writeFile(second, "d"));
  EXPECT_EQ(readFile(root_ / "log"), "acd");
}

TEST_F(PlatformFilesTest, SameFileOnlyWhileTheNameLeadsToTheOpenFile) {
  FileHandle file;
  ASSERT_EQ(open("log", FileMode::append, file), OpenResult::opened);
  EXPECT_TRUE(platform::isSameFile(file, root_ / "log"));
  EXPECT_TRUE(platform::isPlainFile(file));
  EXPECT_FALSE(platform::isSameFile(file, root_ / "other"));

  fs::rename(root_ / "log", root_ / "moved");
  EXPECT_FALSE(platform::isSameFile(file, root_ / "log"));
  write("log", "a new file under the old name");
  EXPECT_FALSE(platform::isSameFile(file, root_ / "log"));
  EXPECT_TRUE(platform::isSameFile(file, root_ / "moved"));

  EXPECT_TRUE(platform::removeFile(root_ / "log"));
  EXPECT_TRUE(platform::removeFile(root_ / "log"));
  EXPECT_FALSE(fs::exists(root_ / "log"));
  fs::create_directory(root_ / "folder");
  EXPECT_FALSE(platform::removeFile(root_ / "folder"));
}

}  // namespace
}  // namespace pairwick
