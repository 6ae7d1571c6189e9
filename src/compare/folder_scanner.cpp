// Recursive scan of one folder tree into its set of relative paths, shown and logged entry by
// entry, either as the walk goes or after it, when the walk ran beside another scan.
#include "compare/folder_scanner.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "log/diagnostics_log.h"
#include "platform/platform.h"
#include "text/cp932.h"
#include "text/separators.h"
#include "text/shift_jis.h"

namespace pairwick {

namespace fs = std::filesystem;

namespace {

// Log lines are gathered up to about this many bytes and written together.
constexpr std::size_t kLogBatchBytes = 1 << 16;
constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);
// The deepest level that a walk beside another scan goes to.
constexpr std::size_t kConcurrentDepth = 32;

constexpr std::uint32_t kNotInTree = 0xFFFFFFFF;

// Called for each entry with its relative path (`pathStr`), its full path as enumerated, and its
// depth when the entry's path is its folder's path, '/' and its name, all the way up (kNotInTree
// otherwise: links, and paths that the rule made different).
using EntrySink = std::function<void(const NarrowText& pathStr, const fs::path::string_type&,
                                     std::uint32_t treeDepth)>;

// Called with each entry's depth before anything else is done for it.
using DepthHook = std::function<void(std::size_t depth)>;

// Walks folderPath and hands every entry's relative path to `sink`, in the order of visiting.
// Throws what ends a scan: a failed walk, an entry or base that cannot be resolved, a relative
// path without a narrow form.

void walkEntries(const NarrowText& basePath, const NarrowText& folderPath, const EntrySink& sink,
                 const DepthHook& beforeEntry = nullptr) {
  const fs::path base = platform::pathFromNarrow(basePath);
  const char nativeSeparator = static_cast<char>(fs::path::preferred_separator);

  // An entry's relative path is, by the rule, its resolved path relative to the resolved base.
  // The base is resolved once, with the scan's first entry. For an entry that is no link, in a
  // folder that the walk reached without following any link, the resolved path is the resolved
  // folder followed by the entry's names; when the scanned folder is the base, the relative path
  // is then just those names, and the file system need not be asked. Links, and anything that
  // the platform cannot vouch for, take the rule in full.
  fs::path resolvedBase;
  bool baseResolved = false;
  bool namesSuffice = false;
  const bool scansBase = basePath == folderPath;

  // The narrow relative path of the last entry seen at each depth (kUnknown where its names have
  // no narrow form or the entry is a link), so that an entry's path is its folder's path plus its
  // own converted name.
  NarrowText namesPath;
  std::vector<std::size_t> namesEnd;
  // Whether the entry last seen at each depth, and every folder above it, has its names' path.
  std::vector<char> inTree;
  NarrowText pathStr;
  platform::walkFolderTree(
      platform::pathFromNarrow(folderPath),
      [&](const fs::path::string_type& fullPath, std::size_t nameStart, std::size_t depth,
          bool isLink, bool plain) {
        if (beforeEntry) beforeEntry(depth);
        const std::size_t parentEnd = depth == 0 ? 0 : namesEnd[depth - 1];
        namesEnd.resize(depth + 1);
        bool namesKnown = false;
        if (parentEnd != kUnknown && !isLink) {
          namesPath.resize(parentEnd);
          if (depth > 0) namesPath.push_back('/');
          namesKnown = platform::appendNarrowName(
              std::basic_string_view<fs::path::value_type>(fullPath).substr(nameStart), namesPath);
        }
        namesEnd[depth] = namesKnown ? namesPath.size() : kUnknown;

        bool namesGiven = false;
        if (namesSuffice && plain && namesKnown) {
          pathStr = namesPath;
          namesGiven = true;
        } else {
          const fs::path resolvedEntry = platform::weaklyCanonical(fs::path(fullPath));
          if (!baseResolved) {
            resolvedBase = platform::weaklyCanonical(base);
            baseResolved = true;
            // A resolved base longer than the base could make a resolved entry path longer than
            // any that the platform vouched for.
            namesSuffice = scansBase && resolvedBase.native().size() <= base.native().size();
          }
          pathStr = platform::narrowPath(resolvedEntry.lexically_relative(resolvedBase));
        }
        normaliseSeparators(pathStr, nativeSeparator);
        inTree.resize(depth + 1);
        inTree[depth] = namesKnown && (namesGiven || pathStr == namesPath) &&
                        (depth == 0 || inTree[depth - 1]) && depth < kNotInTree;
        sink(pathStr, fullPath, inTree[depth] ? static_cast<std::uint32_t>(depth) : kNotInTree);
      });
}

// What every line of one scan shares, and the log lines not yet written.
using ScanLines =
    std::tuple<WideText /*wide label*/, NarrowText /*conversion label*/, NarrowText /*log prefix*/,
               WideText /*console prefix*/, NarrowText /*log batch*/, WideText /*console line*/>;

void flushLog(std::ostream& errLog, NarrowText& batch) {
  if (batch.empty()) return;
  writeLog(errLog, batch);
  batch.clear();
}

// The start line and the shared pieces; the wide label is made after the start line, as its
// conversion failure (if any) is logged after it.
void startLines(ScanLines& lines, const NarrowText& folderPath, std::ostream& errLog,
                const NarrowText& label) {
  static const NarrowText startText = cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ");
  static const NarrowText foundText = cp932(u"[DEBUG] 検出 (");
  auto& [wideLabel, conversionLabel, logPrefix, consolePrefix, logBatch, consoleLine] = lines;
  writeLog(errLog, startText + folderPath + "\n");
  // The pieces that every entry's lines share are made once: a scan may meet millions of
  // entries.
  wideLabel = shiftJISToWstring(label, errLog, "");
  conversionLabel = label + " path";
  logPrefix = foundText + label + "): ";
  consolePrefix = u"検出 (" + wideLabel + u"): ";
  logBatch.reserve(kLogBatchBytes + 4096);
}

// The console and log lines of one entry.
void entryLines(ScanLines& lines, const NarrowText& pathStr, std::ostream& errLog) {
  auto& [wideLabel, conversionLabel, logPrefix, consolePrefix, logBatch, consoleLine] = lines;
  // A relative path holds no 0x00 byte (no file system allows one in a name), which the general
  // conversion would stop at.
  if (!platform::writeConsoleLine(consolePrefix, pathStr)) {
    // What the general conversion does with such text, with its failure line in its place.
    flushLog(errLog, logBatch);
    consoleLine.assign(consolePrefix).append(shiftJISToWstring(pathStr, errLog, conversionLabel));
    consoleLine.push_back(u'\n');
    platform::writeConsole(consoleLine);
  }
  logBatch.append(logPrefix).append(pathStr).push_back('\n');
  if (logBatch.size() >= kLogBatchBytes) flushLog(errLog, logBatch);
}

// The lines of an entry whose own handling failed.
void entryFailureLines(ScanLines& lines, const NarrowText& pathStr, std::u16string_view widePath,
                       const NarrowText& message, std::ostream& errLog, const NarrowText& label) {
  static const NarrowText entryErrorText = cp932(u"[ERROR] パス変換エラー (");
  auto& [wideLabel, conversionLabel, logPrefix, consolePrefix, logBatch, consoleLine] = lines;
  flushLog(errLog, logBatch);
  platform::writeConsole(u"[WARNING] パス変換エラー (" + wideLabel + u"): " + WideText(widePath) +
                         u" (" + widenMessage(message) + u")\n");
  writeLog(errLog, entryErrorText + label + "): " + pathStr + " (" + message + ")\n");
}

void completionLine(ScanLines& lines, std::size_t count, std::ostream& errLog,
                    const NarrowText& label) {
  static const NarrowText doneText = cp932(u"[DEBUG] フォルダ走査完了 (");
  static const NarrowText countUnitText = cp932(u" 項目\n");
  flushLog(errLog, std::get<4>(lines));
  writeLog(errLog, doneText + label + "): " + std::to_string(count) + countUnitText);
}

// The scan handler's lines.
void failureLines(ScanLines& lines, const NarrowText& message, std::ostream& errLog,
                  const NarrowText& folderPath, const NarrowText& label) {
  static const NarrowText scanErrorText = cp932(u"[ERROR] フォルダ走査エラー (");
  flushLog(errLog, std::get<4>(lines));
  writeLog(errLog, scanErrorText + label + "): " + folderPath + " (" + message + ")\n");
  // The user must learn that the comparison that follows rests on an incomplete scan.
  platform::writeConsole(u"[WARNING] フォルダ走査エラー (" + std::get<0>(lines) + u"): " +
                         shiftJISToWstring(folderPath, errLog, "folder path") + u" (" +
                         widenMessage(message) + u")\n");
}

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

// The indices of `found`, each distinct path once, in the order of their paths' bytes.
//
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

// Moves the found paths into `contents`, which then holds each distinct path once, in order.
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

// A walk's findings, kept until its lines may be written: the paths in the order found with
// their tree depths, the entries whose handling failed (how many paths came before, the path,
// the full path for the console, the message), the message of the failure that ended the walk
// if one did, and the order of the distinct paths.
using EntryFailure = std::tuple<std::size_t, NarrowText, WideText, NarrowText>;
using ScanRecord = std::tuple<FolderContents, std::vector<std::uint32_t>, std::vector<EntryFailure>,
                              std::optional<NarrowText>, std::vector<std::uint32_t>,
                              bool /*ordered*/, bool /*to be scanned again*/>;

void recordScan(const NarrowText& basePath, const NarrowText& folderPath, ScanRecord& record,
                const std::atomic<bool>& stop) {
  // Named references rather than structured bindings: C++17 lambdas cannot capture bindings.
  auto& found = std::get<0>(record);
  auto& depths = std::get<1>(record);
  auto& failures = std::get<2>(record);
  auto& endFailure = std::get<3>(record);
  auto& order = std::get<4>(record);
  auto& ordered = std::get<5>(record);
  auto& again = std::get<6>(record);
  try {
    walkEntries(
        basePath, folderPath,
        [&](const NarrowText& pathStr, const fs::path::string_type& fullPath,
            std::uint32_t treeDepth) {
          try {
            found.push_back(pathStr);
            depths.push_back(treeDepth);
          } catch (const std::exception& failure) {
            found.resize(depths.size());
            failures.emplace_back(found.size(), pathStr, platform::widePath(fs::path(fullPath)),
                                  platform::narrowMessage(failure));
          }
        },
        [&stop](std::size_t depth) {
          if (depth > kConcurrentDepth || stop.load(std::memory_order_relaxed)) {
            throw fs::filesystem_error("folder depth",
                                       std::make_error_code(std::errc::too_many_files_open));
          }
        });
  } catch (const fs::filesystem_error& failure) {
    // Each folder open on the way down holds a descriptor, in this walk and in the other scan's:
    // deep trees might run out of them only because two walks run at once. A walk beside
    // another stops when it goes deeper than kConcurrentDepth, when the other one does, or when
    // it runs out, and is done again, alone, when its lines are due.
    if (failure.code() == std::errc::too_many_files_open) again = true;
    endFailure = platform::narrowMessage(failure);
  } catch (const std::exception& failure) {
    endFailure = platform::narrowMessage(failure);
  }
  if (again) return;
  // The paths' order is found here, beside the other scan; the paths themselves stay in the
  // order found until their lines are written.
  try {
    order = sortedOrder(found, depths);
    ordered = true;
  } catch (const std::exception&) {
    ordered = false;
  }
  depths = std::vector<std::uint32_t>();
}

// Writes a recorded scan's lines and fills `contents`, as scanFolder would have.
bool replayScan(ScanRecord& record, const NarrowText& folderPath, FolderContents& contents,
                std::ostream& errLog, const NarrowText& label) {
  auto& found = std::get<0>(record);
  auto& failures = std::get<2>(record);
  auto& endFailure = std::get<3>(record);
  auto& order = std::get<4>(record);
  auto& ordered = std::get<5>(record);
  ScanLines lines;
  std::size_t nextFailure = 0;
  const auto failuresUpTo = [&](std::size_t position) {
    for (; nextFailure < failures.size() && std::get<0>(failures[nextFailure]) <= position;
         ++nextFailure) {
      const auto& [at, pathStr, widePath, message] = failures[nextFailure];
      entryFailureLines(lines, pathStr, widePath, message, errLog, label);
    }
  };
  std::optional<NarrowText> failed = endFailure;
  try {
    startLines(lines, folderPath, errLog, label);
    for (std::size_t i = 0; i < found.size(); ++i) {
      failuresUpTo(i);
      try {
        entryLines(lines, found[i], errLog);
      } catch (const std::exception& failure) {
        entryFailureLines(lines, found[i], u"", platform::narrowMessage(failure), errLog, label);
      }
    }
    failuresUpTo(found.size());
  } catch (const std::exception& failure) {
    if (!failed) failed = platform::narrowMessage(failure);
  }
  fillContents(found, order, ordered, contents);

  try {
    if (failed) {
      failureLines(lines, *failed, errLog, folderPath, label);
      return false;
    }
    completionLine(lines, contents.size(), errLog, label);
    return true;
  } catch (const std::exception& failure) {
    // As scanFolder: a failure of the completion line is the scan handler's.
    failureLines(lines, platform::narrowMessage(failure), errLog, folderPath, label);
    return false;
  }
}

// The number of distinct paths among `found`. Paths with a tree depth are distinct by
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

// Moves what a scan found into `contents`, in order, each distinct path once.
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

// scanFolder up to its last line: walks and writes every line, the completion line included,
// and leaves the paths found, in the order found, in `found` and `depths` for settleFound.
// `releaseDescriptors`, when given, is asked to free the descriptors that another walk holds when
// this one runs out of them; when it did, the walk is done again from the start, passing over the
// entries whose lines were already written, as the unchanged tree gives them in the same order.
bool scanWithLines(const NarrowText& basePath, const NarrowText& folderPath,
                   FolderContents& contents, std::ostream& errLog, const NarrowText& label,
                   FolderContents& found, std::vector<std::uint32_t>& depths,
                   const DepthHook& beforeEntry = nullptr,
                   const std::function<bool()>& releaseDescriptors = nullptr) {
  ScanLines lines;
  try {
    startLines(lines, folderPath, errLog, label);
    std::size_t visited = 0;
    std::size_t done = 0;
    const EntrySink sink = [&](const NarrowText& pathStr, const fs::path::string_type& fullPath,
                               std::uint32_t treeDepth) {
      if (visited++ < done) return;
      try {
        entryLines(lines, pathStr, errLog);
        found.push_back(pathStr);
        depths.push_back(treeDepth);
      } catch (const std::exception& failure) {
        found.resize(depths.size());
        entryFailureLines(lines, pathStr, platform::widePath(fs::path(fullPath)),
                          platform::narrowMessage(failure), errLog, label);
      }
    };
    for (;;) {
      try {
        walkEntries(basePath, folderPath, sink, beforeEntry);
        break;
      } catch (const fs::filesystem_error& failure) {
        if (failure.code() != std::errc::too_many_files_open || !releaseDescriptors ||
            !releaseDescriptors()) {
          throw;
        }
        done = std::max(done, visited);
        visited = 0;
      }
    }
    // The count is the number of distinct paths that `contents` will hold.
    std::size_t count;
    if (contents.empty()) {
      count = distinctCount(found, depths);
    } else {
      settleFound(found, depths, contents);
      count = contents.size();
    }
    completionLine(lines, count, errLog, label);
    return true;
  } catch (const std::exception& failure) {
    failureLines(lines, platform::narrowMessage(failure), errLog, folderPath, label);
    return false;
  }
}

}  // namespace

bool scanFolder(const NarrowText& basePath, const NarrowText& folderPath, FolderContents& contents,
                std::ostream& errLog, const NarrowText& label) {
  FolderContents found;
  std::vector<std::uint32_t> depths;
  const bool completed =
      scanWithLines(basePath, folderPath, contents, errLog, label, found, depths);
  settleFound(found, depths, contents);
  return completed;
}

namespace {

// A walk started beside another scan: its record, the flag that asks it to stop, and its end.
using Recording = std::tuple<std::shared_ptr<ScanRecord>, std::shared_ptr<std::atomic<bool>>,
                             std::shared_future<void>>;

std::optional<Recording> startRecording(const NarrowText& basePath, const NarrowText& folderPath) {
  auto record = std::make_shared<ScanRecord>();
  auto stop = std::make_shared<std::atomic<bool>>(false);
  try {
    std::shared_future<void> walk =
        std::async(std::launch::async, [record, stop, &basePath, &folderPath] {
          recordScan(basePath, folderPath, *record, *stop);
        }).share();
    return Recording(record, stop, walk);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

// The second half of a scan that may have been recorded: the recorded lines written, or the
// whole scan done now when it could not be or was not finished beside the other.
std::function<bool()> finishRecording(const std::optional<Recording>& recording,
                                      const NarrowText& basePath, const NarrowText& folderPath,
                                      FolderContents& contents, std::ostream& errLog,
                                      const NarrowText& label) {
  return [recording, &basePath, &folderPath, &contents, &errLog, &label] {
    if (recording) {
      const auto& [record, stop, walk] = *recording;
      walk.wait();
      if (!std::get<6>(*record)) return replayScan(*record, folderPath, contents, errLog, label);
      *record = ScanRecord();
    }
    return scanFolder(basePath, folderPath, contents, errLog, label);
  };
}

}  // namespace

std::pair<bool, bool> scanFolders(const NarrowText& basePath1, const NarrowText& folderPath1,
                                  FolderContents& contents1, const NarrowText& label1,
                                  const NarrowText& basePath2, const NarrowText& folderPath2,
                                  FolderContents& contents2, const NarrowText& label2,
                                  std::ostream& errLog) {
  const std::optional<Recording> recording = startRecording(basePath2, folderPath2);
  // Deeper than the walk beside it may go, the first walk has it stop first, so that it finds
  // every descriptor that it would find alone.
  bool alone = !recording;
  const auto stopRecording = [&] {
    if (alone) return false;
    std::get<1>(*recording)->store(true);
    std::get<2>(*recording).wait();
    alone = true;
    return true;
  };
  const DepthHook beforeEntry = [&](std::size_t depth) {
    if (depth > kConcurrentDepth) stopRecording();
  };
  FolderContents found;
  std::vector<std::uint32_t> depths;
  // Where the process may open few descriptors, the walk beside this one may hold those that this
  // one would have found alone: it gives them up, and this walk goes on where it ran out.
  const bool completed1 = scanWithLines(basePath1, folderPath1, contents1, errLog, label1, found,
                                        depths, beforeEntry, stopRecording);
  // The first folder's paths are put in order while the second scan's lines are written.
  std::future<void> settle1;
  try {
    settle1 = std::async(std::launch::async,
                         [&found, &depths, &contents1] { settleFound(found, depths, contents1); });
  } catch (const std::system_error&) {
    settle1 = std::async(std::launch::deferred,
                         [&found, &depths, &contents1] { settleFound(found, depths, contents1); });
  }
  const bool completed2 =
      finishRecording(recording, basePath2, folderPath2, contents2, errLog, label2)();
  settle1.get();
  return {completed1, completed2};
}

std::function<bool()> startFolderScan(const NarrowText& basePath, const NarrowText& folderPath,
                                      FolderContents& contents, std::ostream& errLog,
                                      const NarrowText& label) {
  return finishRecording(startRecording(basePath, folderPath), basePath, folderPath, contents,
                         errLog, label);
}

}  // namespace pairwick
