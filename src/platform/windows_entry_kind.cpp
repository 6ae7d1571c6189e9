// What a walk makes of an entry of a Windows folder listing.
#include "platform/windows_entry_kind.h"

namespace pairwick::platform {

EntryKind windowsEntryKind(std::uint32_t attributes, std::uint32_t reparseTag) {
  const bool reparse = (attributes & kAttributeReparsePoint) != 0;
  if (reparse && (reparseTag == kReparseTagSymlink || reparseTag == kReparseTagMountPoint ||
                  reparseTag == 0)) {
    return EntryKind::link;
  }
  return (attributes & kAttributeDirectory) != 0 ? EntryKind::folder : EntryKind::file;
}

}  // namespace pairwick::platform
