// The texts of a scan's console and log lines, with the log lines gathered into batches.
#include "compare/scan_lines.h"

#include <string>

#include "codec/cp932.h"
#include "log/diagnostics_log.h"
#include "platform/platform.h"
#include "text/shift_jis.h"

namespace pairwick {
namespace detail {

namespace {

// Log lines are gathered up to about this many bytes and written together.
constexpr std::size_t kLogBatchBytes = 1 << 16;

}  // namespace

void startLines(ScanLines& lines, const NarrowText& folderPath, DiagnosticsLog& errLog,
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

void entryLines(ScanLines& lines, const NarrowText& pathStr, DiagnosticsLog& errLog) {
  auto& [wideLabel, conversionLabel, logPrefix, consolePrefix, logBatch, consoleLine] = lines;
  // A relative path holds no 0x00 byte (no file system allows one in a name), which the general
  // conversion would stop at.
  if (!platform::writeConsoleLine(consolePrefix, pathStr)) {
    // What the general conversion does with such text, with its failure line in its place.
    flushLogBatch(errLog, logBatch);
    consoleLine.assign(consolePrefix).append(shiftJISToWstring(pathStr, errLog, conversionLabel));
    consoleLine.push_back(u'\n');
    platform::writeConsole(consoleLine);
  }
  logBatch.append(logPrefix).append(pathStr).push_back('\n');
  if (logBatch.size() >= kLogBatchBytes) flushLogBatch(errLog, logBatch);
}

void entryFailureLines(ScanLines& lines, const NarrowText& pathStr, std::u16string_view widePath,
                       const NarrowText& message, DiagnosticsLog& errLog, const NarrowText& label) {
  static const NarrowText entryErrorText = cp932(u"[ERROR] パス変換エラー (");
  auto& [wideLabel, conversionLabel, logPrefix, consolePrefix, logBatch, consoleLine] = lines;
  flushLogBatch(errLog, logBatch);
  platform::writeConsole(u"[WARNING] パス変換エラー (" + wideLabel + u"): " + WideText(widePath) +
                         u" (" + widenMessage(message) + u")\n");
  writeLog(errLog, entryErrorText + label + "): " + pathStr + " (" + message + ")\n");
}

void completionLine(ScanLines& lines, std::size_t count, DiagnosticsLog& errLog,
                    const NarrowText& label) {
  static const NarrowText doneText = cp932(u"[DEBUG] フォルダ走査完了 (");
  static const NarrowText countUnitText = cp932(u" 項目\n");
  flushLogBatch(errLog, std::get<4>(lines));
  writeLog(errLog, doneText + label + "): " + std::to_string(count) + countUnitText);
}

void failureLines(ScanLines& lines, const NarrowText& message, DiagnosticsLog& errLog,
                  const NarrowText& folderPath, const NarrowText& label) {
  static const NarrowText scanErrorText = cp932(u"[ERROR] フォルダ走査エラー (");
  flushLogBatch(errLog, std::get<4>(lines));
  writeLog(errLog, scanErrorText + label + "): " + folderPath + " (" + message + ")\n");
  // The user must learn that the comparison that follows rests on an incomplete scan.
  platform::writeConsole(u"[WARNING] フォルダ走査エラー (" + std::get<0>(lines) + u"): " +
                         shiftJISToWstring(folderPath, errLog, "folder path") + u" (" +
                         widenMessage(message) + u")\n");
}

}  // namespace detail
}  // namespace pairwick
