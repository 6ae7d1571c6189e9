// The set of relative paths found below one folder.
#pragma once

#include <set>

#include "text/text_types.h"

namespace pairwick {

// '/'-separated code page 932 relative paths, ordered by unsigned byte-wise comparison (a prefix
// sorts first), each at most once.
using FolderContents = std::set<NarrowText>;

}  // namespace pairwick
