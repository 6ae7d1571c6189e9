// How each entry's relative path is found during the walk, from its names where they suffice.
#include "compare/entry_walk.h"

#include <string_view>
#include <vector>

#include "codec/separators.h"
#include "platform/platform.h"

namespace pairwick {
namespace detail {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

}  // namespace

void walkEntries(const NarrowText& basePath, const NarrowText& folderPath, const EntrySink& sink,
                 const DepthHook& beforeEntry) {
  const fs::path base = platform::pathFromNarrow(basePath);
  const char nativeSeparator = static_cast<char>(fs::path::preferred_separator);

  // An entry's relative path is, by the rule, its resolved path relative to the resolved base.
  // The base is resolved once, with the scan's first entry. For an entry that is no link, in a
  // folder that the walk reached without following any link, the resolved path is the resolved
  // folder followed by the entry's names; when the scanned folder is the base, the relative path
  // is then just those names, and the file system need not be asked. Links, and anything that
  // the platform cannot vouch for, take the rule in full.
  fs::path resolvedBase;
  bool baseResolved = false;
  bool namesSuffice = false;
  const bool scansBase = basePath == folderPath;

  // The narrow relative path of the last entry seen at each depth (kUnknown where its names have
  // no narrow form or the entry is a link), so that an entry's path is its folder's path plus its
  // own converted name.
  NarrowText namesPath;
  std::vector<std::size_t> namesEnd;
  // Whether the entry last seen at each depth, and every folder above it, has its names' path.
  std::vector<char> inTree;
  NarrowText pathStr;
  platform::walkFolderTree(
      platform::pathFromNarrow(folderPath),
      [&](const fs::path::string_type& fullPath, std::size_t nameStart, std::size_t depth,
          bool isLink, bool plain) {
        if (beforeEntry) beforeEntry(depth);
        const std::size_t parentEnd = depth == 0 ? 0 : namesEnd[depth - 1];
        namesEnd.resize(depth + 1);
        bool namesKnown = false;
        if (parentEnd != kUnknown && !isLink) {
          namesPath.resize(parentEnd);
          if (depth > 0) namesPath.push_back('/');
          namesKnown = platform::appendNarrowName(
              std::basic_string_view<fs::path::value_type>(fullPath).substr(nameStart), namesPath);
        }
        namesEnd[depth] = namesKnown ? namesPath.size() : kUnknown;

        bool namesGiven = false;
        if (namesSuffice && plain && namesKnown) {
          pathStr = namesPath;
          namesGiven = true;
        } else {
          const fs::path resolvedEntry = platform::weaklyCanonical(fs::path(fullPath));
          if (!baseResolved) {
            resolvedBase = platform::weaklyCanonical(base);
            baseResolved = true;
            // A resolved base longer than the base could make a resolved entry path longer than
            // any that the platform vouched for.
            namesSuffice = scansBase && resolvedBase.native().size() <= base.native().size();
          }
          pathStr = platform::narrowPath(resolvedEntry.lexically_relative(resolvedBase));
        }
        normaliseSeparators(pathStr, nativeSeparator);
        inTree.resize(depth + 1);
        inTree[depth] = namesKnown && (namesGiven || pathStr == namesPath) &&
                        (depth == 0 || inTree[depth - 1]) && depth < kNotInTree;
        sink(pathStr, fullPath, inTree[depth] ? static_cast<std::uint32_t>(depth) : kNotInTree);
      });
}

}  // namespace detail
}  // namespace pairwick
