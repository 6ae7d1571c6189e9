// Listing one folder of a walk, never through a link that has taken its place since its parent
// was listed (folders_posix.cpp, folders_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace pairwick::platform {

// What a folder entry is, as far as a walk of the tree cares: a symbolic link or junction (mount
// point) is visited but never descended into; a folder with another kind of reparse point is a
// folder.
enum class EntryKind : unsigned char { file, folder, link };

// Which folder an entry is on its file system: a folder that the walk descends into is read only
// when it is still the one its parent's listing named. All zero where the system tells nothing.
struct FolderIdentity {
  std::uint64_t device = 0;
  std::uint64_t node = 0;
  // The folder's own numbers, as its status gives them (on POSIX, where listings may number
  // folders otherwise: a mount point, many FUSE file systems): a folder numbered otherwise is
  // then not the one listed.
  bool own = false;
};

// One folder's entries, "." and ".." left out, in the system's enumeration order.
struct FolderListing {
  std::filesystem::path::string_type names;  // each name followed by one 0 unit
  std::vector<EntryKind> kinds;              // one per name
  // Whether each entry that is no link, apart from those in `unresolved`, is certain to resolve
  // to the folder's weakly canonical form followed by its own name (so that it need not be
  // resolved one by one).
  bool namesResolve = false;
  // The entries, by index in ascending order, that are no links but may resolve elsewhere all
  // the same (on Windows, reparse points of other kinds).
  std::vector<std::uint32_t> unresolved;
  FolderIdentity identity;                 // the folder's own
  std::vector<FolderIdentity> subfolders;  // one per folder entry, in their order, as listed
};

// A folder that the walk meets below the folder it starts at, as its parent's listing gave it.
struct ListedFolder {
  std::size_t topLength = 0;  // the leading part of its path that names the walk's first folder
  FolderIdentity identity;    // from the parent's `subfolders`
  // The folder on the way above it as listed, null for a folder of the first folder's listing:
  // where a file system numbers a folder in its parent's listing as it numbers it itself (on
  // Windows), each folder on the way must still be the one listed.
  std::shared_ptr<const ListedFolder> above;
};

// Reads one folder whole and closes it before returning. A failure throws
// std::filesystem::filesystem_error with the texts of the platform's recursive enumeration.
// `listed` is null for the folder the walk starts at, which is opened as named, links followed.
// Any other folder's entries are read only from the folder that its parent's listing named, never
// through a link: on its way from the walk's first folder or in its place. When a symbolic link,
// junction or non-folder has taken a place on that way, the failure names the path where it was
// found. An entry whose kind the listing leaves open and whose status cannot be read fails the
// whole listing as a listing that cannot be read on does, the failure naming the entry: it is
// never taken for a file.
FolderListing readFolder(const std::filesystem::path& folder, const ListedFolder* listed);

}  // namespace pairwick::platform
