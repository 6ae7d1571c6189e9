// POSIX platform layer: the folder listing against the library's iterator, the right to search a
// folder, names without a narrow form, and a thread's lowered priority.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/code_page.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "platform/search_right_posix.h"
#include "testing/bounded_wait.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace platform {

void PrintTo(SearchRight right, std::ostream* out) {
  *out << (right == SearchRight::granted   ? "granted"
           : right == SearchRight::refused ? "refused"
                                           : "unknown");
}

}  // namespace platform
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
  // More names than one read of the system's records holds.
  for (int i = 0; i < 600; ++i) {
    testing_support::touch(root_ / (std::to_string(i) + std::string(250, 'n')));
  }

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
  ASSERT_EQ(listed.size(), expected.size());
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

// A FUSE mirror of `source` at `mountpoint` (tests/fault_fs.cpp, no fault): its listings number no
// folder (d_ino is FUSE's "unknown"), its status gives each its node, and a rename through it moves
// its node with the name, as on a file server's client. Mounting it needs root and /dev/fuse
// (CI runs as root); elsewhere the local disk alone is checked. Taken down when it goes out of
// scope.
class FuseMirror {
 public:
  FuseMirror(const fs::path& source, const fs::path& mountpoint) : mountpoint_(mountpoint) {
#ifdef PAIRWICK_FAULT_FS
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) return;
    fs::create_directories(mountpoint);
    // The file system detaches once mounted: the command returns with the mount in place, or is
    // given up on.
    const std::string command =
        "timeout -s KILL " + std::to_string(testing_support::kPatience.count()) +
        " '" PAIRWICK_FAULT_FS "' '" + source.native() + "' '" + mountpoint.native() + "'";
    mounted_ = std::system(command.c_str()) == 0;
#else
    (void)source;
#endif
  }
  ~FuseMirror() {
    if (mounted_) umount2(mountpoint_.c_str(), MNT_DETACH);
  }
  FuseMirror(const FuseMirror&) = delete;
  FuseMirror& operator=(const FuseMirror&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path mountpoint_;
  bool mounted_ = false;
};

// A folder met during the walk is read only as the folder its parent's listing named: whatever
// takes its place, or the place of a folder on the way to it, is never read through. On a local
// disk and on a FUSE mirror whose listings number no folder, as a file share's client's do: there
// a listed folder's identity is its own status's, so that a folder moved into its place through
// the mount is refused as not the one listed (a file server resolves its links itself, and only
// the numbers tell), while the listing still costs no open of each folder from the top.
TEST_F(PlatformFolderTest, DescendingReadsOnlyTheFolderListed) {
  struct Outcome {
    std::string listed;   // the names read from d/e, or
    std::string failure;  // the failure's message, "@" standing for the tree's top
  };
  struct Case {
    std::string name;
    std::string change;  // shell command run in the tree after d and d/e were listed
    bool throughMount;   // run in the tree as the mirror shows it, not in its source
    Outcome local;
    Outcome mirrored;
  };
  const std::string prefix = "filesystem error: cannot increment recursive directory iterator: ";
  const Outcome linkInPlace{"", prefix + "Too many levels of symbolic links [@/d/e]"};
  const std::vector<Case> cases = {
      {"unchanged", "true", false, {"inner.txt", ""}, {"inner.txt", ""}},
      {"another folder in its place",
       "mv d/e d/old && mkdir d/e && : > d/e/new.txt",
       false,
       {"new.txt", ""},
       {"new.txt", ""}},
      {"another folder moved into its place",
       "mv d/e d/old && mv elsewhere/e d/e",
       true,
       {"secret.txt", ""},
       {"", prefix + "Not a directory [@/d/e]"}},
      {"folder on the way moved into its place",
       "mv d old && mkdir d && mv elsewhere/e d/e",
       true,
       {"secret.txt", ""},
       {"", prefix + "Not a directory [@/d]"}},
      {"link in its place", "mv d/e d/old && ln -s ../elsewhere/e d/e", false, linkInPlace,
       linkInPlace},
      // The same folder, whose identity the listing's matches: only the link itself tells.
      {"link to the moved folder itself", "mv d/e d/moved && ln -s moved d/e", false, linkInPlace,
       linkInPlace},
      {"dangling link in its place", "mv d/e d/old && ln -s nowhere d/e", false, linkInPlace,
       linkInPlace},
      {"link on the way",
       "mv d old && ln -s elsewhere d",
       false,
       {"", prefix + "Too many levels of symbolic links [@/d]"},
       {"", prefix + "Too many levels of symbolic links [@/d]"}},
      {"file in its place",
       "rm -r d/e && : > d/e",
       false,
       {"", prefix + "Not a directory [@/d/e]"},
       {"", prefix + "Not a directory [@/d/e]"}},
      {"file on the way",
       "rm -r d && : > d",
       false,
       {"", prefix + "Not a directory [@/d]"},
       {"", prefix + "Not a directory [@/d]"}},
      {"removed",
       "rm -r d/e",
       false,
       {"", prefix + "No such file or directory"},
       {"", prefix + "No such file or directory"}},
  };
  const fs::path source = root_ / "source";
  const fs::path mirror = root_ / "mirror";
  fs::create_directories(source);
  FuseMirror mount(source, mirror);
  if (!mount.mounted()) std::printf("no FUSE mirror here (root, /dev/fuse): local disk only\n");
  for (const bool mirrored : {false, true}) {
    if (mirrored && !mount.mounted()) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name + (mirrored ? " on the FUSE mirror" : " on the local disk"));
      const std::string row = mirrored ? "mirrored" : "local";
      const fs::path made = source / row / c.name;
      const fs::path top = (mirrored ? mirror : source) / row / c.name;
      fs::create_directories(made / "d" / "e");
      fs::create_directories(made / "elsewhere" / "e");
      std::ofstream(made / "d" / "e" / "inner.txt") << "x";
      std::ofstream(made / "elsewhere" / "e" / "secret.txt") << "x";
      const std::size_t topLength = top.native().size();
      const platform::FolderListing first = platform::readFolder(top, nullptr);
      const std::size_t d = first.names.find("d") == 0 ? 0 : 1;
      ASSERT_EQ(first.subfolders.size(), 2u);
      const auto listedD = std::make_shared<const platform::ListedFolder>(
          platform::ListedFolder{topLength, first.subfolders[d], nullptr});
      const platform::FolderListing second = platform::readFolder(top / "d", listedD.get());
      ASSERT_EQ(second.subfolders.size(), 1u);
      // Each listed with the folder's own numbers: on the mirror, from its status.
      struct stat status;
      ASSERT_EQ(stat((top / "d" / "e").c_str(), &status), 0);
      EXPECT_EQ(second.subfolders[0].node, static_cast<std::uint64_t>(status.st_ino));
      EXPECT_EQ(second.subfolders[0].own, mirrored);
      const platform::ListedFolder listedE{topLength, second.subfolders[0], listedD};

      const fs::path changed = c.throughMount ? top : made;
      ASSERT_EQ(std::system(("cd '" + changed.native() + "' && " + c.change).c_str()), 0);
      std::string listed;
      std::string failure;
      try {
        // The way to d/e is looked at again one name at a time, links met on it: with a deadline.
        const platform::FolderListing read = testing_support::finishWithin(
            "the listing of d/e once " + c.name,
            [&] { return platform::readFolder(top / "d" / "e", &listedE); });
        listed = read.names.substr(0, read.names.find('\0'));
        EXPECT_EQ(read.kinds.size(), 1u);
      } catch (const fs::filesystem_error& error) {
        failure = error.what();
      }
      const Outcome& expected = mirrored ? c.mirrored : c.local;
      EXPECT_EQ(listed, expected.listed);
      std::string expectedFailure = expected.failure;
      if (expectedFailure.find('@') != std::string::npos) {
        expectedFailure.replace(expectedFailure.find('@'), 1, top);
      }
      EXPECT_EQ(failure, expectedFailure);
    }
  }
}

// Runs as user 65534 while it lives (root may be anyone else for a while: every thread of the
// process takes the effective user).
class AsUser65534 {
 public:
  AsUser65534() {
    if (seteuid(65534) != 0) ADD_FAILURE() << "cannot run as user 65534";
  }
  ~AsUser65534() {
    if (seteuid(0) != 0) ADD_FAILURE() << "cannot run as root again";
  }
};

// An access list of the form the kernel keeps in "system.posix_acl_access": the mode's classes,
// with user 65534 given `named` (rwx bits) under a mask of the mode's group class.
std::string accessListNaming65534(mode_t mode, unsigned named) {
  std::string list;
  const auto put = [&list](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) list.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  const auto entry = [&put](unsigned tag, unsigned permissions, std::uint32_t id) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  };
  const std::uint32_t noId = 0xFFFFFFFF;
  put(2, 4);                           // version
  entry(0x01, (mode >> 6) & 7, noId);  // owner
  entry(0x02, named, 65534);           // user 65534
  entry(0x04, (mode >> 3) & 7, noId);  // owning group
  entry(0x10, (mode >> 3) & 7, noId);  // mask
  entry(0x20, mode & 7, noId);         // others
  return list;
}

// The names of a folder are vouched for exactly when the process may search it, whether the mode
// tells or the file system must be asked: a folder that may be listed but not searched has
// names that cannot be resolved, and a searchable one needs no entry resolved one by one.
TEST_F(PlatformFolderTest, NamesResolveExactlyInFoldersThatMayBeSearched) {
  if (geteuid() != 0) GTEST_SKIP() << "folders of other users, and runs as another user";
  // The process keeps root's groups: group 0 is its own, 65534 is not.
  struct Case {
    std::string name;
    mode_t mode;
    uid_t owner;
    gid_t group;
    bool asRoot;  // otherwise as user 65534
    int named;    // rwx bits of an access list's entry for user 65534, or -1 for no list
    bool namesResolve;
  };
  const std::vector<Case> cases = {
      {"own folder", 0755, 65534, 65534, false, -1, true},
      {"own folder without search", 0644, 65534, 65534, false, -1, false},
      {"own folder searchable only by others", 0607, 65534, 65534, false, -1, false},
      {"another's folder", 0755, 0, 65534, false, -1, true},
      {"another's folder searchable by the process's group", 0750, 0, 0, false, -1, true},
      {"another's folder searchable by another group", 0754, 0, 65534, false, -1, false},
      {"another's folder searchable by others, not the process's group", 0745, 0, 0, false, -1,
       false},
      {"another's folder without search", 0444, 0, 65534, false, -1, false},
      {"listed but kept from search by an access list", 0755, 0, 65534, false, 4, false},
      {"searchable through an access list", 0754, 0, 65534, false, 5, true},
      {"root in a folder searchable by its owner", 0700, 65534, 65534, true, -1, true},
      {"root in a folder without permissions", 0, 0, 0, true, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = root_ / c.name;
    fs::create_directory(folder);
    testing_support::touch(folder / "file");
    ASSERT_EQ(chown(folder.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
    if (c.named >= 0) {
      const std::string list = accessListNaming65534(c.mode, static_cast<unsigned>(c.named));
      if (setxattr(folder.c_str(), "system.posix_acl_access", list.data(), list.size(), 0) != 0) {
        if (errno == ENOTSUP) GTEST_SKIP() << "no access lists on " << root_;
        FAIL() << "cannot set the access list: " << std::strerror(errno);
      }
      struct stat status;
      ASSERT_EQ(stat(folder.c_str(), &status), 0);
      ASSERT_EQ(status.st_mode & 07777, c.mode) << "the mode shows the mask as its group class";
    }
    platform::FolderListing listing;
    if (c.asRoot) {
      listing = platform::readFolder(folder, nullptr);
    } else {
      AsUser65534 asUser;
      listing = platform::readFolder(folder, nullptr);
    }
    EXPECT_EQ(listing.names, std::string("file", 5));
    EXPECT_EQ(listing.namesResolve, c.namesResolve);
  }
}

// Whether the mode settles the right to search a folder for the process. Only the owner's class
// is beyond an access list's reach, and a file server may take root for anyone.
TEST(PlatformPosixTest, SearchRightThatTheModeSettles) {
  using platform::SearchRight;
  struct Case {
    std::string name;
    std::uint32_t mode;
    std::uint32_t owner;
    std::uint32_t user;
    SearchRight right;
  };
  const std::vector<Case> cases = {
      {"owner with search", S_IFDIR | 0700, 1000, 1000, SearchRight::granted},
      {"owner without search, others with", S_IFDIR | 0677, 1000, 1000, SearchRight::refused},
      {"owner who may only read", S_IFDIR | 0400, 1000, 1000, SearchRight::refused},
      {"another user, search for everyone", S_IFDIR | 0755, 1000, 1001, SearchRight::unknown},
      {"another user, search for the group", S_IFDIR | 0750, 1000, 1001, SearchRight::unknown},
      {"another user, search for others", S_IFDIR | 0705, 1000, 1001, SearchRight::unknown},
      {"another user, search for the owner only", S_IFDIR | 0744, 1000, 1001, SearchRight::refused},
      {"another user, sticky folder without search", S_IFDIR | 01666, 0, 1001,
       SearchRight::refused},
      {"root, search for everyone", S_IFDIR | 0755, 0, 0, SearchRight::granted},
      {"root, search for everyone in another's folder", S_IFDIR | 0711, 1000, 0,
       SearchRight::granted},
      {"root, search for its own class only", S_IFDIR | 0700, 0, 0, SearchRight::unknown},
      {"root, search for all but others", S_IFDIR | 0750, 0, 0, SearchRight::unknown},
      {"root, no permissions", S_IFDIR | 0000, 0, 0, SearchRight::unknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::searchRight(c.mode, c.owner, c.user), c.right) << c.name;
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
