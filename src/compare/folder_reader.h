// Reading the folders of the trees to scan ahead of the scan, many at once, on a pool of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codec/text_types.h"
#include "platform/platform.h"

namespace pairwick {

// One folder read: its entries and each one's relative path, as far as the scan can reach.
struct FolderRead {
  std::filesystem::path path;  // the folder as the walk joins it: shown, never resolved
  platform::FolderListing listing;
  std::string paths;                    // each entry's relative path (`pathStr`), one after another
  std::vector<std::uint32_t> pathEnds;  // where each path ends in `paths`
  std::vector<char> inTree;             // whether a path is its folder's path, '/' and its name
  std::size_t failedAt = static_cast<std::size_t>(-1);  // the entry that `failure` ends the scan at
  std::exception_ptr failure;  // what the sequential walk would throw on reaching that entry
};

struct FolderReader;

// Starts reading the trees below `basePaths`, each walked from its base path, against which its
// relative paths are computed. The reader's threads end when the last copy of it is released.
std::shared_ptr<FolderReader> startReading(const std::vector<NarrowText>& basePaths);

// The read of the tree's next folder in the walk's order: its top, then the folder of every folder
// entry, depth first. Read on this thread when no other has begun it.
FolderRead takeRead(FolderReader& reader, std::size_t tree);

// Reads nothing more of a tree whose scan has ended.
void abandonTree(FolderReader& reader, std::size_t tree);

}  // namespace pairwick
