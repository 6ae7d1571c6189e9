// Ordering the paths of a scan folder by folder, byte for byte as a general sort would.
#include "compare/path_order.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "compare/entry_walk.h"

namespace pairwick {
namespace detail {

namespace {

// The key by which a folder's items are ordered: an entry's name, or the name followed by '/'
// for the entries below it (every path below the folder "d" begins with "d/").
using ItemKey = std::pair<std::string_view, bool>;

bool keyLess(const ItemKey& a, const ItemKey& b) {
  const std::string_view x = a.first;
  const std::string_view y = b.first;
  const std::size_t common = std::min(x.size(), y.size());
  const int order = common == 0 ? 0 : std::memcmp(x.data(), y.data(), common);
  if (order != 0) return order < 0;
  if (x.size() == y.size()) return !a.second && b.second;
  // One name is a prefix of the other: the shorter key goes on with '/' or ends there.
  if (x.size() < y.size()) return !a.second || '/' < static_cast<unsigned char>(y[common]);
  return b.second && static_cast<unsigned char>(x[common]) < '/';
}

}  // namespace

// A general sort of a million paths spends most of its time comparing the long prefixes that
// paths in one folder share. The entries with a tree depth are instead ordered folder by folder:
// they come in the walk's order, a folder before what lies below it, so each folder's entries
// and the runs below them are known; within a folder, the entries sort by name and the run below
// the entry "d" sorts as "d/" does, which places everything byte for byte where a general sort
// would. The few others (links, paths that the rule changed) are sorted apart and merged in.
std::vector<std::uint32_t> sortedOrder(const FolderContents& found,
                                       const std::vector<std::uint32_t>& depths) {
  std::vector<std::uint32_t> tree;
  std::vector<std::uint32_t> others;
  tree.reserve(found.size());
  for (std::uint32_t i = 0; i < found.size(); ++i) {
    (depths[i] == kNotInTree ? others : tree).push_back(i);
  }

  // Work still to do, taken from the back: an entry to place (second == kNotInTree), or the run
  // tree[first, end) of the entries below a folder at depth `second`, its own path's length in
  // third. Runs are split into their items, sorted, and pushed back in reverse order.
  std::vector<std::uint32_t> sortedTree;
  sortedTree.reserve(tree.size());
  using Work = std::tuple<std::size_t, std::uint32_t, std::size_t, std::size_t>;
  std::vector<Work> work;
  work.emplace_back(0, 0, tree.size(), 0);
  std::vector<std::pair<ItemKey, Work>> items;
  while (!work.empty()) {
    const auto [first, depth, end, prefixLength] = work.back();
    work.pop_back();
    if (depth == kNotInTree) {
      sortedTree.push_back(tree[first]);
      continue;
    }
    items.clear();
    const std::size_t nameStart = depth == 0 ? 0 : prefixLength + 1;
    for (std::size_t k = first; k < end;) {
      std::size_t next = k + 1;
      while (next < end && depths[tree[next]] > depth) ++next;
      const NarrowText& path = found[tree[k]];
      const std::string_view name = std::string_view(path).substr(std::min(nameStart, path.size()));
      items.emplace_back(ItemKey(name, false), Work(k, kNotInTree, 0, 0));
      if (next > k + 1) {
        items.emplace_back(ItemKey(name, true), Work(k + 1, depth + 1, next, path.size()));
      }
      k = next;
    }
    std::sort(items.begin(), items.end(),
              [](const auto& a, const auto& b) { return keyLess(a.first, b.first); });
    for (auto item = items.rbegin(); item != items.rend(); ++item) work.push_back(item->second);
  }
  tree = std::vector<std::uint32_t>();

  std::sort(others.begin(), others.end(),
            [&found](std::uint32_t a, std::uint32_t b) { return found[a] < found[b]; });
  std::vector<std::uint32_t> order;
  order.reserve(sortedTree.size() + others.size());
  const auto place = [&](std::uint32_t index) {
    if (order.empty() || found[order.back()] != found[index]) order.push_back(index);
  };
  auto other = others.begin();
  for (const std::uint32_t index : sortedTree) {
    while (other != others.end() && !(found[index] < found[*other])) place(*other++);
    place(index);
  }
  while (other != others.end()) place(*other++);
  return order;
}

// The paths are put in place by swapping within `found`, which then becomes `contents`: a second
// array of a million strings would be the scan's largest allocation.
void fillContents(FolderContents& found, const std::vector<std::uint32_t>& order, bool ordered,
                  FolderContents& contents) {
  if (ordered && contents.empty()) {
    constexpr std::uint32_t kDropped = 0xFFFFFFFF;
    std::vector<std::uint32_t> place(found.size(), kDropped);
    for (std::uint32_t i = 0; i < order.size(); ++i) place[order[i]] = i;
    // Each swap puts one path where it belongs for good, so there are fewer swaps than paths.
    for (std::size_t i = 0; i < found.size(); ++i) {
      while (place[i] != kDropped && place[i] != i) {
        const std::uint32_t target = place[i];
        std::swap(found[i], found[target]);
        std::swap(place[i], place[target]);
      }
    }
    found.resize(order.size());
    contents.swap(found);
  } else {
    for (NarrowText& path : found) contents.push_back(std::move(path));
    settleContents(contents);
  }
  found = FolderContents();
}

// Paths with a tree depth are distinct by
// construction (a path of names, none of which holds '/', names one entry only), so only the few
// others are looked up among them.
std::size_t distinctCount(const FolderContents& found, const std::vector<std::uint32_t>& depths) {
  std::vector<std::string_view> others;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (depths[i] == kNotInTree) others.emplace_back(found[i]);
  }
  const std::size_t treeCount = found.size() - others.size();
  if (others.empty()) return treeCount;
  std::sort(others.begin(), others.end());
  others.erase(std::unique(others.begin(), others.end()), others.end());
  const std::unordered_set<std::string_view> otherSet(others.begin(), others.end());
  std::size_t shared = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (depths[i] != kNotInTree && otherSet.count(found[i]) != 0) ++shared;
  }
  return treeCount + others.size() - shared;
}

void settleFound(FolderContents& found, std::vector<std::uint32_t>& depths,
                 FolderContents& contents) {
  bool ordered = false;
  std::vector<std::uint32_t> order;
  try {
    order = sortedOrder(found, depths);
    ordered = true;
  } catch (const std::exception&) {
  }
  depths = std::vector<std::uint32_t>();
  fillContents(found, order, ordered, contents);
}

}  // namespace detail
}  // namespace pairwick
