// POSIX platform layer: the folder listing against the library's iterator, names without a narrow
// form, and a thread's lowered priority.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/code_page.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

class PlatformFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = testing_support::makeScratchFolder("pairwick-folder-"); }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(PlatformFolderTest, ListsWhatTheLibraryIteratorListsInItsOrder) {
  fs::create_directories(root_ / "a" / "b");
  fs::create_directories(root_ / "e");
  std::ofstream(root_ / "f.txt") << "x";
  fs::create_symlink("a", root_ / "link-to-a");
  fs::create_symlink("missing", root_ / "dangling");

  using Entry = std::pair<std::string, platform::EntryKind>;
  std::vector<Entry> expected;
  for (const fs::directory_entry& entry : fs::directory_iterator(root_)) {
    expected.emplace_back(entry.path().filename().native(),
                          entry.is_symlink()     ? platform::EntryKind::link
                          : entry.is_directory() ? platform::EntryKind::folder
                                                 : platform::EntryKind::file);
  }
  const platform::FolderListing listing = platform::readFolder(root_, nullptr);
  std::vector<Entry> listed;
  std::size_t start = 0;
  for (const platform::EntryKind kind : listing.kinds) {
    const std::size_t end = listing.names.find('\0', start);
    listed.emplace_back(listing.names.substr(start, end - start), kind);
    start = end + 1;
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(start, listing.names.size());
  EXPECT_TRUE(listing.namesResolve);
}

TEST_F(PlatformFolderTest, FailuresCarryTheLibraryIteratorsMessages) {
  std::ofstream(root_ / "file") << "x";
  const auto messageOf = [](const auto& action) {
    try {
      action();
    } catch (const fs::filesystem_error& failure) {
      return std::string(failure.what());
    }
    return std::string();
  };
  const std::string startMessage =
      messageOf([&] { fs::recursive_directory_iterator it(root_ / "file"); });
  EXPECT_FALSE(startMessage.empty());
  EXPECT_EQ(messageOf([&] { platform::readFolder(root_ / "file", nullptr); }), startMessage);
}

// A folder met during the walk is read only as the folder its parent's listing named: whatever
// takes its place, or the place of a folder on the way to it, is never read through.
TEST_F(PlatformFolderTest, DescendingReadsOnlyTheFolderListed) {
  struct Case {
    std::string name;
    std::string change;   // shell command run in the scratch folder after d and d/e were listed
    std::string listed;   // the names read from d/e, or
    std::string failure;  // the failure's message, "@" standing for the scratch folder
  };
  const std::string prefix = "filesystem error: cannot increment recursive directory iterator: ";
  const std::vector<Case> cases = {
      {"unchanged", "true", "inner.txt", ""},
      {"another folder in its place", "mv d/e d/old && mkdir d/e && : > d/e/new.txt", "new.txt",
       ""},
      {"link in its place", "mv d/e d/old && ln -s ../elsewhere/e d/e", "",
       prefix + "Too many levels of symbolic links [@/d/e]"},
      // The same folder, whose identity the listing's matches: only the link itself tells.
      {"link to the moved folder itself", "mv d/e d/moved && ln -s moved d/e", "",
       prefix + "Too many levels of symbolic links [@/d/e]"},
      {"dangling link in its place", "mv d/e d/old && ln -s nowhere d/e", "",
       prefix + "Too many levels of symbolic links [@/d/e]"},
      {"link on the way", "mv d old && ln -s elsewhere d", "",
       prefix + "Too many levels of symbolic links [@/d]"},
      {"file in its place", "rm -r d/e && : > d/e", "", prefix + "Not a directory [@/d/e]"},
      {"file on the way", "rm -r d && : > d", "", prefix + "Not a directory [@/d]"},
      {"removed", "rm -r d/e", "", prefix + "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path top = root_ / c.name;
    fs::create_directories(top / "d" / "e");
    fs::create_directories(top / "elsewhere" / "e");
    std::ofstream(top / "d" / "e" / "inner.txt") << "x";
    std::ofstream(top / "elsewhere" / "e" / "secret.txt") << "x";
    const std::size_t topLength = top.native().size();
    const platform::FolderListing first = platform::readFolder(top, nullptr);
    const std::size_t d = first.names.find("d") == 0 ? 0 : 1;
    ASSERT_EQ(first.subfolders.size(), 2u);
    const platform::ListedFolder listedD{topLength, first.subfolders[d]};
    const platform::FolderListing second = platform::readFolder(top / "d", &listedD);
    ASSERT_EQ(second.subfolders.size(), 1u);
    const platform::ListedFolder listedE{topLength, second.subfolders[0]};

    ASSERT_EQ(std::system(("cd '" + top.native() + "' && " + c.change).c_str()), 0);
    std::string listed;
    std::string failure;
    try {
      const platform::FolderListing read = platform::readFolder(top / "d" / "e", &listedE);
      listed = read.names.substr(0, read.names.find('\0'));
      EXPECT_EQ(read.kinds.size(), 1u);
    } catch (const fs::filesystem_error& error) {
      failure = error.what();
    }
    EXPECT_EQ(listed, c.listed);
    std::string expected = c.failure;
    if (expected.find('@') != std::string::npos) expected.replace(expected.find('@'), 1, top);
    EXPECT_EQ(failure, expected);
  }
}

// No Windows name holds a C0 control character, and a line-based report cannot carry LF or CR.
// A message that names such a path shows '?' in the character's place, never the byte itself.
TEST(PlatformPosixTest, ControlCharactersHaveNoNarrowForm) {
  for (const char control : {'\x01', '\t', '\n', '\r', '\x1B', '\x1F'}) {
    const std::string name = std::string("a") + control + "b";
    EXPECT_THROW(platform::narrowPath(fs::path(name)), std::system_error) << int(control);
    NarrowText out;
    EXPECT_FALSE(platform::appendNarrowName(name, out)) << int(control);
    EXPECT_EQ(platform::narrowPathReplacing(fs::path(name)), "a?b") << int(control);
  }
  EXPECT_EQ(platform::narrowPath(fs::path("a b\x7F")), "a b\x7F");
  EXPECT_EQ(platform::narrowPathReplacing(fs::path("a b\x7F")), "a b\x7F");
}

#ifdef __linux__
// The reader threads yield to the walk's thread: only the thread that asks is lowered, as far as
// it can be.
TEST(PlatformPosixTest, LoweredPriorityIsTheCallingThreadsAlone) {
  const auto niceOf = [] {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    EXPECT_EQ(errno, 0);
    return nice;
  };
  const int before = niceOf();
  int lowered = 0;
  int loweredFurther = 0;
  testing_support::finishWithin("a thread that lowers its priority", [&] {
    platform::lowerThreadPriority();
    lowered = niceOf();
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), lowered + 1);
    loweredFurther = niceOf();
  });
  EXPECT_GT(lowered, before);
  EXPECT_EQ(loweredFurther, lowered) << "the thread could have been lowered further";
  EXPECT_EQ(niceOf(), before);
}
#endif

}  // namespace
}  // namespace pairwick
