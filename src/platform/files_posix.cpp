// The tool's own files on POSIX: descriptors opened without following links or waiting.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

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

// A file under an output's name is the run's own only when it belongs to the user running the
// tool: root's files are another user's for everybody else's runs.
bool isOwn(const struct stat& status) { return status.st_uid == geteuid(); }

// A symbolic link is followed only when it belongs to the user running the tool or to root, the
// rule the kernel applies to links in sticky folders.
bool isTrustedLink(const struct stat& status) { return isOwn(status) || status.st_uid == 0; }

// The most symbolic links one open follows before it gives ELOOP, as the kernel counts them.
constexpr int kMaxLinksFollowed = 40;

#ifdef O_PATH
// Looks at an entry without opening it: a link is held itself, a device is not opened, a folder
// needs only to be searchable.
constexpr int kLookOnly = O_PATH;
#else
// Without a way to hold an entry unopened, a link cannot be read as the one examined: O_NOFOLLOW
// refuses every link on the way.
constexpr int kLookOnly = O_RDONLY | O_NONBLOCK | O_NOCTTY;
#endif

// Opens the regular file `path` with `flags`, one name at a time from the root or the working
// directory, each name looked up in the folder held before it and no link followed by the system.
// A symbolic link met anywhere (as the last name, as a folder on the way, in the target of one
// followed before) is held while its owner and target are read, then followed from the folder that
// holds it when it is trusted. Returns the descriptor, or -1 with errno set.
int openAlongTrustedLinks(const std::string& path, int flags) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  int folder = open(path.front() == '/' ? "/" : ".", kLookOnly | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return -1;
  std::string rest = path;  // what is left of the way, from `start` on
  std::size_t start = 0;
  std::string name;
  int linksFollowed = 0;
  int error = 0;
  int fd = -1;
  try {
    for (;;) {
      start = rest.find_first_not_of('/', start);
      if (start == std::string::npos) {
        error = EISDIR;  // the way ends at a folder
        break;
      }
      const std::size_t end = std::min(rest.find('/', start), rest.size());
      name.assign(rest, start, end - start);
      // A name followed by a slash, even the last one, must be a folder.
      const bool folderNamed = end < rest.size();
      start = end;
      const int entry = openat(folder, name.c_str(), kLookOnly | O_NOFOLLOW | O_CLOEXEC);
      struct stat status;
      if (entry < 0 || fstat(entry, &status) != 0) {
        error = errno;
        if (entry >= 0) close(entry);
        break;
      }
      if (S_ISDIR(status.st_mode)) {
        close(folder);
        folder = entry;
        continue;
      }
      if (S_ISLNK(status.st_mode)) {
        char target[PATH_MAX];
        ssize_t length = -1;
        if (!isTrustedLink(status)) {
          error = EACCES;
        } else if (++linksFollowed > kMaxLinksFollowed) {
          error = ELOOP;
        } else {
          length = readlinkat(entry, "", target, sizeof target);
          if (length < 0) error = errno;
          if (length == 0) error = ENOENT;
          if (length >= static_cast<ssize_t>(sizeof target)) error = ENAMETOOLONG;
        }
        close(entry);
        if (error != 0) break;
        // The target takes the link's place; a relative one starts in the folder that holds the
        // link, an absolute one at the root.
        rest.replace(0, start, target, static_cast<std::size_t>(length));
        start = 0;
        if (target[0] == '/') {
          const int top = open("/", kLookOnly | O_DIRECTORY | O_CLOEXEC);
          if (top < 0) {
            error = errno;
            break;
          }
          close(folder);
          folder = top;
        }
        continue;
      }
      close(entry);
      if (folderNamed) {
        error = ENOTDIR;
      } else if (!S_ISREG(status.st_mode)) {
        // Opening a device can do something of its own; a FIFO or socket is no file to read.
        error = EINVAL;
      } else {
        // The entry examined was a regular file; whatever has taken its name since is no link
        // (O_NOFOLLOW), and O_NONBLOCK keeps a FIFO from holding the open.
        fd = openat(folder, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) error = errno;
      }
      break;
    }
  } catch (...) {
    close(folder);
    throw;
  }
  close(folder);
  if (fd < 0) errno = error;
  return fd;
}

// Keeps the descriptor `fd` of an output in `file` when it is a plain file the run may write: one
// it has just created, or one of its own (emptied first in replace mode).
OpenResult keepOutput(int fd, bool created, FileMode mode, FileHandle& file) {
  struct stat status;
  const bool examined = fstat(fd, &status) == 0;
  if (!examined || !isPlain(status) ||
      (!created && (!isOwn(status) || (mode == FileMode::replace && ftruncate(fd, 0) != 0)))) {
    close(fd);
    return examined && isRemoved(status) ? OpenResult::removed : OpenResult::failed;
  }
  // A created or emptied file is written from its start, where the open left the offset. No seek
  // is made on a file opened only for writing: a share's client may be unable to tell its length.
  if (mode == FileMode::append && lseek(fd, 0, SEEK_END) < 0) {
    close(fd);
    return OpenResult::failed;
  }
  file.native = fd;
  return OpenResult::opened;
}

// Looks at an output's name this many times when it changes hands between the look and the open
// (another run in the folder removing or creating its log); more is someone else at work.
constexpr int kOutputOpenAttempts = 4;

}  // namespace

OpenResult openPlainFile(const std::filesystem::path& path, FileMode mode, FileHandle& file) {
  // No O_APPEND: clients of file shares may refuse it (an SMB client through FUSE answers such an
  // open with EIO). A file to append to is written from its end instead, found at the open and
  // again once its lock is taken. O_NOFOLLOW refuses a symbolic link as the last name, O_NONBLOCK
  // keeps a FIFO from holding the open.
  int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  flags |= mode == FileMode::append ? O_RDWR : O_WRONLY;
  const int create = flags | O_CREAT | O_EXCL;
  if (mode == FileMode::createNew) {
    const int fd = open(path.c_str(), create, 0666);
    if (fd < 0) return errno == EEXIST ? OpenResult::nameTaken : OpenResult::failed;
    return keepOutput(fd, true, mode, file);
  }
  for (int attempt = 0; attempt < kOutputOpenAttempts; ++attempt) {
    // Whatever is not a plain file is refused before it is opened: opening a device can do
    // something of its own.
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      if (errno != ENOENT) return OpenResult::failed;
    } else if (!isPlain(status)) {
      return isRemoved(status) ? OpenResult::removed : OpenResult::failed;
    } else if (!isOwn(status)) {
      // Another user's file is never written into: a log to append to holds that user's lines
      // and is left alone; a file to replace gives way to one of the run's own where the folder
      // lets the run remove it (a sticky folder does not, unless the run owns the folder).
      if (mode == FileMode::append) return OpenResult::failed;
      if (unlink(path.c_str()) != 0 && errno != ENOENT) return OpenResult::failed;
    } else {
      const int fd = open(path.c_str(), flags);
      // The entry may have been swapped between the look and the open: the open file decides.
      if (fd >= 0) return keepOutput(fd, false, mode, file);
      if (errno != ENOENT) return OpenResult::failed;
    }
    // Nothing under the name: the run's own file is created, exclusively, so that no file that
    // someone puts there meanwhile is taken for it.
    const int fd = open(path.c_str(), create, 0666);
    if (fd >= 0) return keepOutput(fd, true, mode, file);
    if (errno != EEXIST) return OpenResult::failed;
  }
  // The name went on changing hands between each look and open: a finishing run removes its log
  // while the next creates it. The caller may look at the name again.
  return OpenResult::removed;
}

bool openFileToRead(const std::filesystem::path& path, FileHandle& file) {
  // O_NONBLOCK: a FIFO put in the file's place between the look and the open does not hold it.
  const int fd = openAlongTrustedLinks(path.native(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  // Whatever the name led to by the time it was opened, only a regular file is read.
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EINVAL;
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
  // The next write follows on at the new end, not beyond it.
  return ftruncate(descriptor(file), static_cast<off_t>(length)) == 0 &&
         lseek(descriptor(file), static_cast<off_t>(length), SEEK_SET) >= 0;
}

LockResult lockFile(FileHandle file) {
  // flock, not fcntl: an fcntl lock belongs to the process and ends when any descriptor of the
  // file closes, while a flock lock belongs to this open alone.
  if (flock(descriptor(file), LOCK_EX | LOCK_NB) == 0) {
    // The run that held the lock before may have written on after this open found the end: the
    // writes of this one follow its last line, never over it.
    if (lseek(descriptor(file), 0, SEEK_END) < 0) return LockResult::failed;
    return LockResult::locked;
  }
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
