// The scan of each folder: its console and log lines in the order of a walk of the tree, entry by
// entry, from the folders that the reader has read ahead.
#include "compare/folder_scanner.h"

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "codec/cp932.h"
#include "compare/folder_reader.h"
#include "compare/path_order.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/folders.h"
#include "text/shift_jis.h"

namespace pairwick {

namespace {

// What every line of one scan shares, made once: a scan may meet millions of entries.
struct ScanLines {
  NarrowText label;
  WideText wideLabel;
  NarrowText logPrefix;
  NarrowText consolePrefix;
  NarrowText consoleLine;
  NarrowText logBatch;
};

// Where the native name of one entry of a listing starts, so that the next is found from there.
struct NameCursor {
  std::size_t entry = 0;
  std::size_t start = 0;
};

// A folder whose entries are being shown: its read, the next entry and folder entry, and whether
// its entries are kept as names.
struct Frame {
  FolderRead read;
  bool keepsNames;  // its entries are kept as name and depth, not as whole paths
  std::size_t next = 0;
  std::size_t nextSubfolder = 0;
  NameCursor name = {};  // only moved for a failed entry: the walk itself needs no native name
};

// The per-entry guarded block: the entry's console line and log line.
void showEntry(ScanLines& lines, std::string_view pathStr, DiagnosticsLog& errLog) {
  lines.consoleLine.assign(lines.consolePrefix).append(pathStr).push_back('\n');
  if (!platform::writeConsoleCp932(lines.consoleLine)) {
    // What the general conversion does with such text, with its failure line in its place.
    flushLogBatch(errLog, lines.logBatch);
    platform::writeConsole(u"検出 (" + lines.wideLabel + u"): " +
                           shiftJISToWstring(NarrowText(pathStr), errLog, lines.label + " path") +
                           u"\n");
  }
  const std::size_t logBefore = lines.logBatch.size();
  try {
    lines.logBatch.append(lines.logPrefix).append(pathStr).push_back('\n');
  } catch (...) {
    // A line is logged whole or not at all.
    lines.logBatch.resize(logBefore);
    throw;
  }
  if (lines.logBatch.size() >= kLogBatchBytes) flushLogBatch(errLog, lines.logBatch);
}

// The entry's full path as the walk joins it, for the console. Entries fail in the walk's order,
// so the names are searched on from the last failed entry's, not from the first.
WideText fullPathOf(Frame& frame, std::size_t entry) {
  const auto& names = frame.read.listing.names;
  NameCursor& name = frame.name;
  if (entry < name.entry) name = NameCursor();
  for (; name.entry < entry; ++name.entry) name.start = names.find('\0', name.start) + 1;
  return platform::widePath(std::filesystem::path(frame.read.path) /
                            names.substr(name.start, names.find('\0', name.start) - name.start));
}

// The walk of one tree: every entry shown, logged and kept in `found`, in the walk's order. True
// when every entry was kept; throws what ends the walk early.
bool walkTree(ScanLines& lines, FolderReader& reader, FoundPaths& found, DiagnosticsLog& errLog) {
  static const NarrowText entryErrorText = cp932(u"[ERROR] パス変換エラー (");
  bool allKept = true;
  std::vector<Frame> frames;
  frames.push_back(Frame{awaitRead(reader, nullptr), true});
  // pathStr keeps its old name: the entry's whole relative path, as it is shown and logged.
  NarrowText pathStr;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    const FolderRead& read = frame.read;
    if (frame.next == read.failedAt) std::rethrow_exception(read.failure);
    if (frame.next == read.isName.size()) {
      frames.pop_back();
      continue;
    }
    const std::size_t entry = frame.next++;
    const std::string_view text = textAt(read.texts, entry);
    pathStr.clear();
    if (read.isName[entry]) pathStr.assign(read.prefix);
    pathStr.append(text);
    const std::size_t depth = frames.size() - 1;
    const bool keptAsName = frame.keepsNames && read.isName[entry] && depth < kWholePath;
    bool kept = true;
    try {
      showEntry(lines, pathStr, errLog);
      addFound(found, keptAsName ? text : std::string_view(pathStr),
               keptAsName ? static_cast<std::uint8_t>(depth) : kWholePath);
    } catch (const std::exception& failure) {
      kept = allKept = false;
      const NarrowText message = platform::narrowMessage(failure);
      flushLogBatch(errLog, lines.logBatch);
      platform::writeConsole(u"[WARNING] パス変換エラー (" + lines.wideLabel + u"): " +
                             fullPathOf(frame, entry) + u" (" + widenMessage(message) + u")\n");
      writeLog(errLog, entryErrorText + lines.label + "): " + pathStr + " (" + message + ")\n");
    }
    if (read.listing.kinds[entry] == platform::EntryKind::folder) {
      // Below an entry that was not kept, paths are kept whole.
      const std::shared_ptr<FolderJob>& subfolder = read.subfolders[frame.nextSubfolder++];
      frames.push_back(Frame{awaitRead(reader, subfolder), kept && keptAsName});
    }
  }
  return allKept;
}

// The walk of the tree below the folder between its start and end log lines, or the scan
// handler's lines when it ends early; either way what was found is put in order into the
// folder's contents, which the end line counts. True when the scan was complete.
bool scanFolder(const FolderScan& scan, FolderReader& reader, DiagnosticsLog& errLog) {
  static const NarrowText startText = cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ");
  static const NarrowText doneText = cp932(u"[DEBUG] フォルダ走査完了 (");
  static const NarrowText scanErrorText = cp932(u"[ERROR] フォルダ走査エラー (");
  const NarrowText& label = scan.label;
  FolderContents& contents = *scan.contents;
  ScanLines lines{
      label, {}, cp932(u"[DEBUG] 検出 (") + label + "): ", cp932(u"検出 (") + label + "): ",
      {},    {}};
  FoundPaths found;
  try {
    writeLog(errLog, startText + scan.basePath + "\n");
    // The wide label is made after the start line: its conversion failure is logged after it.
    lines.wideLabel = shiftJISToWstring(label, errLog, "");
    const bool allKept = walkTree(lines, reader, found, errLog);
    flushLogBatch(errLog, lines.logBatch);
    putFoundInOrder(found, contents);
    writeLog(errLog,
             doneText + label + "): " + std::to_string(pathCount(contents)) + cp932(u" 項目\n"));
    return allKept;
  } catch (const std::exception& failure) {
    const NarrowText message = platform::narrowMessage(failure);
    flushLogBatch(errLog, lines.logBatch);
    writeLog(errLog, scanErrorText + label + "): " + scan.basePath + " (" + message + ")\n");
    // The user must learn that the comparison that follows rests on an incomplete scan.
    platform::writeConsole(u"[WARNING] フォルダ走査エラー (" + lines.wideLabel + u"): " +
                           shiftJISToWstring(scan.basePath, errLog, "folder path") + u" (" +
                           widenMessage(message) + u")\n");
    // What was found before stays, unless it is already in the contents. Should memory run out
    // again, the contents keep what was put in order: the scan already counts as incomplete.
    try {
      if (pathCount(contents) == 0) putFoundInOrder(found, contents);
    } catch (const std::exception&) {
    }
    return false;
  }
}

}  // namespace

std::vector<bool> scanFolders(const std::vector<FolderScan>& scans, DiagnosticsLog& errLog) {
  // Every tree is read ahead from the start; a reader stops when its walk has ended.
  std::vector<std::shared_ptr<FolderReader>> readers;
  for (const FolderScan& scan : scans) readers.push_back(startReading(scan.basePath));
  std::vector<bool> complete;
  for (std::size_t tree = 0; tree < scans.size(); ++tree) {
    complete.push_back(scanFolder(scans[tree], *readers[tree], errLog));
    readers[tree].reset();
  }
  return complete;
}

}  // namespace pairwick
