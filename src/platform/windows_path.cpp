// The spelling of Windows paths: extended-length forms and the path-append rule.
#include "platform/windows_path.h"

namespace pairwick::platform {

namespace {

bool isSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

bool isDriveLetter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

bool hasDrive(std::u16string_view path) {
  return path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':';
}

// The end of the name that starts at `at` (the next separator, or the end).
std::size_t nameEnd(std::u16string_view path, std::size_t at) {
  while (at < path.size() && !isSeparator(path[at])) ++at;
  return at;
}

// The length of the root name: what the system reads as the place a path starts at, which is
// operating system dependent in the standard's grammar. On Windows it is a drive ("C:"), a share
// ("\\server\share", either separator; "\\server" where no share follows), or a device path's
// prefix with what it names ("\\?\C:", "\\?\UNC\server\share", "\\.\pipe"). None otherwise,
// three leading separators included.
std::size_t rootNameLength(std::u16string_view path) {
  if (hasDrive(path)) return 2;
  if (path.size() < 3 || !isSeparator(path[0]) || !isSeparator(path[1]) || isSeparator(path[2])) {
    return 0;
  }
  const bool device =
      path.size() >= 4 && (path[2] == u'?' || path[2] == u'.') && isSeparator(path[3]);
  if (!device) {
    const std::size_t server = nameEnd(path, 2);
    return server == path.size() ? server : nameEnd(path, server + 1);
  }
  const std::u16string_view named = path.substr(4);
  if (hasDrive(named)) return 6;
  const bool unc = named.size() >= 4 && (named[0] == u'U' || named[0] == u'u') &&
                   (named[1] == u'N' || named[1] == u'n') &&
                   (named[2] == u'C' || named[2] == u'c') && isSeparator(named[3]);
  if (!unc) return nameEnd(path, 4);
  const std::size_t server = nameEnd(path, 8);
  return server == path.size() ? server : nameEnd(path, server + 1);
}

// A path's root name and what follows it.
struct RootSplit {
  std::u16string_view rootName;
  std::u16string_view rest;  // the root directory, if any, and the relative path
};

RootSplit splitRoot(std::u16string_view path) {
  const std::size_t length = rootNameLength(path);
  return {path.substr(0, length), path.substr(length)};
}

bool hasRootDirectory(const RootSplit& path) {
  return !path.rest.empty() && isSeparator(path.rest[0]);
}

// Absolute: naming one place without reference to another. A share or device stands for one
// place by its root name alone ("\\server\share" is that share's root); a drive needs a root
// directory after it ("C:x" is relative to drive C's current folder).
bool isAbsolute(const RootSplit& path) {
  return !path.rootName.empty() && (hasRootDirectory(path) || !hasDrive(path.rootName));
}

bool hasFilename(const RootSplit& path) {
  return !path.rest.empty() && !isSeparator(path.rest.back());
}

}  // namespace

std::u16string extendedLengthForm(std::u16string_view fullPath) {
  constexpr std::u16string_view kDevice = u"\\\\.\\";
  constexpr std::u16string_view kUnc = u"\\\\";
  if (isExtendedLength(fullPath) || fullPath.substr(0, kDevice.size()) == kDevice) {
    return std::u16string(fullPath);
  }
  if (fullPath.substr(0, kUnc.size()) == kUnc) {
    return u"\\\\?\\UNC\\" + std::u16string(fullPath.substr(kUnc.size()));
  }
  return u"\\\\?\\" + std::u16string(fullPath);
}

bool isExtendedLength(std::u16string_view path) {
  constexpr std::u16string_view kExtended = u"\\\\?\\";
  return path.substr(0, kExtended.size()) == kExtended;
}

std::u16string appendWindowsPath(std::u16string_view base, std::u16string_view name) {
  const RootSplit to = splitRoot(base);
  const RootSplit added = splitRoot(name);
  // An absolute name, or one on another root, replaces the base. Root names compare unit by unit,
  // as paths compare: "c:x" is on another root than "C:\work" and stays "c:x", which the system
  // then reads on drive C's current folder.
  if (isAbsolute(added) || (!added.rootName.empty() && added.rootName != to.rootName)) {
    return std::u16string(name);
  }
  // A name with a root directory but no root name (or the base's) keeps only the base's root
  // name: "\x" on "C:\work" is "C:\x", on "\\server\share\work" "\\server\share\x".
  std::u16string joined(hasRootDirectory(added) ? to.rootName : base);
  // Otherwise one separator goes between, where the base ends in a name or is a share's root
  // written without one ("\\server\share" and "x" give "\\server\share\x"); "C:" and "x" give
  // "C:x", and "C:\" and "x" "C:\x".
  if (!hasRootDirectory(added) && (hasFilename(to) || (!hasRootDirectory(to) && isAbsolute(to)))) {
    joined += u'\\';
  }
  joined += added.rest;
  return joined;
}

}  // namespace pairwick::platform
