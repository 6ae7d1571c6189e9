// Folder listings on POSIX: one descriptor per folder, read whole through readdir.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#include "platform/folders.h"

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

#ifdef O_PATH
constexpr int kWayOnly = O_PATH;
#else
constexpr int kWayOnly = O_RDONLY;
#endif

// Opens the folder `path` for reading from the walk's first folder (its first `topLength` bytes)
// down, one name at a time relative to the folder before it, following no link, with two
// descriptors open at most. A link or non-folder on the way ends it with a failure that names the
// path where it was found.
int openFromTop(const std::string& path, std::size_t topLength) {
  int fd = open(path.substr(0, topLength).c_str(), kWayOnly | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throwDescendingFailure(errno);
  std::string name;
  int error = 0;
  std::size_t end = topLength;
  try {
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
    fd = openFromTop(folder.native(), listed->topLength);
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    close(fd);
    throwDescendingFailure(error);
  }
  if (descending && !sameIdentity(status, listed->identity)) {
    // Something on the way has changed since the parent was listed, or the listing numbers this
    // folder otherwise than the folder itself does (a mount point, some file systems): the way
    // is taken again, one name at a time.
    close(fd);
    fd = openFromTop(folder.native(), listed->topLength);
    if (fstat(fd, &status) != 0) {
      const int error = errno;
      close(fd);
      throwDescendingFailure(error);
    }
  }
  DIR* const stream = fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    throwDescendingFailure(error);
  }
  FolderListing listing;
  listing.names.reserve(256);
  listing.kinds.reserve(16);
  listing.identity = {static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino)};
  // Only entries of a folder that can be searched can be resolved at all.
  listing.namesResolve = faccessat(fd, ".", X_OK, AT_EACCESS) == 0;
  int error = 0;
  try {
    for (;;) {
      errno = 0;
      const struct dirent* found = readdir(stream);
      if (found == nullptr) {
        error = errno;
        break;
      }
      const char* name = found->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      unsigned char type = found->d_type;
      std::uint64_t node = found->d_ino;
      struct stat entry;
      if (type == DT_UNKNOWN && fstatat(fd, name, &entry, AT_SYMLINK_NOFOLLOW) == 0) {
        type = S_ISLNK(entry.st_mode) ? DT_LNK : S_ISDIR(entry.st_mode) ? DT_DIR : DT_REG;
        node = entry.st_ino;
      }
      listing.names.append(name).push_back('\0');
      listing.kinds.push_back(type == DT_LNK   ? EntryKind::link
                              : type == DT_DIR ? EntryKind::folder
                                               : EntryKind::file);
      if (type == DT_DIR) listing.subfolders.push_back({listing.identity.device, node});
    }
  } catch (...) {
    closedir(stream);
    throw;
  }
  closedir(stream);
  // Reading on fails as the library's iterator does, on descending or not.
  if (error != 0) throwDescendingFailure(error);
  return listing;
}

}  // namespace pairwick::platform
