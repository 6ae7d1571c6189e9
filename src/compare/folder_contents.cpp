// Adding paths to a FolderContents in order, and reading them back.
#include "compare/folder_contents.h"

#include <algorithm>
#include <limits>

namespace pairwick {

void addInOrder(FolderContents& contents, std::string_view path) {
  if (!contents.ends.empty() && path == contents.last) return;
  const std::size_t limit =
      std::min({path.size(), contents.last.size(),
                static_cast<std::size_t>(std::numeric_limits<std::uint16_t>::max())});
  std::size_t shared = 0;
  while (shared < limit && path[shared] == contents.last[shared]) ++shared;
  contents.tails.append(path.substr(shared));
  contents.ends.push_back(static_cast<std::uint32_t>(contents.tails.size()));
  contents.shared.push_back(static_cast<std::uint16_t>(shared));
  contents.last.assign(path);
}

void nextPath(const FolderContents& contents, std::size_t index, NarrowText& path) {
  const std::size_t start = index == 0 ? 0 : contents.ends[index - 1];
  path.resize(contents.shared[index]);
  path.append(contents.tails, start, contents.ends[index] - start);
}

}  // namespace pairwick
