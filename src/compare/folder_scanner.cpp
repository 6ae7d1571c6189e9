// Recursive scan of one folder tree into its set of relative paths, shown and logged entry by
// entry, either as the walk goes or after it, when the walk ran beside another scan.
#include "compare/folder_scanner.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
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

// Called for each entry with its relative path (`pathStr`) and its full path as enumerated.
using EntrySink = std::function<void(const NarrowText& pathStr, const fs::path::string_type&)>;

// Walks folderPath and hands every entry's relative path to `sink`, in the order of visiting.
// Throws what ends a scan: a failed walk, an entry or base that cannot be resolved, a relative
// path without a narrow form.
void walkEntries(const NarrowText& basePath, const NarrowText& folderPath, const EntrySink& sink) {
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
  NarrowText pathStr;
  platform::walkFolderTree(
      platform::pathFromNarrow(folderPath),
      [&](const fs::path::string_type& fullPath, std::size_t nameStart, std::size_t depth,
          bool isLink, bool plain) {
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

        if (namesSuffice && plain && namesKnown) {
          pathStr = namesPath;
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
        sink(pathStr, fullPath);
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
  consoleLine.assign(consolePrefix);
  if (pathStr.find('\0') != NarrowText::npos ||
      !platform::decodeCp932Lenient(pathStr, consoleLine)) {
    // What the general conversion does with such text, with its failure line in its place.
    flushLog(errLog, logBatch);
    consoleLine.assign(consolePrefix).append(shiftJISToWstring(pathStr, errLog, conversionLabel));
  }
  consoleLine.push_back(u'\n');
  platform::writeConsole(consoleLine);
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

// A walk's findings, kept until its lines may be written: the paths in the order found, the
// entries whose handling failed (how many paths came before, the path, the full path for the
// console, the message), and the message of the failure that ended the walk, if one did.
using EntryFailure = std::tuple<std::size_t, NarrowText, WideText, NarrowText>;
using ScanRecord = std::tuple<FolderContents, std::vector<EntryFailure>, std::optional<NarrowText>,
                              std::vector<std::uint32_t> /*order of the paths*/>;

void recordScan(const NarrowText& basePath, const NarrowText& folderPath, ScanRecord& record) {
  auto& [found, failures, endFailure, order] = record;
  try {
    walkEntries(basePath, folderPath,
                [&](const NarrowText& pathStr, const fs::path::string_type& fullPath) {
                  try {
                    found.push_back(pathStr);
                  } catch (const std::exception& failure) {
                    failures.emplace_back(found.size(), pathStr,
                                          platform::widePath(fs::path(fullPath)),
                                          platform::narrowMessage(failure));
                  }
                });
  } catch (const std::exception& failure) {
    endFailure = platform::narrowMessage(failure);
  }
  // The paths' order is found here, beside the other scan; the paths themselves stay in the
  // order found until their lines are written.
  try {
    order.resize(found.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(),
              [&found = found](std::uint32_t a, std::uint32_t b) { return found[a] < found[b]; });
  } catch (const std::exception&) {
    order.clear();
  }
}

// Writes a recorded scan's lines and fills `contents`, as scanFolder would have.
bool replayScan(ScanRecord& record, const NarrowText& folderPath, FolderContents& contents,
                std::ostream& errLog, const NarrowText& label) {
  auto& [found, failures, endFailure, order] = record;
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

  const bool wasEmpty = contents.empty();
  if (order.size() == found.size() && wasEmpty) {
    contents.reserve(found.size());
    for (const std::uint32_t index : order) {
      if (contents.empty() || contents.back() != found[index]) {
        contents.push_back(std::move(found[index]));
      }
    }
  } else {
    for (NarrowText& path : found) contents.push_back(std::move(path));
    settleContents(contents);
  }
  found = FolderContents();

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

}  // namespace

bool scanFolder(const NarrowText& basePath, const NarrowText& folderPath, FolderContents& contents,
                std::ostream& errLog, const NarrowText& label) {
  ScanLines lines;
  try {
    startLines(lines, folderPath, errLog, label);
    walkEntries(basePath, folderPath,
                [&](const NarrowText& pathStr, const fs::path::string_type& fullPath) {
                  try {
                    entryLines(lines, pathStr, errLog);
                    contents.push_back(pathStr);
                  } catch (const std::exception& failure) {
                    entryFailureLines(lines, pathStr, platform::widePath(fs::path(fullPath)),
                                      platform::narrowMessage(failure), errLog, label);
                  }
                });
    settleContents(contents);
    completionLine(lines, contents.size(), errLog, label);
    return true;
  } catch (const std::exception& failure) {
    settleContents(contents);
    failureLines(lines, platform::narrowMessage(failure), errLog, folderPath, label);
    return false;
  }
}

std::function<bool()> startFolderScan(const NarrowText& basePath, const NarrowText& folderPath,
                                      FolderContents& contents, std::ostream& errLog,
                                      const NarrowText& label) {
  auto record = std::make_shared<ScanRecord>();
  std::shared_future<void> walk;
  try {
    walk = std::async(std::launch::async, [record, &basePath, &folderPath] {
             recordScan(basePath, folderPath, *record);
           }).share();
  } catch (const std::system_error&) {
    // No second thread: the scan runs whole when its lines are due.
    return [&basePath, &folderPath, &contents, &errLog, &label] {
      return scanFolder(basePath, folderPath, contents, errLog, label);
    };
  }
  return [record, walk, &folderPath, &contents, &errLog, &label] {
    walk.wait();
    return replayScan(*record, folderPath, contents, errLog, label);
  };
}

}  // namespace pairwick
