// Folder listings on Windows: one handle per folder, read whole through
// GetFileInformationByHandleEx.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/folders.h"
#include "platform/support_win32.h"
#include "platform/windows_entry_kind.h"

namespace pairwick::platform {

namespace fs = std::filesystem;

namespace {

static_assert(kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
              kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT &&
              kReparseTagMountPoint == IO_REPARSE_TAG_MOUNT_POINT &&
              kReparseTagSymlink == IO_REPARSE_TAG_SYMLINK);

// What a walk may read as a folder: one that is no link.
bool isFolderToRead(DWORD attributes, DWORD tag) {
  return windowsEntryKind(attributes, tag) == EntryKind::folder;
}

// The size of one listing call's buffer: the most that a file share returns in one answer.
constexpr std::size_t kListingBufferBytes = 64 * 1024;

FolderIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return {
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

bool operator!=(const FolderIdentity& a, const FolderIdentity& b) {
  return a.device != b.device || a.node != b.node;
}

// ERROR_SUCCESS where the open `handle` is a folder that is no link, ERROR_DIRECTORY where it is
// no folder or is a link, or the system's error.
DWORD kindOf(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO self;
  if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &self, sizeof self) == 0) {
    return GetLastError();
  }
  return isFolderToRead(self.FileAttributes, self.ReparseTag) ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

// Asks the system what the open folder is, for a folder whose listing tells nothing of itself:
// ERROR_SUCCESS with its identity, ERROR_DIRECTORY where it is no folder or is a link.
DWORD querySelf(HANDLE handle, FolderIdentity& identity) {
  const DWORD kind = kindOf(handle);
  if (kind != ERROR_SUCCESS) return kind;
  BY_HANDLE_FILE_INFORMATION own;
  if (GetFileInformationByHandle(handle, &own) == 0) return GetLastError();
  identity = identityOf(own);
  return ERROR_SUCCESS;
}

// The way from the walk's first folder to `folder`, one name at a time, each opened as it stands:
// the first that is a link, no folder, or another folder than its parent's listing named is the
// path where the walk's way has been changed. Each is opened by the names as listed: `system` is
// the path's extended-length form.
void checkWayFromTop(const fs::path& folder, const std::wstring& system,
                     const ListedFolder& listed) {
  std::vector<const ListedFolder*> listedWay;
  for (const ListedFolder* at = &listed; at != nullptr; at = at->above.get()) {
    listedWay.push_back(at);
  }
  std::reverse(listedWay.begin(), listedWay.end());
  const std::wstring& native = folder.native();
  // The names below the top are the same in both forms; only the top's spelling differs.
  const std::size_t shift = system.size() - native.size();
  std::size_t step = 0;
  for (std::size_t at = listed.topLength; at < native.size(); ++step) {
    at = native.find_first_of(L"\\/", at + 1);
    if (at == std::wstring::npos) at = native.size();
    const fs::path way(native.substr(0, at));
    const HANDLE handle = CreateFileW(
        system.substr(0, at + shift).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      throwFileSystemError("cannot increment recursive directory iterator", way, GetLastError());
    }
    // What the open says of itself is not all: a link that the system (or a filter driver, a
    // share) opens as its target shows as the target's folder, which is not the one listed.
    const bool numbered = step < listedWay.size() && listedWay[step]->identity.node != 0;
    FolderIdentity identity;
    DWORD error = numbered ? querySelf(handle, identity) : kindOf(handle);
    if (error == ERROR_SUCCESS && numbered && identity != listedWay[step]->identity) {
      error = ERROR_DIRECTORY;
    }
    CloseHandle(handle);
    if (error != ERROR_SUCCESS) {
      throwFileSystemError("cannot increment recursive directory iterator", way, error);
    }
  }
}

// What a folder's own "." entry tells of it, where its listing holds one.
struct SelfEntry {
  bool seen = false;
  DWORD attributes = 0;
  DWORD tag = 0;
  std::uint64_t node = 0;
};

// Reads the entries of the open folder into `listing`, and what its "." entry says of the folder
// into `self`. Returns ERROR_NO_MORE_FILES once all are read, or the error that ended the reading.
DWORD listEntries(HANDLE handle, FolderListing& listing, SelfEntry& self) {
  // One call returns as many entries as fit: on a file share, one round trip each. Not kept
  // per thread: with this runtime, a thread's copy was once destroyed after its storage had
  // gone, and the run crashed as it ended.
  const std::unique_ptr<std::uint64_t[]> buffer(
      new std::uint64_t[kListingBufferBytes / sizeof(std::uint64_t)]);
  const DWORD bufferBytes = static_cast<DWORD>(kListingBufferBytes);
  for (;;) {
    if (GetFileInformationByHandleEx(handle, FileIdBothDirectoryInfo, buffer.get(), bufferBytes) ==
        0) {
      const DWORD error = GetLastError();
      // A drive's root holds no "." or "..": an empty one has nothing to list at all.
      return error == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_FILES : error;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.get());
    for (std::size_t at = 0;;) {
      const auto* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
      const std::wstring_view name(found->FileName, found->FileNameLength / sizeof(wchar_t));
      const DWORD attributes = found->FileAttributes;
      if (name == L".") {
        self = {true, attributes, found->EaSize,
                static_cast<std::uint64_t>(found->FileId.QuadPart)};
      } else if (name != L"..") {
        // With a reparse point, the field of the extended attributes' size holds its tag.
        const EntryKind kind = windowsEntryKind(attributes, found->EaSize);
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && kind != EntryKind::link) {
          listing.unresolved.push_back(static_cast<std::uint32_t>(listing.kinds.size()));
        }
        listing.names.append(name).push_back(L'\0');
        listing.kinds.push_back(kind);
        if (kind == EntryKind::folder) {
          listing.subfolders.push_back(
              {listing.identity.device, static_cast<std::uint64_t>(found->FileId.QuadPart)});
        }
      }
      if (found->NextEntryOffset == 0) break;
      at += found->NextEntryOffset;
    }
  }
}

}  // namespace

FolderListing readFolder(const fs::path& folder, const ListedFolder* listed) {
  // The folder is listed through a handle of its own. A folder met during the walk was no link
  // when its parent was listed: it is opened as it stands now, never through a link, and refused
  // unless it is still a folder that is no link. The top may be reached through links.
  const bool descending = listed != nullptr;
  // Below the top, every name is taken as listed: the rules for typed paths would read "t." as
  // "t" and "aux" as a device.
  const std::wstring system =
      extendedLengthPath(folder, descending ? listed->topLength : folder.native().size());
  const HANDLE handle = CreateFileW(
      system.c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (descending ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  // The message names the folder in its ordinary form, with the system's own text for the error.
  const auto fail = [&](DWORD error) {
    throwFileSystemError(descending ? "cannot increment recursive directory iterator"
                                    : "recursive directory iterator cannot open directory",
                         folder, error);
  };
  if (handle == INVALID_HANDLE_VALUE) fail(GetLastError());
  FolderListing listing;
  // An entry that is no reparse point, in a folder in the tree of names, resolves to the folder's
  // final path followed by its name as stored; the listing tells every reparse point.
  listing.namesResolve = true;
  DWORD error = ERROR_NO_MORE_FILES;
  try {
    // On a file share every query is a round trip: the volume is asked once per tree, at its
    // top. A folder below is on the same volume, since the walk never descends into a mount
    // point or junction, the only ways to another; its own number and kind come with its
    // listing, in its "." entry.
    SelfEntry self;
    if (descending) {
      listing.identity.device = listed->identity.device;
      error = listEntries(handle, listing, self);
    } else {
      error = querySelf(handle, listing.identity);
      if (error == ERROR_SUCCESS) error = listEntries(handle, listing, self);
    }
    if (descending) {
      // Where the listing tells nothing of the folder itself (no "." entry, no number) or failed
      // (the handle may be a file's), the folder is asked as a whole.
      if (error != ERROR_NO_MORE_FILES || !self.seen || self.node == 0) {
        const DWORD queried = querySelf(handle, listing.identity);
        if (queried != ERROR_SUCCESS) error = queried;
      } else if (!isFolderToRead(self.attributes, self.tag)) {
        error = ERROR_DIRECTORY;
      } else {
        listing.identity.node = self.node;
      }
      // Opened by its path, the folder may lie behind a link that has taken the place of a
      // folder on the way. Another folder than the one listed is never read: the way is looked
      // at again, one name at a time, to name the place where it changed, and the folder itself
      // is refused where nothing on the way shows it (it changed again since).
      if (error == ERROR_NO_MORE_FILES && listed->identity.node != 0 &&
          listed->identity != listing.identity) {
        checkWayFromTop(folder, system, *listed);
        error = ERROR_DIRECTORY;
      }
    }
  } catch (...) {
    CloseHandle(handle);
    throw;
  }
  CloseHandle(handle);
  if (error != ERROR_NO_MORE_FILES) fail(error);
  return listing;
}

}  // namespace pairwick::platform
