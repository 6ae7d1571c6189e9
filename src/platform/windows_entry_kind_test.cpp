// Tests of what a walk makes of an entry of a Windows folder listing.
#include "platform/windows_entry_kind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>

namespace pairwick::platform {

void PrintTo(EntryKind kind, std::ostream* out) {
  *out << (kind == EntryKind::file ? "file" : kind == EntryKind::folder ? "folder" : "link");
}

namespace {

TEST(WindowsEntryKindTest, LinksAreSymbolicLinksAndJunctionsOnly) {
  constexpr std::uint32_t kFolder = kAttributeDirectory;
  constexpr std::uint32_t kFolderReparse = kAttributeDirectory | kAttributeReparsePoint;
  constexpr std::uint32_t kFileReparse = kAttributeReparsePoint;
  constexpr std::uint32_t kReadOnlyHiddenArchive = 0x1 | 0x2 | 0x20;
  // Reparse tags of other kinds, which stand for the file or folder itself.
  constexpr std::uint32_t kCloudFiles = 0x9000001A;
  constexpr std::uint32_t kCloudFilesPlaceholder = 0x9000601A;
  constexpr std::uint32_t kDeduplication = 0x80000013;
  constexpr std::uint32_t kAppExecutionAlias = 0x8000001B;
  constexpr std::uint32_t kContainerIsolation = 0x80000018;
  constexpr std::uint32_t kOneDrive = 0x80000021;
  constexpr std::uint32_t kNfs = 0x80000014;
  const struct {
    std::string label;
    std::uint32_t attributes;
    std::uint32_t tag;
    EntryKind expected;
  } cases[] = {
      {"plain file", 0, 0, EntryKind::file},
      {"plain file with other attributes", kReadOnlyHiddenArchive, 0, EntryKind::file},
      {"plain folder", kFolder, 0, EntryKind::folder},
      {"plain folder with other attributes", kFolder | kReadOnlyHiddenArchive, 0,
       EntryKind::folder},
      // Without the reparse point bit the field is the extended attributes' size, whatever it
      // holds.
      {"folder whose size field holds a link's tag", kFolder, kReparseTagSymlink,
       EntryKind::folder},
      {"file whose size field holds a junction's tag", 0, kReparseTagMountPoint, EntryKind::file},
      {"folder symbolic link", kFolderReparse, kReparseTagSymlink, EntryKind::link},
      {"junction", kFolderReparse, kReparseTagMountPoint, EntryKind::link},
      {"junction with other attributes", kFolderReparse | kReadOnlyHiddenArchive,
       kReparseTagMountPoint, EntryKind::link},
      {"file symbolic link", kFileReparse, kReparseTagSymlink, EntryKind::link},
      {"file with a junction's tag", kFileReparse, kReparseTagMountPoint, EntryKind::link},
      {"reparse point without a tag (Wine's links)", kFolderReparse, 0, EntryKind::link},
      {"cloud files folder", kFolderReparse, kCloudFiles, EntryKind::folder},
      {"cloud files placeholder folder", kFolderReparse, kCloudFilesPlaceholder, EntryKind::folder},
      {"OneDrive folder", kFolderReparse, kOneDrive, EntryKind::folder},
      {"container isolation folder", kFolderReparse, kContainerIsolation, EntryKind::folder},
      {"NFS folder", kFolderReparse, kNfs, EntryKind::folder},
      {"deduplicated file", kFileReparse, kDeduplication, EntryKind::file},
      {"app execution alias", kFileReparse, kAppExecutionAlias, EntryKind::file},
      {"cloud files file", kFileReparse | kReadOnlyHiddenArchive, kCloudFiles, EntryKind::file},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(windowsEntryKind(cases[i].attributes, cases[i].tag), cases[i].expected)
        << cases[i].label;
  }
}

}  // namespace
}  // namespace pairwick::platform
