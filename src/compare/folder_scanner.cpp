// Recursive scan of one folder tree into its set of relative paths, shown and logged entry by
// entry.
#include "compare/folder_scanner.h"

#include <exception>
#include <filesystem>
#include <string>

#include "log/diagnostics_log.h"
#include "platform/platform.h"
#include "text/cp932.h"
#include "text/separators.h"
#include "text/shift_jis.h"

namespace pairwick {

namespace fs = std::filesystem;

namespace {

// Where an entry lies relative to the base, both taken with every link resolved: a link is
// recorded under its target, and a folder reached through a link gives the paths of the folder
// it leads to. "." is the base itself, a ".."-prefixed path lies outside it.
fs::path relativeToBase(const fs::path& entryPath, const fs::path& basePath) {
  return platform::weaklyCanonical(entryPath).lexically_relative(
      platform::weaklyCanonical(basePath));
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

    NarrowText logLine;
    WideText consoleLine;
    const fs::recursive_directory_iterator end;
    for (fs::recursive_directory_iterator it(platform::pathFromNarrow(folderPath)); it != end;
         ++it) {
      const fs::directory_entry& entry = *it;
      // A link to a folder is an entry of its own; what lies behind it belongs to its target.
      if (platform::isLinkEntry(entry)) it.disable_recursion_pending();
      NarrowText pathStr = platform::narrowPath(relativeToBase(entry.path(), base));
      normaliseSeparators(pathStr, nativeSeparator);
      try {
        const WideText wPath = shiftJISToWstring(pathStr, errLog, conversionLabel);
        consoleLine.assign(consolePrefix).append(wPath).push_back(u'\n');
        platform::writeConsole(consoleLine);
        logLine.assign(logPrefix).append(pathStr).push_back('\n');
        writeLog(errLog, logLine);
        contents.insert(std::move(pathStr));
      } catch (const std::exception& failure) {
        const NarrowText message = platform::narrowMessage(failure);
        platform::writeConsole(u"[WARNING] パス変換エラー (" + wideLabel + u"): " +
                               platform::widePath(entry.path()) + u" (" + widenMessage(message) +
                               u")\n");
        writeLog(errLog, entryErrorText + label + "): " + pathStr + " (" + message + ")\n");
      }
    }

    writeLog(errLog, doneText + label + "): " + std::to_string(contents.size()) + countUnitText);
    return true;
  } catch (const std::exception& failure) {
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
