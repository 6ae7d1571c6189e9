// Ordering the paths of a scan folder by folder, byte for byte as a general sort would.
#include "compare/path_order.h"

#include <algorithm>
#include <cstring>

namespace pairwick {

namespace {

// One item of a folder: an entry, or the entries below it, found[first, end), ordered as the
// entry's name followed by '/' (every path below the folder "d" begins with "d/").
struct Item {
  std::uint64_t head;  // the key's first eight bytes, big-endian: most comparisons end there
  std::string_view name;
  bool below;
  std::size_t first;
  std::size_t end;
};

Item itemOf(std::string_view name, bool below, std::size_t first, std::size_t end) {
  unsigned char key[8] = {};
  const std::size_t length = std::min<std::size_t>(name.size(), 8);
  std::memcpy(key, name.data(), length);
  if (length < 8 && below) key[length] = '/';
  std::uint64_t head = 0;
  for (const unsigned char byte : key) head = head << 8 | byte;
  return Item{head, name, below, first, end};
}

bool itemLess(const Item& a, const Item& b) {
  if (a.head != b.head) return a.head < b.head;
  const std::size_t common = std::min(a.name.size(), b.name.size());
  const int order = common == 0 ? 0 : std::memcmp(a.name.data(), b.name.data(), common);
  if (order != 0) return order < 0;
  // No name holds '/': past the shorter name, its '/' or its end decides.
  const auto next = [common](const Item& item) {
    if (common < item.name.size())
      return static_cast<int>(static_cast<unsigned char>(item.name[common]));
    return item.below ? int('/') : -1;
  };
  return next(a) < next(b);
}

// A run of found paths: the entries of one listing of a folder and the runs below them.
struct Run {
  std::size_t first;
  std::size_t end;
};

// Adds the paths in the tree among the runs of found paths `runs`, the contents of the folder
// `path` at `depth`, in order; `add` merges in the paths kept whole, which are passed over here.
// A folder has more than one run when its parent's listing named it more than once (a listing may
// repeat a name that is removed and added while the folder is read): its listings are merged, so
// that each path is added once and in its place.
template <typename Add>
void addFolder(const FoundPaths& found, const Run* runs, std::size_t runCount, std::size_t depth,
               NarrowText& path, const Add& add) {
  std::vector<Item> items;
  for (const Run* run = runs; run != runs + runCount; ++run) {
    for (std::size_t k = run->first; k < run->end;) {
      std::size_t next = k + 1;
      while (next < run->end && found.depths[next] > depth) ++next;
      if (found.depths[k] != kWholePath) {
        items.push_back(itemOf(textAt(found.texts, k), false, k, k + 1));
        if (next > k + 1) items.push_back(itemOf(textAt(found.texts, k), true, k + 1, next));
      }
      k = next;
    }
  }
  std::sort(items.begin(), items.end(), itemLess);
  const std::size_t folderLength = path.size();
  std::vector<Run> repeated;
  for (std::size_t i = 0; i < items.size();) {
    const Item& item = items[i];
    std::size_t same = i + 1;
    while (same < items.size() && items[same].below == item.below &&
           items[same].name == item.name) {
      ++same;
    }
    path.resize(folderLength);
    if (depth > 0) path.push_back('/');
    path.append(item.name);
    if (!item.below) {
      add(path);
    } else if (same == i + 1) {
      const Run below{item.first, item.end};
      addFolder(found, &below, 1, depth + 1, path, add);
    } else {
      repeated.clear();
      for (std::size_t k = i; k < same; ++k) repeated.push_back(Run{items[k].first, items[k].end});
      addFolder(found, repeated.data(), repeated.size(), depth + 1, path, add);
    }
    i = same;
  }
}

}  // namespace

void addFound(FoundPaths& found, std::string_view text, std::uint8_t depth) {
  found.depths.push_back(depth);
  try {
    appendText(found.texts, text);
  } catch (...) {
    found.depths.pop_back();
    throw;
  }
}

// A general sort of a million paths spends most of its time comparing the long beginnings that
// paths in one folder share. The paths in the tree are instead ordered folder by folder: they come
// in the walk's order, a folder before what lies below it, so each folder's entries and the runs
// below them are known; within a folder the entries sort by name and the run below the entry "d"
// sorts as "d/" does, which places everything byte for byte where a general sort would. The few
// others are sorted apart and merged in.
void putFoundInOrder(FoundPaths& found, FolderContents& contents) {
  std::vector<std::string_view> others;
  for (std::size_t i = 0; i < found.depths.size(); ++i) {
    if (found.depths[i] == kWholePath) others.push_back(textAt(found.texts, i));
  }
  std::sort(others.begin(), others.end());
  auto other = others.begin();
  NarrowText path;
  const Run all{0, found.depths.size()};
  addFolder(found, &all, 1, 0, path, [&](std::string_view named) {
    for (; other != others.end() && *other < named; ++other) addInOrder(contents, *other);
    addInOrder(contents, named);
  });
  for (; other != others.end(); ++other) addInOrder(contents, *other);
  found = FoundPaths();
}

}  // namespace pairwick
