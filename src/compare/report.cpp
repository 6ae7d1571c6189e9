// The comparison report: the paths found in both folders, only in the first and only in the second.
#include "compare/report.h"

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "log/diagnostics_log.h"
#include "platform/platform.h"
#include "text/shift_jis.h"
#include "text/utf8_file.h"

namespace pairwick {

namespace {

// Report text is gathered as UTF-8 in batches of about this many bytes, not line by line; log
// lines likewise.
constexpr std::size_t kReportBatchBytes = 1 << 17;
constexpr std::size_t kLogBatchBytes = 1 << 16;

void flushReport(std::ofstream& logFile, std::string& pending) {
  logFile.write(pending.data(), static_cast<std::streamsize>(pending.size()));
  pending.clear();
}

// Report text in the UTF-8 text file's encoding: each UTF-16 unit on its own.
void appendReport(std::ofstream& logFile, std::string& pending, std::u16string_view text) {
  appendUtf8PerUnit(text, pending);
  if (pending.size() >= kReportBatchBytes) flushReport(logFile, pending);
}

// For each entry of each sorted list, whether the other list holds it too: one merge of the two
// lists, which the three sections then read.
void markCommon(const FolderContents& first, const FolderContents& second,
                std::vector<char>& firstInSecond, std::vector<char>& secondInFirst) {
  firstInSecond.assign(first.size(), 0);
  secondInFirst.assign(second.size(), 0);
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < first.size() && j < second.size()) {
    const int order = first[i].compare(second[j]);
    if (order < 0) {
      ++i;
    } else if (order > 0) {
      ++j;
    } else {
      firstInSecond[i++] = 1;
      secondInFirst[j++] = 1;
    }
  }
}

// One list: the entries of `entries` whose mark is `listMarked`, each converted, written and
// logged in that order, or the empty-list texts.
void writeSection(std::ofstream& logFile, std::string& pending, const FolderContents& entries,
                  const std::vector<char>& marks, bool listMarked, DiagnosticsLog& errLog,
                  const NarrowText& conversionLabel, const NarrowText& entryLogPrefix,
                  std::u16string_view emptyReportText, const NarrowText& emptyLogText) {
  NarrowText logBatch;
  bool any = false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if ((marks[i] != 0) != listMarked) continue;
    const NarrowText& entry = entries[i];
    any = true;
    const std::size_t before = pending.size();
    // The lenient conversion and the file's per-unit encoding in one pass.
    pending.resize(before + entry.size() * 3);
    std::size_t written = 0;
    const bool converted = entry.find('\0') == NarrowText::npos &&
                           platform::decodeCp932LenientToUtf8(entry, &pending[before], written);
    pending.resize(before + written);
    if (!converted) {
      // What the general conversion does with such text, and its failure line in its place.
      pending.resize(before);
      flushLogBatch(errLog, logBatch);
      appendUtf8PerUnit(shiftJISToWstring(entry, errLog, conversionLabel), pending);
    }
    appendReport(logFile, pending, u"\n");
    logBatch.append(entryLogPrefix).append(entry).push_back('\n');
    if (logBatch.size() >= kLogBatchBytes) flushLogBatch(errLog, logBatch);
  }
  flushLogBatch(errLog, logBatch);
  if (!any) {
    appendReport(logFile, pending, emptyReportText);
    writeLog(errLog, emptyLogText);
  }
}

}  // namespace

void writeReport(const NarrowText& filename, const NarrowText& folder1, const NarrowText& folder2,
                 const FolderContents& folder1Contents, const FolderContents& folder2Contents,
                 DiagnosticsLog& errLog) {
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

  std::string pending;
  pending.reserve(kReportBatchBytes + 4096);
  appendReport(logFile, pending, u"\uFEFF");
  writeLog(errLog, bomText);

  appendReport(logFile, pending, u"==== フォルダ比較結果 ====\n");
  appendReport(logFile, pending, u"比較対象フォルダ1: ");
  appendReport(logFile, pending, shiftJISToWstring(folder1, errLog, "folder1 output"));
  appendReport(logFile, pending, u"\n比較対象フォルダ2: ");
  appendReport(logFile, pending, shiftJISToWstring(folder2, errLog, "folder2 output"));
  appendReport(logFile, pending, u"\n\n");

  appendReport(logFile, pending, u"[一致するサブフォルダ/ファイル]\n");
  std::vector<char> inFolder2;
  std::vector<char> inFolder1;
  markCommon(folder1Contents, folder2Contents, inFolder2, inFolder1);
  writeSection(logFile, pending, folder1Contents, inFolder2, true, errLog, "common path",
               commonLogText, u"一致するサブフォルダ/ファイルはありません。\n", noCommonLogText);

  appendReport(logFile, pending, u"\n[");
  appendReport(logFile, pending, shiftJISToWstring(folder1, errLog, "folder1 output"));
  appendReport(logFile, pending, u" にのみ存在]\n");
  writeSection(logFile, pending, folder1Contents, inFolder2, false, errLog, "folder1 only path",
               only1LogText, u"フォルダ1にのみ存在するサブフォルダ/ファイルはありません。\n",
               noOnly1LogText);

  appendReport(logFile, pending, u"\n[");
  appendReport(logFile, pending, shiftJISToWstring(folder2, errLog, "folder2 output"));
  appendReport(logFile, pending, u" にのみ存在]\n");
  writeSection(logFile, pending, folder2Contents, inFolder1, false, errLog, "folder2 only path",
               only2LogText, u"フォルダ2にのみ存在するサブフォルダ/ファイルはありません。\n",
               noOnly2LogText);

  flushReport(logFile, pending);
  logFile.close();
  // A full disk shows only here: a report cut short must not pass for a complete one.
  if (logFile.fail()) {
    writeLog(errLog, writeErrorText + filename + "\n");
    throw std::runtime_error(writeErrorMessage);
  }
}

}  // namespace pairwick
