// The paths of one scan as they are found, kept small, and put in order into FolderContents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compare/folder_contents.h"
#include "compare/packed_texts.h"

namespace pairwick {

// Stands in for the depth of a path kept whole: one that is not its folder's path, '/' and its own
// name all the way up (a link, or an entry below one whose path the relative path rule changed).
constexpr std::uint8_t kWholePath = 0xFF;

// The paths found in the order of the walk (a folder's entry before its contents). A path in the
// tree of names is kept as its last name and its depth: its folders are the entries before it.
struct FoundPaths {
  PackedTexts texts;  // each entry's name, or its whole path when kWholePath
  std::vector<std::uint8_t> depths;
};

// Adds one found path; on failure (exhausted memory) `found` is left as it was.
void addFound(FoundPaths& found, std::string_view text, std::uint8_t depth);

// Fills `contents`, which is empty, with the distinct paths of `found` in their order, and empties
// `found`.
void putFoundInOrder(FoundPaths& found, FolderContents& contents);

}  // namespace pairwick
