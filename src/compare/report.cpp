// The comparison report: the paths found in both folders, only in the first and only in the second.
#include "compare/report.h"

#include <fstream>
#include <stdexcept>

#include "log/diagnostics_log.h"
#include "platform/platform.h"
#include "text/cp932.h"
#include "text/shift_jis.h"
#include "text/utf8_file.h"

namespace pairwick {

namespace {

// Report text is gathered and encoded in batches of about this many units, not line by line;
// log lines likewise in batches of about this many bytes.
constexpr std::size_t kReportBatchUnits = 1 << 16;
constexpr std::size_t kLogBatchBytes = 1 << 16;

void flushReport(std::ofstream& logFile, WideText& pending) {
  writeUtf8(logFile, pending);
  pending.clear();
}

void appendReport(std::ofstream& logFile, WideText& pending, std::u16string_view text) {
  pending.append(text);
  if (pending.size() >= kReportBatchUnits) flushReport(logFile, pending);
}

void flushLog(std::ostream& errLog, NarrowText& batch) {
  if (batch.empty()) return;
  writeLog(errLog, batch);
  batch.clear();
}

// One list: the entries of `first` that are (listCommon) or are not (otherwise) in `second`, each
// converted, written and logged in that order, or the empty-list texts. The lists are merged as
// they are written rather than collected: a folder may hold millions of entries.
void writeSection(std::ofstream& logFile, WideText& pending, const FolderContents& first,
                  const FolderContents& second, bool listCommon, std::ostream& errLog,
                  const NarrowText& conversionLabel, const NarrowText& entryLogPrefix,
                  std::u16string_view emptyReportText, const NarrowText& emptyLogText) {
  NarrowText logBatch;
  bool any = false;
  auto other = second.begin();
  for (const NarrowText& entry : first) {
    while (other != second.end() && *other < entry) ++other;
    const bool inSecond = other != second.end() && *other == entry;
    if (inSecond != listCommon) continue;
    any = true;
    const std::size_t before = pending.size();
    if (entry.find('\0') != NarrowText::npos || !platform::decodeCp932Lenient(entry, pending)) {
      // What the general conversion does with such text, and its failure line in its place.
      pending.resize(before);
      flushLog(errLog, logBatch);
      pending.append(shiftJISToWstring(entry, errLog, conversionLabel));
    }
    appendReport(logFile, pending, u"\n");
    logBatch.append(entryLogPrefix).append(entry).push_back('\n');
    if (logBatch.size() >= kLogBatchBytes) flushLog(errLog, logBatch);
  }
  flushLog(errLog, logBatch);
  if (!any) {
    appendReport(logFile, pending, emptyReportText);
    writeLog(errLog, emptyLogText);
  }
}

}  // namespace

void writeReport(const NarrowText& filename, const NarrowText& folder1, const NarrowText& folder2,
                 const FolderContents& folder1Contents, const FolderContents& folder2Contents,
                 std::ostream& errLog) {
  static const NarrowText openErrorText = cp932(u"[ERROR] 結果ファイルを開けませんでした: ");
  static const NarrowText openErrorMessage = cp932(u"結果ファイルを開けませんでした。");
  static const NarrowText writeErrorText = cp932(u"[ERROR] 結果ファイルの書き込みに失敗しました: ");
  static const NarrowText writeErrorMessage = cp932(u"結果ファイルの書き込みに失敗しました。");
  static const NarrowText bomText = cp932(u"[DEBUG] 結果ファイルにBOMを書き込みました\n");
  static const NarrowText commonLogText = cp932(u"[DEBUG] 一致項目出力: ");
  static const NarrowText noCommonLogText = cp932(u"[DEBUG] 一致する項目なし\n");
  static const NarrowText only1LogText = cp932(u"[DEBUG] フォルダ1にのみ存在する項目出力: ");
  static const NarrowText noOnly1LogText = cp932(u"[DEBUG] フォルダ1にのみ存在する項目なし\n");
  static const NarrowText only2LogText = cp932(u"[DEBUG] フォルダ2にのみ存在する項目出力: ");
  static const NarrowText noOnly2LogText = cp932(u"[DEBUG] フォルダ2にのみ存在する項目なし\n");

  std::ofstream logFile;
  openUtf8TextFile(logFile, filename);
  if (!logFile.is_open()) {
    writeLog(errLog, openErrorText + filename + "\n");
    throw std::runtime_error(openErrorMessage);
  }

  WideText pending;
  pending.reserve(kReportBatchUnits + 1024);
  appendReport(logFile, pending, u"\uFEFF");
  writeLog(errLog, bomText);

  appendReport(logFile, pending, u"==== フォルダ比較結果 ====\n");
  appendReport(logFile, pending, u"比較対象フォルダ1: ");
  appendReport(logFile, pending, shiftJISToWstring(folder1, errLog, "folder1 output"));
  appendReport(logFile, pending, u"\n比較対象フォルダ2: ");
  appendReport(logFile, pending, shiftJISToWstring(folder2, errLog, "folder2 output"));
  appendReport(logFile, pending, u"\n\n");

  appendReport(logFile, pending, u"[一致するサブフォルダ/ファイル]\n");
  writeSection(logFile, pending, folder1Contents, folder2Contents, true, errLog, "common path",
               commonLogText, u"一致するサブフォルダ/ファイルはありません。\n", noCommonLogText);

  appendReport(logFile, pending, u"\n[");
  appendReport(logFile, pending, shiftJISToWstring(folder1, errLog, "folder1 output"));
  appendReport(logFile, pending, u" にのみ存在]\n");
  writeSection(logFile, pending, folder1Contents, folder2Contents, false, errLog,
               "folder1 only path", only1LogText,
               u"フォルダ1にのみ存在するサブフォルダ/ファイルはありません。\n", noOnly1LogText);

  appendReport(logFile, pending, u"\n[");
  appendReport(logFile, pending, shiftJISToWstring(folder2, errLog, "folder2 output"));
  appendReport(logFile, pending, u" にのみ存在]\n");
  writeSection(logFile, pending, folder2Contents, folder1Contents, false, errLog,
               "folder2 only path", only2LogText,
               u"フォルダ2にのみ存在するサブフォルダ/ファイルはありません。\n", noOnly2LogText);

  flushReport(logFile, pending);
  logFile.close();
  // A full disk shows only here: a report cut short must not pass for a complete one.
  if (logFile.fail()) {
    writeLog(errLog, writeErrorText + filename + "\n");
    throw std::runtime_error(writeErrorMessage);
  }
}

}  // namespace pairwick
