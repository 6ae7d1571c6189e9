// Recursive scan of one folder tree into its set of relative paths.
#pragma once

#include <ostream>

#include "compare/folder_contents.h"
#include "text/text_types.h"

namespace pairwick {

// Inserts into `contents` the relative path (to basePath) of every entry below folderPath, showing
// and logging each one. Handles every failure itself: a failed scan keeps what it collected, warns
// on the console and returns false, so that the caller knows the comparison is incomplete.
bool scanFolder(const NarrowText& basePath, const NarrowText& folderPath, FolderContents& contents,
                std::ostream& errLog, const NarrowText& label);

}  // namespace pairwick
