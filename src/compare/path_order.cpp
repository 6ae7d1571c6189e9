// Ordering the paths of a scan folder by folder, byte for byte as a general sort would.
#include "compare/path_order.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>

namespace pairwick {

namespace {

std::string_view textOf(const FoundPaths& found, std::size_t index) {
  const std::size_t start = index == 0 ? 0 : found.ends[index - 1];
  return std::string_view(found.texts).substr(start, found.ends[index] - start);
}

// Makes `path` the path of the entry at `depth` named `name`, given that it begins with the path
// of the folder, `folderEnds[depth]` bytes long.
void enterName(NarrowText& path, const std::vector<std::size_t>& folderEnds, std::size_t depth,
               std::string_view name) {
  path.resize(folderEnds[depth]);
  if (depth > 0) path.push_back('/');
  path.append(name);
}

// The key by which a folder's items are ordered: an entry's name, or the name followed by '/'
// for the entries below it (every path below the folder "d" begins with "d/").
struct ItemKey {
  std::string_view name;
  bool below;
};

// The key's byte at `i`, -1 past its end.
int keyByte(const ItemKey& key, std::size_t i) {
  if (i < key.name.size()) return static_cast<unsigned char>(key.name[i]);
  return i == key.name.size() && key.below ? '/' : -1;
}

bool keyLess(const ItemKey& a, const ItemKey& b) {
  const std::size_t common = std::min(a.name.size(), b.name.size());
  const int order = common == 0 ? 0 : std::memcmp(a.name.data(), b.name.data(), common);
  // Past the shorter name, no name holds '/': the next bytes decide.
  return order != 0 ? order < 0 : keyByte(a, common) < keyByte(b, common);
}

// An entry to place (`below` false), or the entries below it, tree[first, end), one level deeper.
struct Work {
  ItemKey key;
  std::size_t first;
  std::size_t end;
};

}  // namespace

void addFound(FoundPaths& found, std::string_view text, std::uint8_t depth) {
  const std::size_t before = found.texts.size();
  try {
    found.texts.append(text);
    found.ends.push_back(static_cast<std::uint32_t>(found.texts.size()));
    found.depths.push_back(depth);
  } catch (...) {
    found.texts.resize(before);
    found.ends.resize(found.depths.size());
    throw;
  }
}

// Paths in the tree are distinct by construction (no name holds '/'), so only the few others are
// looked for among them.
std::size_t distinctCount(const FoundPaths& found) {
  std::unordered_set<std::string_view> others;
  for (std::size_t i = 0; i < found.depths.size(); ++i) {
    if (found.depths[i] == kNotInTree) others.insert(textOf(found, i));
  }
  std::size_t count = others.size();
  std::vector<std::size_t> folderEnds(1, 0);
  NarrowText path;
  for (std::size_t i = 0; i < found.depths.size(); ++i) {
    const std::size_t depth = found.depths[i];
    if (depth == kNotInTree) continue;
    ++count;
    if (others.empty()) continue;
    enterName(path, folderEnds, depth, textOf(found, i));
    folderEnds.resize(depth + 2);
    folderEnds[depth + 1] = path.size();
    if (others.count(path) != 0) --count;
  }
  return count;
}

// A general sort of a million paths spends most of its time comparing the long beginnings that
// paths in one folder share. The paths in the tree are instead ordered folder by folder: they come
// in the walk's order, a folder before what lies below it, so each folder's entries and the runs
// below them are known; within a folder the entries sort by name and the run below the entry "d"
// sorts as "d/" does, which places everything byte for byte where a general sort would. The few
// others are sorted apart and merged in.
void settleFound(FoundPaths& found, FolderContents& contents) {
  std::vector<std::uint32_t> tree;
  std::vector<std::string_view> others;
  for (std::uint32_t i = 0; i < found.depths.size(); ++i) {
    if (found.depths[i] == kNotInTree) {
      others.push_back(textOf(found, i));
    } else {
      tree.push_back(i);
    }
  }
  std::sort(others.begin(), others.end());
  auto other = others.begin();
  const auto add = [&](std::string_view path) {
    for (; other != others.end() && *other < path; ++other) addInOrder(contents, *other);
    addInOrder(contents, path);
  };

  std::vector<std::size_t> folderEnds(1, 0);
  NarrowText path;
  std::vector<Work> work = {Work{ItemKey{{}, true}, 0, tree.size()}};
  std::vector<Work> items;
  while (!work.empty()) {
    const Work next = work.back();
    work.pop_back();
    if (!next.key.below) {
      const std::size_t depth = found.depths[tree[next.first]];
      enterName(path, folderEnds, depth, next.key.name);
      add(path);
      continue;
    }
    // The entries of one folder: its path is the path of the entry before them.
    const std::size_t depth = next.first == 0 ? 0 : found.depths[tree[next.first - 1]] + 1;
    if (depth > 0) {
      enterName(path, folderEnds, depth - 1, textOf(found, tree[next.first - 1]));
      folderEnds.resize(depth + 1);
      folderEnds[depth] = path.size();
    }
    items.clear();
    for (std::size_t k = next.first; k < next.end;) {
      std::size_t end = k + 1;
      while (end < next.end && found.depths[tree[end]] > depth) ++end;
      const std::string_view name = textOf(found, tree[k]);
      items.push_back(Work{ItemKey{name, false}, k, k + 1});
      if (end > k + 1) items.push_back(Work{ItemKey{name, true}, k + 1, end});
      k = end;
    }
    std::sort(items.begin(), items.end(),
              [](const Work& a, const Work& b) { return keyLess(a.key, b.key); });
    work.insert(work.end(), items.rbegin(), items.rend());
  }
  for (; other != others.end(); ++other) addInOrder(contents, *other);
  found = FoundPaths();
}

}  // namespace pairwick
