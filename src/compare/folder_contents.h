// The set of relative paths found below one folder.
#pragma once

#include <algorithm>
#include <vector>

#include "codec/text_types.h"

namespace pairwick {

// '/'-separated code page 932 relative paths, ordered by unsigned byte-wise comparison (a prefix
// sorts first), each at most once. A sorted vector rather than a tree of nodes: a folder may
// hold millions of entries, and the paths are only appended while a scan runs and read in order
// after it.
using FolderContents = std::vector<NarrowText>;

// Restores the order and uniqueness of `contents` after paths were appended to it in any order.
inline void settleContents(FolderContents& contents) {
  // std::string compares as unsigned bytes (char_traits<char>::compare is memcmp).
  std::sort(contents.begin(), contents.end());
  contents.erase(std::unique(contents.begin(), contents.end()), contents.end());
}

}  // namespace pairwick
