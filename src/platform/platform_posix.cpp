// The platform layer on POSIX: code page 932 through the tool's own tables, UTF-8 file names,
// UTF-8 console and standard error, and the C library's time functions.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#ifdef __GLIBC__
#include <malloc.h>
#include <pthread.h>
#endif
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>

#include "codec/cp932.h"
#include "codec/cp932_utf8.h"
#include "codec/utf8.h"
#include "platform/platform.h"

namespace pairwick::platform {
namespace {

[[noreturn]] void throwNoMapping() {
  throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence));
}

// A standard stream that the process was started without (its descriptor closed, as by ">&-")
// would be taken by the first file the tool opens, the temporary log, and console or standard
// error text would then be written into the log. Each such descriptor gets /dev/null before
// main runs: the text is lost, as it is on the target platform without a console.
[[maybe_unused]] const bool standardDescriptorsOpen = [] {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free descriptor is taken, and the ones below are open by now: this is fd.
      const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      (void)opened;
    }
  }
  return true;
}();

// glibc shares its allocator arenas among threads once there are eight per core: threads that
// share one wait on its lock at every allocation (with two arenas, two fifths of a million-entry
// run's context switches). Sixteen keep that wait away; one per reader thread would hold a fifth
// more memory at a million entries per tree for no gain in time.
#ifdef __GLIBC__
[[maybe_unused]] const bool ownAllocatorArenas = mallopt(M_ARENA_MAX, 16) == 1;

// A new thread's stack is as large as the main thread's limit (often 8 MB) of address space;
// dozens of reader threads, whose calls go a few frames deep, would then hold half a gigabyte of
// it, and a run under an address-space limit would lose entries it could have kept. They get
// what a thread gets on Windows, 1 MB.
[[maybe_unused]] const bool smallThreadStacks = [] {
  pthread_attr_t attributes;
  if (pthread_getattr_default_np(&attributes) != 0) return false;
  const bool set = pthread_attr_setstacksize(&attributes, std::size_t{1} << 20) == 0 &&
                   pthread_setattr_default_np(&attributes) == 0;
  pthread_attr_destroy(&attributes);
  return set;
}();
#endif

// Output whose reader has gone (the tool's output piped into a command that stopped reading)
// must fail its writes, as it does on the target platform, and not end the process before the
// report is written and the log finalised: console and standard error writes are not examined.
void ignoreBrokenPipes() {
  static const bool ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)ignored;
}

// Standard output is fully buffered with a large buffer unless it is a terminal, where the user
// watches progress line by line.
void prepareStandardOutput() {
  static const bool prepared = [] {
    ignoreBrokenPipes();
    if (!isatty(STDOUT_FILENO)) {
      // glibc ignores the size unless it is given the buffer itself.
      static char buffer[1 << 20];
      std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
    return true;
  }();
  (void)prepared;
}

// True for an absolute path of plain names: no "." or ".." component, no doubled or trailing
// separator.
bool plainComponents(std::string_view path) {
  if (path.size() < 2 || path.front() != '/' || path.back() == '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view name = path.substr(start, end - start);
    if (name.empty() || name == "." || name == "..") return false;
    start = end + 1;
  }
  return true;
}

// The canonical form of an existing path; false (errno telling why, ENOENT for an absent path)
// when it cannot be resolved.
bool resolveExisting(const char* path, std::string& resolved) {
  char target[PATH_MAX];
#ifdef O_PATH
  // realpath asks for every component of a path on its own: a deep link costs tens of system
  // calls. Where the system names an open descriptor's final path, one open walks it once.
  const int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  char link[40];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, target, sizeof target);
  close(fd);
  if (length > 0 && length < PATH_MAX && target[0] == '/') {
    resolved.assign(target, static_cast<std::size_t>(length));
    return true;
  }
#endif
  if (realpath(path, target) == nullptr) return false;
  resolved.assign(target);
  return true;
}

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

bool decodeCp932Lenient(std::string_view bytes, WideText& out) {
  appendCp932Lenient(bytes, out);
  return true;
}

bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written) {
  written = cp932LenientToUtf8(bytes, out);
  return true;
}

NarrowText narrowPath(const std::filesystem::path& path) {
  NarrowText narrow;
  if (!appendNarrowName(path.native(), narrow)) throwNoMapping();
  return narrow;
}

NarrowText narrowPathReplacing(const std::filesystem::path& path) {
  NarrowText narrow = utf8ToCp932Replacing(path.native());
  // No byte of a two-byte character lies below 0x40: a byte 0x01 to 0x1F is a control character.
  for (char& byte : narrow) {
    if (byte >= 0x01 && byte <= 0x1F) byte = '?';
  }
  return narrow;
}

std::filesystem::path pathFromNarrow(std::string_view narrow) {
  if (narrow.empty()) return {};
  WideText wide;
  if (!decodeCp932Strict(narrow, wide)) throwNoMapping();
  return std::filesystem::path(utf16ToUtf8(wide));
}

std::filesystem::path systemPath(const std::filesystem::path& path) { return path; }

WideText widePath(const std::filesystem::path& path) { return utf8ToUtf16Lenient(path.native()); }

unsigned ansiCodePage() { return 932; }

NarrowText narrowMessage(const std::exception& failure) {
  // The file-system library quotes paths in their UTF-8 byte form; everything else that can be
  // caught here is already code page 932 (the tool's own messages) or plain ASCII.
  if (dynamic_cast<const std::filesystem::filesystem_error*>(&failure) != nullptr) {
    return utf8ToCp932Replacing(failure.what());
  }
  return failure.what();
}

std::int64_t currentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

NarrowText ctimeText(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  char buffer[26] = {};
  if (ctime_r(&t, buffer) == nullptr) return {};
  return buffer;
}

std::tm localTime(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

void writeConsole(std::u16string_view text) {
  prepareStandardOutput();
  thread_local std::string bytes;
  bytes.clear();
  appendUtf8(text, bytes);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

bool writeConsoleCp932(std::string_view cp932Text) {
  prepareStandardOutput();
  // Straight to UTF-8 through the table: the console receives a line per entry.
  thread_local std::string bytes;
  bytes.resize(cp932Text.size() * 3);
  std::size_t written = 0;
  decodeCp932LenientToUtf8(cp932Text, bytes.data(), written);
  std::fwrite(bytes.data(), 1, written, stdout);
  return true;
}

void flushConsole() { std::fflush(stdout); }

void writeStandardError(std::string_view cp932Text) {
  ignoreBrokenPipes();
  flushConsole();
  WideText wide;
  appendCp932Lenient(cp932Text, wide);
  const std::string bytes = utf16ToUtf8(wide);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

std::filesystem::path currentDirectory() { return std::filesystem::current_path(); }

bool pathExists(const std::filesystem::path& path) {
  // A name that holds a 0x00 byte cannot exist: the system would read it only up to that byte
  // and find another entry (with "\0x", the working directory itself).
  if (path.native().find('\0') != std::string::npos) return false;
  // The throwing test reports "not found" and "not a directory" as absence and raises every
  // other failure, such as a denied search permission on the way.
  return std::filesystem::exists(path);
}

std::filesystem::path weaklyCanonical(const std::filesystem::path& path) {
  // The library resolves a path one component at a time, each step several system calls on a
  // longer prefix: tens of microseconds for a deep link. A path of plain names is resolved by
  // realpath instead. When only the last name is absent (a dangling link), the library's result
  // is the resolved folder followed by that name, and the folder is resolved the same way.
  // Anything else (failures and their messages, "." and ".." components, a trailing separator)
  // takes the library's walk.
  const std::string& native = path.native();
  if (plainComponents(native)) {
    std::string resolved;
    if (resolveExisting(native.c_str(), resolved)) return std::filesystem::path(resolved);
    if (errno == ENOENT) {
      const std::size_t slash = native.rfind('/');
      const std::string folder = slash == 0 ? std::string("/") : native.substr(0, slash);
      if (resolveExisting(folder.c_str(), resolved)) {
        if (resolved.back() != '/') resolved.push_back('/');
        resolved.append(native, slash + 1, std::string::npos);
        return std::filesystem::path(resolved);
      }
    }
  }
  return std::filesystem::weakly_canonical(path);
}

bool appendNarrowName(std::string_view native, NarrowText& out) {
  return appendUtf8NameAsCp932(native, out);
}

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

std::size_t pathLengthLimit() { return PATH_MAX; }

void lowerThreadPriority() {
#ifdef __linux__
  // Linux gives every thread a nice value of its own; elsewhere the nice value is the process's,
  // and the thread keeps the priority it has.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
#endif
}

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
