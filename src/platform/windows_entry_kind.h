// What a walk makes of an entry of a Windows folder listing, from its attributes and reparse tag:
// plain arithmetic on the listing's numbers, so that the rule is checked on every platform.
#pragma once

#include <cstdint>

#include "platform/folders.h"

namespace pairwick::platform {

// The attribute bits and reparse tags the rule reads, with the system's values (folders_win32.cpp
// checks them against its header).
constexpr std::uint32_t kAttributeDirectory = 0x00000010;
constexpr std::uint32_t kAttributeReparsePoint = 0x00000400;
constexpr std::uint32_t kReparseTagMountPoint = 0xA0000003;  // a junction or a volume's mount
constexpr std::uint32_t kReparseTagSymlink = 0xA000000C;

// A symbolic link or junction (mount point), of a file or a folder, is a link: visited, never
// descended into. Wine marks a Unix symbolic link as a reparse point with no tag; no real reparse
// point has the tag 0, so that is a link too. Any other reparse point (cloud files,
// deduplication, an app execution alias...) is the file or folder it stands for. `reparseTag` is
// read only where `attributes` has the reparse point bit: elsewhere the listing's field holds the
// size of the extended attributes.
EntryKind windowsEntryKind(std::uint32_t attributes, std::uint32_t reparseTag);

}  // namespace pairwick::platform
