// The platform layer on POSIX: code page 932 through the tool's own tables, UTF-8 file names,
// UTF-8 console and standard error, and the C library's time functions.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "codec/cp932.h"
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

// utf16ToUtf8 appended to `out` without a temporary: the console receives a line per entry.
void appendUtf8(std::u16string_view text, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + text.size() * 3);
  char* o = &out[start];
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size; ++i) {
    char32_t value = text[i];
    if (value < 0x80) {
      *o++ = static_cast<char>(value);
      continue;
    }
    if (value >= 0xD800 && value <= 0xDFFF) {
      if (value <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        value = 0x10000 + ((value - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        value = 0xFFFD;
      }
    }
    if (value < 0x800) {
      *o++ = static_cast<char>(0xC0 | (value >> 6));
    } else {
      if (value < 0x10000) {
        *o++ = static_cast<char>(0xE0 | (value >> 12));
      } else {
        *o++ = static_cast<char>(0xF0 | (value >> 18));
        *o++ = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
      }
      *o++ = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    }
    *o++ = static_cast<char>(0x80 | (value & 0x3F));
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

// The code page 932 form of every ASCII character, looked up once.
const int* asciiSequences() {
  static const std::vector<int> table = [] {
    std::vector<int> sequences(0x80);
    for (char16_t unit = 0; unit < 0x80; ++unit) sequences[unit] = encodeCp932Unit(unit);
    return sequences;
  }();
  return table.data();
}

// The UTF-8 bytes (count in the last byte) of what the lenient decoder gives for every single
// byte (index 0-255; a lead byte standing alone) and every lead byte followed by another byte
// (index lead << 8 | trail). Made once from the decoder itself, so the two always agree: the
// decoder keeps nothing from one unit to the next.
using Utf8Unit = std::array<char, 4>;

const std::vector<Utf8Unit>& utf8Units() {
  static const std::vector<Utf8Unit> table = [] {
    std::vector<Utf8Unit> units(0x10000);
    const auto fill = [&units](std::size_t index, std::string_view bytes) {
      WideText wide;
      appendCp932Lenient(bytes, wide);
      std::string utf8;
      appendUtf8PerUnit(wide, utf8);
      Utf8Unit& unit = units[index];
      std::copy(utf8.begin(), utf8.end(), unit.begin());
      unit[3] = static_cast<char>(utf8.size());
    };
    for (unsigned byte = 0; byte < 0x100; ++byte)
      fill(byte, std::string(1, static_cast<char>(byte)));
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      if (!isCp932LeadByte(static_cast<unsigned char>(lead))) continue;
      for (unsigned trail = 1; trail < 0x100; ++trail) {
        const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
        fill(lead << 8 | trail, std::string_view(pair, 2));
      }
    }
    return units;
  }();
  return table;
}

[[noreturn]] void throwWalkFailure(const char* what, const std::filesystem::path* path, int error) {
  const std::error_code code(error, std::generic_category());
  if (path != nullptr) throw std::filesystem::filesystem_error(what, *path, code);
  throw std::filesystem::filesystem_error(what, code);
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

// The canonical form of an existing path, as the kernel names the place it opens; false (errno
// telling why, ENOENT for an absent path) when it cannot be opened or named.
bool resolveExisting(const char* path, std::string& resolved) {
  const int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  char link[40];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = readlink(link, target, sizeof target);
  close(fd);
  errno = EINVAL;
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
  const std::string_view name(target, static_cast<std::size_t>(length));
  constexpr std::string_view deleted = " (deleted)";
  if (name.front() != '/' ||
      (name.size() >= deleted.size() && name.substr(name.size() - deleted.size()) == deleted)) {
    return false;
  }
  resolved.assign(name);
  return true;
}

// Whether the entries of an open folder can be examined through their paths.
bool searchable(int fd) { return faccessat(fd, ".", X_OK, AT_EACCESS) == 0; }

// A plain file of the tool's own: a regular file that no other name leads to.
bool isPlain(const struct stat& status) { return S_ISREG(status.st_mode) && status.st_nlink == 1; }

int descriptor(FileHandle file) { return static_cast<int>(file.native); }

}  // namespace

bool decodeCp932Lenient(std::string_view bytes, WideText& out) {
  appendCp932Lenient(bytes, out);
  return true;
}

bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written) {
  const std::vector<Utf8Unit>& units = utf8Units();
  const std::size_t size = bytes.size();
  char* o = out;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < size) {
    const std::size_t ascii = asciiRunLength(bytes, i);
    std::memcpy(o, in + i, ascii);
    o += ascii;
    i += ascii;
    if (i == size) break;
    const unsigned char byte = in[i];
    std::size_t index = byte;
    if (isCp932LeadByte(byte) && i + 1 < size && in[i + 1] != 0) {
      index = static_cast<std::size_t>(byte) << 8 | in[i + 1];
      ++i;
    }
    ++i;
    // Three bytes are copied whatever the length: the room for three bytes per byte allows it.
    const Utf8Unit& unit = units[index];
    std::memcpy(o, unit.data(), 3);
    o += static_cast<unsigned char>(unit[3]);
  }
  written = static_cast<std::size_t>(o - out);
  return true;
}

NarrowText narrowPath(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.empty()) return {};
  WideText wide;
  NarrowText narrow;
  if (!utf8ToUtf16Strict(native, wide) || !encodeCp932Strict(wide, narrow)) throwNoMapping();
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

bool writeConsoleLine(std::u16string_view prefix, std::string_view cp932Text) {
  prepareStandardOutput();
  // Decoded code page 932 holds no surrogates, so encoding its units one by one, straight from
  // the bytes, gives what encoding the whole wide line gives. The prefix is the same for every
  // line of a scan and is encoded once.
  thread_local std::u16string lastPrefix;
  thread_local std::string prefixBytes;
  thread_local std::string line;
  if (prefix != lastPrefix || prefixBytes.empty()) {
    lastPrefix.assign(prefix);
    prefixBytes.clear();
    appendUtf8(prefix, prefixBytes);
  }
  line.resize(prefixBytes.size() + cp932Text.size() * 3 + 1);
  std::memcpy(&line[0], prefixBytes.data(), prefixBytes.size());
  std::size_t written = 0;
  decodeCp932LenientToUtf8(cp932Text, &line[prefixBytes.size()], written);
  const std::size_t length = prefixBytes.size() + written;
  line[length] = '\n';
  // Only the thread that runs the comparison writes to the console: no stream lock is needed.
  fwrite_unlocked(line.data(), 1, length + 1, stdout);
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

bool isRegularFile(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(path, ignored);
}

bool pathExists(const std::filesystem::path& path) {
  // A name that holds a 0x00 byte cannot exist: the system would read it only up to that byte
  // and find another entry (with "\0x", the working directory itself).
  if (path.native().find('\0') != std::string::npos) return false;
  // The throwing test reports "not found" and "not a directory" as absence and raises every
  // other failure, such as a denied search permission on the way.
  return std::filesystem::exists(path);
}

bool isLinkEntry(const std::filesystem::directory_entry& entry) {
  std::error_code error;
  return entry.is_symlink(error);
}

std::filesystem::path weaklyCanonical(const std::filesystem::path& path) {
  // The library resolves a path one component at a time, each step a system call on a longer
  // prefix: tens of microseconds for a deep link. A path of plain names is resolved by the kernel
  // instead, following every link as it opens the path, which then names the place it reached.
  // When only the last name is absent (a dangling link), the library's result is the resolved
  // folder followed by that name, and the folder is resolved the same way. Anything else
  // (failures and their messages, "." and ".." components, a trailing separator, a place the
  // kernel cannot name) takes the library's walk.
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
  // utf8ToUtf16Strict and encodeCp932Strict in one pass, with nothing allocated per name.
  const int* ascii = asciiSequences();
  const std::size_t size = native.size();
  for (std::size_t i = 0; i < size;) {
    const auto lead = static_cast<unsigned char>(native[i]);
    int sequence;
    if (lead < 0x80) {
      sequence = ascii[lead];
      ++i;
    } else {
      char32_t value;
      const std::size_t length = decodeUtf8Char(native, i, value);
      // Characters beyond U+FFFF lie outside the 16-bit units that code page 932 can hold.
      if (length == 0 || value > 0xFFFF) return false;
      sequence = encodeCp932Unit(static_cast<char16_t>(value));
      i += length;
    }
    if (sequence < 0) return false;
    if (sequence >= 0x100) out.push_back(static_cast<char>(sequence >> 8));
    out.push_back(static_cast<char>(sequence & 0xFF));
  }
  return true;
}

void walkFolderTree(const std::filesystem::path& folder, const TreeVisitor& visit) {
  // The library's recursive iterator builds a path object and a shared entry per entry, and
  // each folder costs it a stream of its own; this walk reads the same folders in the same
  // order straight from the system into reused buffers, and keeps one path buffer.
  constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  constexpr std::size_t kBufferSize = 32 * 1024;
  std::string fullPath = folder.native();
  const int top = open(fullPath.c_str(), kFolderFlags);
  if (top < 0)
    throwWalkFailure("recursive directory iterator cannot open directory", &folder, errno);

  struct Level {
    int fd;
    std::size_t pathLength;
    bool searchable;
    std::size_t offset;
    std::size_t filled;
  };
  std::vector<Level> levels;
  std::vector<std::vector<char>> buffers;
  const auto closeAll = [&levels] {
    for (const Level& level : levels) close(level.fd);
    levels.clear();
  };
  const auto enter = [&](int fd) {
    levels.push_back(Level{fd, fullPath.size(), searchable(fd), 0, 0});
    if (buffers.size() < levels.size()) buffers.emplace_back(kBufferSize);
  };
  try {
    enter(top);
    while (!levels.empty()) {
      Level& level = levels.back();
      std::vector<char>& buffer = buffers[levels.size() - 1];
      if (level.offset == level.filled) {
        const ssize_t read = getdents64(level.fd, buffer.data(), buffer.size());
        if (read < 0) {
          throwWalkFailure("cannot increment recursive directory iterator", nullptr, errno);
        }
        if (read == 0) {
          close(level.fd);
          levels.pop_back();
          continue;
        }
        level.offset = 0;
        level.filled = static_cast<std::size_t>(read);
      }
      const auto* found = reinterpret_cast<const struct dirent64*>(buffer.data() + level.offset);
      level.offset += found->d_reclen;
      const char* name = found->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;

      fullPath.resize(level.pathLength);
      if (!fullPath.empty() && fullPath.back() != '/') fullPath.push_back('/');
      const std::size_t nameStart = fullPath.size();
      fullPath.append(name);

      bool isLink = found->d_type == DT_LNK;
      bool isFolder = found->d_type == DT_DIR;
      if (found->d_type == DT_UNKNOWN) {
        struct stat status;
        if (fstatat(level.fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
          isLink = S_ISLNK(status.st_mode);
          isFolder = S_ISDIR(status.st_mode);
        }
      }
      const bool plain = level.searchable && !isLink && fullPath.size() < PATH_MAX;
      const std::size_t depth = levels.size() - 1;
      const int parent = level.fd;
      visit(fullPath, nameStart, depth, isLink, plain);

      if (isFolder) {
        const int fd = openat(parent, fullPath.c_str() + nameStart, kFolderFlags | O_NOFOLLOW);
        if (fd < 0) {
          throwWalkFailure("cannot increment recursive directory iterator", nullptr, errno);
        }
        enter(fd);
      }
    }
  } catch (...) {
    closeAll();
    throw;
  }
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
    return OpenResult::failed;
  }
  const int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) return errno == EEXIST ? OpenResult::nameTaken : OpenResult::failed;
  // The entry may have been swapped between the look and the open: the open file decides.
  if (fstat(fd, &status) != 0 || !isPlain(status) ||
      (mode == FileMode::replace && ftruncate(fd, 0) != 0)) {
    close(fd);
    return OpenResult::failed;
  }
  file.native = fd;
  return OpenResult::opened;
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
