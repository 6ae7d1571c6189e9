// Paths on POSIX: the working directory, existence and canonical forms.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/paths.h"

namespace pairwick::platform {
namespace {

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

}  // namespace

std::filesystem::path systemPath(const std::filesystem::path& path) { return path; }

std::filesystem::path joinPath(const std::filesystem::path& base,
                               const std::filesystem::path& name) {
  return base / name;
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

std::filesystem::path weaklyCanonical(const std::filesystem::path& path, std::size_t) {
  // No rule of the system reads a name otherwise than as it stands.
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

std::size_t pathLengthLimit() { return PATH_MAX; }

}  // namespace pairwick::platform
