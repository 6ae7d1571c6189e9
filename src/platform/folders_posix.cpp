// Folder listings on Linux: one descriptor per folder, its records read whole with getdents64.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/folders.h"
#include "platform/search_right_posix.h"

namespace pairwick::platform {
namespace {

// A failure on the walk's way down, as the library's recursive iterator words it.
[[noreturn]] void throwDescendingFailure(int error) {
  throw std::filesystem::filesystem_error("cannot increment recursive directory iterator",
                                          std::error_code(error, std::generic_category()));
}

bool sameIdentity(const struct stat& status, const FolderIdentity& identity) {
  return static_cast<std::uint64_t>(status.st_dev) == identity.device &&
         static_cast<std::uint64_t>(status.st_ino) == identity.node;
}

// How a file system's listings number its folders: as their status does (most local file
// systems, whose mount points alone are numbered otherwise), or otherwise (many FUSE file systems,
// SMB and SSH clients among them, whose listings give no numbers). Learnt per device from the
// first folder entry whose status is taken through its listed parent, never from the file
// system's name.
enum class ListingNumbers : unsigned char { unknown, own, other };

struct DeviceNumbering {
  std::uint64_t device;
  ListingNumbers numbers;
};

// What the walks of the process have learnt so far: a handful of devices at most.
std::mutex numberingLock;
std::vector<DeviceNumbering> numberings;

// What is known of `device`; `learnt`, when not unknown, is recorded first unless something is
// known already (the first walk to learn it wins).
ListingNumbers listingNumbers(std::uint64_t device,
                              ListingNumbers learnt = ListingNumbers::unknown) {
  const std::lock_guard<std::mutex> lock(numberingLock);
  for (const DeviceNumbering& known : numberings) {
    if (known.device == device) return known.numbers;
  }
  if (learnt != ListingNumbers::unknown) numberings.push_back({device, learnt});
  return learnt;
}

FolderIdentity ownIdentity(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          true};
}

#ifdef O_PATH
constexpr int kWayOnly = O_PATH;
#else
constexpr int kWayOnly = O_RDONLY;
#endif

// Opens the folder `path` for reading from the walk's first folder (its first `topLength` bytes)
// down, one name at a time relative to the folder before it, following no link, with two
// descriptors open at most. A link or non-folder on the way ends it with a failure that names the
// path where it was found; so does a folder listed with its own numbers (`listed` and those above
// it) that is numbered otherwise now: on a file server that resolves links itself, a link shows
// as the folder it leads to, and only its numbers tell.
int openFromTop(const std::string& path, const ListedFolder& listed) {
  std::vector<const ListedFolder*> listedWay;
  for (const ListedFolder* at = &listed; at != nullptr; at = at->above.get()) {
    listedWay.push_back(at);
  }
  std::reverse(listedWay.begin(), listedWay.end());
  const std::size_t topLength = listed.topLength;
  int fd = open(path.substr(0, topLength).c_str(), kWayOnly | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throwDescendingFailure(errno);
  std::string name;
  int error = 0;
  std::size_t end = topLength;
  try {
    std::size_t step = 0;
    for (std::size_t start = topLength; start < path.size(); start = end) {
      if (path[start] == '/') {
        end = start + 1;
        continue;
      }
      end = std::min(path.find('/', start), path.size());
      name.assign(path, start, end - start);
      const bool last = path.find_first_not_of('/', end) == std::string::npos;
      const int next = openat(fd, name.c_str(),
                              (last ? O_RDONLY : kWayOnly) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0) {
        error = errno;
        break;
      }
      const FolderIdentity* const expected =
          step < listedWay.size() && listedWay[step]->identity.own ? &listedWay[step]->identity
                                                                   : nullptr;
      ++step;
      if (expected != nullptr) {
        struct stat status;
        const int fault = fstat(next, &status) != 0         ? errno
                          : sameIdentity(status, *expected) ? 0
                                                            : ENOTDIR;
        if (fault != 0) {
          close(next);
          close(fd);
          throw std::filesystem::filesystem_error("cannot increment recursive directory iterator",
                                                  path.substr(0, end),
                                                  std::error_code(fault, std::generic_category()));
        }
      }
      close(fd);
      fd = next;
    }
  } catch (...) {
    close(fd);
    throw;
  }
  if (error == 0) return fd;
  struct stat status;
  const bool link =
      fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
  close(fd);
  if (error != ENOTDIR && error != ELOOP) throwDescendingFailure(error);
  throw std::filesystem::filesystem_error(
      "cannot increment recursive directory iterator", path.substr(0, end),
      std::error_code(link ? ELOOP : ENOTDIR, std::generic_category()));
}

// The system's records of a folder are read this many bytes at a time: on a file server each read
// is a round trip.
constexpr std::size_t kRecordBlock = 64 * 1024;

template <typename Field>
Field recordField(const char* record, std::size_t offset) {
  Field field;
  std::memcpy(&field, record + offset, sizeof field);
  return field;
}

// The identity of the subfolder `name` of the folder open at `fd`, listed with the number `node`.
// Where the folder's file system numbers folders in listings otherwise than their status does,
// the subfolder's own numbers are taken from its status, asked through the open parent (the
// kernel keeps what the look-up found, so that the later open of the subfolder by its path asks
// a file server nothing more): the check when it is read stays an identity check. The first
// subfolder of a device whose numbering is not known yet tells it (`numbers`, the listing's
// knowledge of its device, is updated then).
FolderIdentity subfolderIdentity(int fd, const char* name, std::uint64_t node, std::uint64_t device,
                                 ListingNumbers& numbers) {
  if (numbers == ListingNumbers::own) return {device, node};
  struct stat status;
  // One that cannot be looked at, or is no folder any more, keeps its listed number: it fails
  // its check when it is read, as it would have.
  if (fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
    return {device, node};
  }
  if (numbers == ListingNumbers::unknown) {
    // A mount point is numbered otherwise everywhere: it tells nothing of the listings.
    if (static_cast<std::uint64_t>(status.st_dev) != device) return {device, node};
    const bool own = static_cast<std::uint64_t>(status.st_ino) == node;
    numbers = listingNumbers(device, own ? ListingNumbers::own : ListingNumbers::other);
    if (numbers == ListingNumbers::own) return {device, node};
  }
  return ownIdentity(status);
}

// Reads the entries of the folder `folder`, open at `fd`, into `listing` from the system's records,
// with no directory stream made of the descriptor (which would ask for its status and flags
// again). Returns 0 at the folder's end, or the error that ended the reading; `anyUnlinked` tells
// whether some entry is no link. An entry of a kind the records leave open whose status cannot be
// read throws, naming the entry: taken for a file, a folder's whole subtree would be missing
// without a word.
int readEntries(int fd, const std::filesystem::path& folder, FolderListing& listing,
                bool& anyUnlinked) {
  // Each thread's own, in its static thread storage: nothing to allocate per listing, no destructor
  // to register for a thread (which the C library cannot do once memory runs out), and only the
  // pages that listings fill are ever touched.
  alignas(8) thread_local char block[kRecordBlock];
  listing.names.reserve(256);
  listing.kinds.reserve(16);
  ListingNumbers numbers = listingNumbers(listing.identity.device);
  for (;;) {
    const ssize_t length = getdents64(fd, block, kRecordBlock);
    if (length == 0) return 0;
    if (length < 0) return errno;
    for (ssize_t at = 0; at < length;) {
      const char* const record = block + at;
      at += recordField<unsigned short>(record, offsetof(struct dirent64, d_reclen));
      const char* const name = record + offsetof(struct dirent64, d_name);
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      unsigned char type = recordField<unsigned char>(record, offsetof(struct dirent64, d_type));
      const std::uint64_t node =
          recordField<std::uint64_t>(record, offsetof(struct dirent64, d_ino));
      bool statusRead = false;
      struct stat entry;
      if (type == DT_UNKNOWN) {
        if (fstatat(fd, name, &entry, AT_SYMLINK_NOFOLLOW) == 0) {
          type = S_ISLNK(entry.st_mode) ? DT_LNK : S_ISDIR(entry.st_mode) ? DT_DIR : DT_REG;
          statusRead = true;
        } else if (const int error = errno; error != ENOENT) {
          // The same end as a listing that cannot be read on: nothing of the folder is kept.
          throw std::filesystem::filesystem_error("cannot increment recursive directory iterator",
                                                  folder / name,
                                                  std::error_code(error, std::generic_category()));
        }
        // An entry removed since it was listed is no folder to descend into: it is kept under
        // its own name, as one removed before it is resolved is.
      }
      listing.names.append(name).push_back('\0');
      listing.kinds.push_back(type == DT_LNK   ? EntryKind::link
                              : type == DT_DIR ? EntryKind::folder
                                               : EntryKind::file);
      if (type != DT_LNK) anyUnlinked = true;
      if (type == DT_DIR) {
        // An untyped entry's status, read already, is the folder's own identity: it is not asked
        // for a second time.
        listing.subfolders.push_back(
            statusRead ? ownIdentity(entry)
                       : subfolderIdentity(fd, name, node, listing.identity.device, numbers));
      }
    }
  }
}

}  // namespace

FolderListing readFolder(const std::filesystem::path& folder, const ListedFolder* listed) {
  // A folder met during the walk was no link when it was listed; if it has become one since, it
  // is not followed. Nor is one on the way to it: the folder opened must be the one listed.
  const bool descending = listed != nullptr;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (descending ? O_NOFOLLOW : 0));
  if (fd < 0) {
    const int error = errno;
    if (!descending) {
      throw std::filesystem::filesystem_error("recursive directory iterator cannot open directory",
                                              folder,
                                              std::error_code(error, std::generic_category()));
    }
    if (error != ENOTDIR && error != ELOOP) throwDescendingFailure(error);
    fd = openFromTop(folder.native(), *listed);
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    close(fd);
    throwDescendingFailure(error);
  }
  if (descending && !sameIdentity(status, listed->identity)) {
    // Something on the way has changed since the parent was listed, or the listing numbers this
    // folder otherwise than the folder itself does (a mount point): the way is taken again, one
    // name at a time, each folder listed with its own numbers held to them.
    close(fd);
    fd = openFromTop(folder.native(), *listed);
    if (fstat(fd, &status) != 0) {
      const int error = errno;
      close(fd);
      throwDescendingFailure(error);
    }
  }
  FolderListing listing;
  listing.identity = {static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino)};
  int error = 0;
  bool anyUnlinked = false;
  try {
    error = readEntries(fd, folder, listing, anyUnlinked);
    // Only entries of a folder that can be searched can be resolved at all. The file system is
    // asked only when the mode cannot tell and some entry would be taken by its name.
    const SearchRight right = searchRight(status.st_mode, status.st_uid, geteuid());
    listing.namesResolve =
        right == SearchRight::granted ||
        (right == SearchRight::unknown && anyUnlinked && faccessat(fd, ".", X_OK, AT_EACCESS) == 0);
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  // Reading on fails as the library's iterator does, on descending or not.
  if (error != 0) throwDescendingFailure(error);
  return listing;
}

}  // namespace pairwick::platform
