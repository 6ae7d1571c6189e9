// One folder of a tree that its reader reads: its place in the walk, how its parent's listing gave
// it, and the read, which the pool's threads fill and the walk takes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "compare/folder_reader.h"
#include "platform/folders.h"

namespace pairwick {

struct FolderJob {
  std::vector<std::uint32_t> position;  // entry indices from the top: the walk's order
  bool pathFollowsNames = true;         // its relative path is its parent's, '/' and its name
  // Below the top: how its parent's listing gave it, and the folders on the way above it.
  std::shared_ptr<const platform::ListedFolder> listed;
  enum class State { waiting, reading, read } state = State::waiting;
  FolderRead read;  // its path and prefix set when the job is made
};

}  // namespace pairwick
