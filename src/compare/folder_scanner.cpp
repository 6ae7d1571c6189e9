// Recursive scan of one folder tree into its set of relative paths, shown and logged entry by
// entry.
#include "compare/folder_scanner.h"

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
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

void flushLog(std::ostream& errLog, NarrowText& batch) {
  if (batch.empty()) return;
  writeLog(errLog, batch);
  batch.clear();
}

}  // namespace

bool scanFolder(const NarrowText& basePath, const NarrowText& folderPath, FolderContents& contents,
                std::ostream& errLog, const NarrowText& label) {
  static const NarrowText startText = cp932(u"[DEBUG] フォルダ走査開始（子フォルダ含む）: ");
  static const NarrowText foundText = cp932(u"[DEBUG] 検出 (");
  static const NarrowText entryErrorText = cp932(u"[ERROR] パス変換エラー (");
  static const NarrowText doneText = cp932(u"[DEBUG] フォルダ走査完了 (");
  static const NarrowText countUnitText = cp932(u" 項目\n");
  static const NarrowText scanErrorText = cp932(u"[ERROR] フォルダ走査エラー (");

  WideText wideLabel;
  NarrowText logBatch;
  try {
    writeLog(errLog, startText + folderPath + "\n");

    // The pieces that every entry's lines share are made once: a scan may meet millions of
    // entries.
    wideLabel = shiftJISToWstring(label, errLog, "");
    const NarrowText conversionLabel = label + " path";
    const NarrowText logPrefix = foundText + label + "): ";
    const WideText consolePrefix = u"検出 (" + wideLabel + u"): ";
    const fs::path base = platform::pathFromNarrow(basePath);
    const char nativeSeparator = static_cast<char>(fs::path::preferred_separator);

    // An entry's relative path is, by the rule, its resolved path relative to the resolved base.
    // The base is resolved once, with the scan's first entry. For an entry that is no link, in
    // a folder that the enumeration reached without following any link, the resolved path is
    // the resolved folder followed by the entry's names; when the scanned folder is the base,
    // the relative path is then just those names, and the file system need not be asked. Links
    // and anything the platform cannot vouch for take the rule in full.
    fs::path resolvedBase;
    bool baseResolved = false;
    bool namesSuffice = false;
    const bool scansBase = basePath == folderPath;

    // The narrow relative path of the last entry seen at each depth (kUnknown where its names
    // have no narrow form or the entry is a link), so that an entry's path is its folder's path
    // plus its own converted name.
    NarrowText namesPath;
    std::vector<std::size_t> namesEnd;

    NarrowText pathStr;
    WideText consoleLine;
    logBatch.reserve(kLogBatchBytes + 4096);
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
                std::basic_string_view<fs::path::value_type>(fullPath).substr(nameStart),
                namesPath);
          }
          namesEnd[depth] = namesKnown ? namesPath.size() : kUnknown;

          if (namesSuffice && plain && namesKnown) {
            pathStr = namesPath;
          } else {
            const fs::path entryPath(fullPath);
            const fs::path resolvedEntry = platform::weaklyCanonical(entryPath);
            if (!baseResolved) {
              resolvedBase = platform::weaklyCanonical(base);
              baseResolved = true;
              // A resolved base longer than the base could make a resolved entry path longer
              // than any the platform vouched for.
              namesSuffice = scansBase && resolvedBase.native().size() <= base.native().size();
            }
            pathStr = platform::narrowPath(resolvedEntry.lexically_relative(resolvedBase));
          }
          normaliseSeparators(pathStr, nativeSeparator);
          try {
            consoleLine.assign(consolePrefix);
            if (!platform::decodeCp932Lenient(pathStr, consoleLine)) {
              // The converter failed: its labelled failure line goes where it always would.
              flushLog(errLog, logBatch);
              consoleLine.assign(consolePrefix)
                  .append(shiftJISToWstring(pathStr, errLog, conversionLabel));
            }
            consoleLine.push_back(u'\n');
            platform::writeConsole(consoleLine);
            logBatch.append(logPrefix).append(pathStr).push_back('\n');
            if (logBatch.size() >= kLogBatchBytes) flushLog(errLog, logBatch);
            contents.push_back(pathStr);
          } catch (const std::exception& failure) {
            flushLog(errLog, logBatch);
            const NarrowText message = platform::narrowMessage(failure);
            platform::writeConsole(u"[WARNING] パス変換エラー (" + wideLabel + u"): " +
                                   platform::widePath(fs::path(fullPath)) + u" (" +
                                   widenMessage(message) + u")\n");
            writeLog(errLog, entryErrorText + label + "): " + pathStr + " (" + message + ")\n");
          }
        });

    flushLog(errLog, logBatch);
    settleContents(contents);
    writeLog(errLog, doneText + label + "): " + std::to_string(contents.size()) + countUnitText);
    return true;
  } catch (const std::exception& failure) {
    flushLog(errLog, logBatch);
    settleContents(contents);
    const NarrowText message = platform::narrowMessage(failure);
    writeLog(errLog, scanErrorText + label + "): " + folderPath + " (" + message + ")\n");
    // The user must learn that the comparison that follows rests on an incomplete scan.
    platform::writeConsole(u"[WARNING] フォルダ走査エラー (" + wideLabel + u"): " +
                           shiftJISToWstring(folderPath, errLog, "folder path") + u" (" +
                           widenMessage(message) + u")\n");
    return false;
  }
}

}  // namespace pairwick
