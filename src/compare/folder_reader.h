// Reading the folders of one tree ahead of its walk, many at once: each tree has a reader of its
// own, with threads of its own, that also works out each entry's relative path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "codec/text_types.h"
#include "compare/packed_texts.h"
#include "platform/folders.h"

namespace pairwick {

struct FolderJob;

// One folder read: its entries and the text of each one's relative path, as far as the walk
// reaches.
struct FolderRead {
  std::filesystem::path::string_type
      path;  // the folder as the walk joins it: shown, never resolved
  platform::FolderListing listing;
  NarrowText prefix;  // the folder's relative path and '/' (empty at the top)
  // Each entry's name when its relative path is `prefix` and that name (it is in the tree of
  // names), otherwise its whole relative path; one after another.
  PackedTexts texts;
  std::vector<bool> isName;                             // whether each entry's text is its name
  std::vector<std::shared_ptr<FolderJob>> subfolders;   // one per folder entry, in their order
  std::size_t failedAt = static_cast<std::size_t>(-1);  // the entry that `failure` ends the walk at
  std::exception_ptr failure;
};

struct FolderReader;

// Starts reading the tree below `basePath`, walked from it, against which its relative paths are
// computed. The reader's threads end, each after the read it is in, when it is released.
std::shared_ptr<FolderReader> startReading(const NarrowText& basePath);

// The read of the top folder (`subfolder` null) or of one of the `subfolders` of a read, taken in
// the walk's order, which is the order they are read in; read here when no thread has begun it.
FolderRead awaitRead(FolderReader& reader, const std::shared_ptr<FolderJob>& subfolder);

}  // namespace pairwick
