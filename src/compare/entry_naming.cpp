// Each entry's relative path: its name after its folder's where the listing vouches for it, the
// file system's resolution of its path otherwise.
#include "compare/entry_naming.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "codec/separators.h"
#include "compare/descriptor_budget.h"
#include "platform/code_page.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace pairwick {

namespace fs = std::filesystem;

fs::path resolveWalkedPath(const fs::path& path, std::size_t topLength) {
  const HeldDescriptor held;
  return platform::weaklyCanonical(path, topLength);
}

namespace {

// The narrow form of the relative path of the entry at `fullPath`. The platform's text for a
// failed conversion names no path: among tens of thousands of entries, the one that ended the scan
// could not be found. The message names it as the walk joins it.
NarrowText narrowRelativePath(const fs::path& relative, const fs::path::string_type& fullPath) {
  try {
    return platform::narrowPath(relative);
  } catch (const std::system_error& failure) {
    throw std::runtime_error(platform::narrowMessage(failure) + " [" +
                             platform::narrowPathReplacing(fs::path(fullPath)) + "]");
  }
}

// The folder's path as the walk joins it, with a separator after it for its entries' names.
fs::path::string_type withSeparator(fs::path::string_type folder) {
  if (!folder.empty() && folder.back() != '/' && folder.back() != fs::path::preferred_separator) {
    folder.push_back(fs::path::preferred_separator);
  }
  return folder;
}

// The narrow names of a whole listing, made in one conversion and handed out in order: one by
// one only when some name has no narrow form.
struct NarrowNames {
  NarrowText bytes;  // each name followed by a 0x00 byte
  std::size_t at = 0;
  bool whole = false;  // every name converted
};

NarrowNames narrowNamesOf(const FolderJob& job) {
  NarrowNames narrow;
  narrow.whole =
      job.pathFollowsNames &&
      platform::appendNarrowName(
          std::basic_string_view<fs::path::value_type>(job.read.listing.names), narrow.bytes);
  return narrow;
}

// The next entry's narrow name into `name`, when all of them were converted at once.
void takeNarrowName(NarrowNames& narrow, NarrowText& name) {
  const std::size_t end = narrow.bytes.find('\0', narrow.at);
  name.assign(narrow.bytes, narrow.at, end - narrow.at);
  narrow.at = end + 1;
}

// What decides whether an entry's path may be too long for the system to resolve: the entry's
// path begins with the base's and, resolved, with the resolved base's.
struct PathLengths {
  std::size_t folder;  // the folder's path and its separator
  std::size_t base;
  std::size_t resolvedBase;
  std::size_t limit;
};

bool withinLimit(const PathLengths& lengths, std::size_t nameLength) {
  const std::size_t length = lengths.folder + nameLength;
  const std::size_t resolvedLength = length - lengths.base + lengths.resolvedBase;
  return length < lengths.limit && resolvedLength < lengths.limit;
}

// The relative path of the entry at `fullPath` as the file system resolves it, '/'-separated. An
// entry that resolves to another drive or share has no path relative to the base: it is named by
// the whole path it resolves to ("D:/data", "//server/share/data"), never by an empty one.
NarrowText resolvedRelativePath(const NamingBase& naming, const fs::path::string_type& fullPath) {
  const fs::path resolved = resolveWalkedPath(fs::path(fullPath), naming.base.native().size());
  fs::path relative = resolved.lexically_relative(naming.resolvedBase);
  if (relative.empty()) relative = resolved;
  NarrowText path = narrowRelativePath(relative, fullPath);
  normaliseSeparators(path, static_cast<char>(fs::path::preferred_separator));
  return path;
}

bool isPrefixAndName(std::string_view path, std::string_view prefix, std::string_view name) {
  return path.size() == prefix.size() + name.size() &&
         path.compare(0, prefix.size(), prefix) == 0 &&
         path.compare(prefix.size(), name.size(), name) == 0;
}

// The job of the folder entry `index` of `parent`, at `fullPath`, whose text is `text`: its name
// when `isName`, otherwise its whole relative path.
std::shared_ptr<FolderJob> subfolderJob(const FolderJob& parent, std::uint32_t index,
                                        std::size_t baseLength,
                                        const fs::path::string_type& fullPath, bool isName,
                                        std::string_view text) {
  const FolderRead& read = parent.read;
  const auto child = std::make_shared<FolderJob>();
  child->position.reserve(parent.position.size() + 1);
  child->position = parent.position;
  child->position.push_back(index);
  child->pathFollowsNames = isName;
  child->listed = std::make_shared<const platform::ListedFolder>(platform::ListedFolder{
      baseLength, read.listing.subfolders[read.subfolders.size()], parent.listed});
  child->read.path = fullPath;
  child->read.prefix.assign(isName ? std::string_view(read.prefix) : std::string_view());
  child->read.prefix.append(text);
  child->read.prefix.push_back('/');
  return child;
}

}  // namespace

void nameEntries(const NamingBase& naming, FolderJob& job) {
  FolderRead& read = job.read;
  const platform::FolderListing& listing = read.listing;
  fs::path::string_type fullPath = withSeparator(read.path);
  const PathLengths lengths{fullPath.size(), naming.base.native().size(),
                            naming.resolvedBase.native().size(), platform::pathLengthLimit()};
  const std::basic_string_view<fs::path::value_type> names(listing.names);
  read.texts.bytes.reserve(listing.names.size());
  read.texts.ends.reserve(listing.kinds.size());
  read.isName.reserve(listing.kinds.size());
  NarrowText name;
  NarrowText wholePath;
  NarrowNames narrow = narrowNamesOf(job);
  auto unresolved = listing.unresolved.begin();
  for (std::uint32_t i = 0, at = 0; i < listing.kinds.size(); ++i) {
    const std::size_t end = names.find(fs::path::value_type(0), at);
    const auto native = names.substr(at, end - at);
    at = static_cast<std::uint32_t>(end + 1);
    const bool folder = listing.kinds[i] == platform::EntryKind::folder;
    name.clear();
    if (narrow.whole) takeNarrowName(narrow, name);
    const bool named = job.pathFollowsNames && listing.kinds[i] != platform::EntryKind::link &&
                       (narrow.whole || platform::appendNarrowName(native, name));
    const bool unvouched = unresolved != listing.unresolved.end() && *unresolved == i;
    if (unvouched) ++unresolved;
    bool isName =
        named && listing.namesResolve && !unvouched && withinLimit(lengths, native.size());
    // The full path is needed only where the entry is resolved, or read as a folder.
    if (!isName || folder) {
      fullPath.resize(lengths.folder);
      fullPath.append(native);
    }
    if (!isName) {
      wholePath = resolvedRelativePath(naming, fullPath);
      isName = named && isPrefixAndName(wholePath, read.prefix, name);
    }
    const std::string_view text = isName ? std::string_view(name) : std::string_view(wholePath);
    // A folder entry's job is made first: the entry counts as read only once all of it is.
    if (folder) {
      read.subfolders.push_back(subfolderJob(job, i, lengths.base, fullPath, isName, text));
    }
    appendText(read.texts, text);
    read.isName.push_back(isName);
  }
}

}  // namespace pairwick
