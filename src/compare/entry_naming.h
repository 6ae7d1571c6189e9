// Working out the relative path of each entry of a folder read: from its name where the path
// follows the names, otherwise as the file system resolves it.
#pragma once

#include <cstddef>
#include <filesystem>

#include "compare/folder_job.h"

namespace pairwick {

// What a tree's relative paths are computed against.
struct NamingBase {
  std::filesystem::path base;          // the base as the walk joins it
  std::filesystem::path resolvedBase;  // set by the read of the top, before any other is read
};

// The weakly canonical form of `path`, whose first `topLength` units name the walk's first folder
// and the rest names as listed. Resolving may hold a descriptor for a moment; without one it walks
// the path name by name instead.
std::filesystem::path resolveWalkedPath(const std::filesystem::path& path, std::size_t topLength);

// Each entry's text in `job`'s listing and, for a folder entry, its job. An entry's relative path
// is its weakly canonical path relative to the weakly canonical base. For an entry that is no
// link, in a folder whose path follows the names, that is the folder's relative path, '/' and the
// entry's name, and the file system need not be asked when it could resolve the path (the folder
// can be searched, the path is not too long).
void nameEntries(const NamingBase& naming, FolderJob& job);

}  // namespace pairwick
