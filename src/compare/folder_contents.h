// The set of relative paths found below one folder, held compactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/text_types.h"
#include "compare/packed_texts.h"

namespace pairwick {

// '/'-separated code page 932 relative paths, ordered by unsigned byte-wise comparison (a prefix
// sorts first), each at most once. A million paths share most of their bytes with the path before
// them in that order, so each is kept as the length of that shared beginning and the bytes after
// it: about a third of the paths' own size.
struct FolderContents {
  PackedTexts tails;                  // each path's bytes after what it shares with the one before
  std::vector<std::uint16_t> shared;  // how many leading bytes each shares with the one before
  NarrowText last;                    // the last path added
};

inline std::size_t pathCount(const FolderContents& contents) { return textCount(contents.tails); }

// Adds `path` after the paths already held, unless it equals the last of them: paths are added in
// their order.
void addInOrder(FolderContents& contents, std::string_view path);

// Turns `path`, which holds the path at `index` - 1 (anything when `index` is 0), into the path at
// `index`: the paths are read in their order.
void advanceToPath(const FolderContents& contents, std::size_t index, NarrowText& path);

}  // namespace pairwick
