// Adding paths to a FolderContents in order, and reading them back.
#include "compare/folder_contents.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pairwick {

void addInOrder(FolderContents& contents, std::string_view path) {
  const NarrowText& last = contents.last;
  const std::size_t limit =
      std::min({path.size(), last.size(), std::size_t{std::numeric_limits<std::uint16_t>::max()}});
  std::size_t shared = 0;
  // Eight bytes at a time: paths in order share most of their beginnings.
  while (shared + 8 <= limit && std::memcmp(path.data() + shared, last.data() + shared, 8) == 0) {
    shared += 8;
  }
  while (shared < limit && path[shared] == last[shared]) ++shared;
  if (pathCount(contents) != 0 && shared == path.size() && shared == last.size()) return;
  // Each path has its tail and its shared length, or neither, however memory runs out.
  contents.shared.push_back(static_cast<std::uint16_t>(shared));
  try {
    appendText(contents.tails, path.substr(shared));
  } catch (...) {
    contents.shared.pop_back();
    throw;
  }
  contents.last.assign(path);
}

void advanceToPath(const FolderContents& contents, std::size_t index, NarrowText& path) {
  path.resize(contents.shared[index]);
  path.append(textAt(contents.tails, index));
}

}  // namespace pairwick
