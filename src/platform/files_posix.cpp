// The tool's own files on POSIX: descriptors opened without following links or waiting.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/files.h"

namespace pairwick::platform {
namespace {

// A plain file of the tool's own: a regular file that no other name leads to.
bool isPlain(const struct stat& status) { return S_ISREG(status.st_mode) && status.st_nlink == 1; }

// A regular file whose last name was removed while it was being looked at or opened.
bool isRemoved(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_nlink == 0;
}

int descriptor(FileHandle file) { return static_cast<int>(file.native); }

// Opens with `flags` what the symbolic link `path` leads to, when the link belongs to the user
// running the tool or to root; -1 otherwise. The link is held while it is examined and read, so
// that the target is the one of the link that was examined, not of one swapped in meanwhile.
int openThroughOwnLink(const std::filesystem::path& path, int flags) {
#ifdef O_PATH
  const int link = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (link < 0) return -1;
  struct stat status;
  char target[PATH_MAX];
  ssize_t length = -1;
  if (fstat(link, &status) == 0 && S_ISLNK(status.st_mode) &&
      (status.st_uid == geteuid() || status.st_uid == 0)) {
    length = readlinkat(link, "", target, sizeof target);
  }
  close(link);
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof target)) return -1;
  target[length] = '\0';
  // A relative target is relative to the folder that holds the link.
  const std::filesystem::path parent = path.parent_path();
  const int folder = open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return -1;
  const int fd = openat(folder, target, flags);
  close(folder);
  return fd;
#else
  // Without a way to hold the link itself, no link is followed.
  (void)path;
  (void)flags;
  return -1;
#endif
}

}  // namespace

OpenResult openPlainFile(const std::filesystem::path& path, FileMode mode, FileHandle& file) {
  // O_APPEND in every mode: writeFile writes at the end, even after a truncation. O_NOFOLLOW
  // refuses a symbolic link as the last name, O_NONBLOCK keeps a FIFO from holding the open.
  int flags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_CREAT;
  if (mode == FileMode::append) flags |= O_RDWR;
  if (mode == FileMode::createNew) flags |= O_WRONLY | O_EXCL;
  if (mode == FileMode::replace) flags |= O_WRONLY;
  // Whatever is not a plain file is refused before it is opened: opening a device can do
  // something of its own.
  struct stat status;
  if (mode != FileMode::createNew && lstat(path.c_str(), &status) == 0 && !isPlain(status)) {
    return isRemoved(status) ? OpenResult::removed : OpenResult::failed;
  }
  const int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) return errno == EEXIST ? OpenResult::nameTaken : OpenResult::failed;
  // The entry may have been swapped between the look and the open: the open file decides.
  const bool examined = fstat(fd, &status) == 0;
  if (!examined || !isPlain(status) || (mode == FileMode::replace && ftruncate(fd, 0) != 0)) {
    close(fd);
    return examined && isRemoved(status) ? OpenResult::removed : OpenResult::failed;
  }
  file.native = fd;
  return OpenResult::opened;
}

bool openFileToRead(const std::filesystem::path& path, FileHandle& file) {
  // O_NONBLOCK: a FIFO put in the file's place between the look and the open does not hold it.
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return false;
  int fd = -1;
  if (S_ISREG(status.st_mode)) {
    fd = open(path.c_str(), flags | O_NOFOLLOW);
  } else if (S_ISLNK(status.st_mode)) {
    fd = openThroughOwnLink(path, flags);
  }
  if (fd < 0) return false;
  // Whatever the name led to by the time it was opened, only a regular file is read.
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return false;
  }
  file.native = fd;
  return true;
}

bool isPlainFile(FileHandle file) {
  struct stat status;
  return fstat(descriptor(file), &status) == 0 && isPlain(status);
}

bool isSameFile(FileHandle file, const std::filesystem::path& path) {
  struct stat opened;
  struct stat named;
  return fstat(descriptor(file), &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool writeFile(FileHandle file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(descriptor(file), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool readFile(FileHandle file, std::uint64_t offset, char* out, std::size_t size,
              std::size_t& count) {
  for (;;) {
    const ssize_t read = pread(descriptor(file), out, size, static_cast<off_t>(offset));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return false;
    count = static_cast<std::size_t>(read);
    return true;
  }
}

bool fileLength(FileHandle file, std::uint64_t& length) {
  struct stat status;
  if (fstat(descriptor(file), &status) != 0) return false;
  length = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool truncateFile(FileHandle file, std::uint64_t length) {
  return ftruncate(descriptor(file), static_cast<off_t>(length)) == 0;
}

LockResult lockFile(FileHandle file) {
  // flock, not fcntl: an fcntl lock belongs to the process and ends when any descriptor of the
  // file closes, while a flock lock belongs to this open alone.
  if (flock(descriptor(file), LOCK_EX | LOCK_NB) == 0) return LockResult::locked;
  return errno == EWOULDBLOCK ? LockResult::heldElsewhere : LockResult::failed;
}

bool closeFile(FileHandle& file) {
  const int fd = descriptor(file);
  file.native = -1;
  return close(fd) == 0;
}

bool removeFile(const std::filesystem::path& path) {
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace pairwick::platform
