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
  if (!contents.ends.empty() && shared == path.size() && shared == last.size()) return;
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
