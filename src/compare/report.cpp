// The comparison report: the paths found in both folders, only in the first and only in the second.
#include "compare/report.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "compare/result_file_name.h"
#include "log/diagnostics_log.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "text/shift_jis.h"

namespace pairwick {

namespace {

// Report text is gathered as UTF-8 in batches of about this many bytes, not line by line, as
// log lines are.
constexpr std::size_t kReportBatchBytes = 1 << 17;

// A report never replaces anything: a name taken by any entry at all waits for the next second's
// name, this many names in all.
constexpr int kReportNameTries = 10;
// A wall clock that stands still (a paused machine, a broken time source) never gives the next
// second's name: the wait for a free name ends after about as long as its names take while the
// clock runs, on the monotonic clock. The count of pauses bounds it where that clock stands still
// as well.
constexpr std::chrono::seconds kReportNameWait(kReportNameTries);
constexpr std::chrono::milliseconds kReportNamePause(10);
constexpr int kReportNamePauses = static_cast<int>(kReportNameWait / kReportNamePause);

// The report's text on its way to the file.
struct ReportOutput {
  platform::FileHandle file;
  std::string pending;
  bool failed = false;  // a write failed: nothing more is written, so the file stays a true start
};

void flushReport(ReportOutput& out) {
  if (!out.failed) out.failed = !platform::writeFile(out.file, out.pending);
  out.pending.clear();
}

// Report text in the UTF-8 text file's encoding: each UTF-16 unit on its own.
void appendReport(ReportOutput& out, std::u16string_view text) {
  appendUtf8PerUnit(text, out.pending);
  if (out.pending.size() >= kReportBatchBytes) flushReport(out);
}

// When the wait for a free report name ends.
struct NameWait {
  std::chrono::steady_clock::time_point deadline;
  int pausesLeft;
};

// The name of the current second once it differs from `taken`; empty once the wait has ended.
NarrowText nextName(const NarrowText& taken, NameWait& wait) {
  for (;;) {
    NarrowText name = makeResultFileName("pairwick");
    if (name != taken) return name;
    if (wait.pausesLeft-- <= 0 || std::chrono::steady_clock::now() >= wait.deadline) return {};
    std::this_thread::sleep_for(kReportNamePause);
  }
}

// For each entry of each sorted list, whether the other list holds it too: one merge of the two
// lists, which the three sections then read.
void markCommon(const FolderContents& first, const FolderContents& second,
                std::vector<char>& firstInSecond, std::vector<char>& secondInFirst) {
  firstInSecond.assign(pathCount(first), 0);
  secondInFirst.assign(pathCount(second), 0);
  NarrowText a;
  NarrowText b;
  std::size_t i = 0;
  std::size_t j = 0;
  if (i < pathCount(first)) advanceToPath(first, i, a);
  if (j < pathCount(second)) advanceToPath(second, j, b);
  while (i < pathCount(first) && j < pathCount(second)) {
    const int order = a.compare(b);
    if (order <= 0) {
      if (order == 0) firstInSecond[i] = secondInFirst[j] = 1;
      if (++i < pathCount(first)) advanceToPath(first, i, a);
    }
    if (order >= 0 && ++j < pathCount(second)) advanceToPath(second, j, b);
  }
}

// Entries on their way to one conversion, each followed by its line feed.
struct WaitingEntries {
  NarrowText text;
  std::vector<std::size_t> ends;  // where each entry's line feed is
};

// One of the report's three lists and its texts.
struct Section {
  const FolderContents* entries;
  const std::vector<char>* marks;  // for each entry, whether the other folder holds it too
  bool listMarked;                 // lists the entries that are marked, or those that are not
  const NarrowText* onlyIn;        // the folder named in its heading; null for the common list
  NarrowText onlyInLabel;          // that name's conversion failure label
  NarrowText conversionLabel;      // an entry's conversion failure label
  NarrowText entryLogPrefix;
  std::u16string_view emptyReportText;
  NarrowText emptyLogText;
};

// What the general conversion does with an entry, and its failure line in its place.
void writeEntryAlone(ReportOutput& out, std::string_view entry, NarrowText& logBatch,
                     DiagnosticsLog& errLog, const Section& section) {
  flushLogBatch(errLog, logBatch);
  appendUtf8PerUnit(shiftJISToWstring(NarrowText(entry), errLog, section.conversionLabel),
                    out.pending);
  appendReport(out, u"\n");
}

// One entry converted by itself, its line feed after it, and logged.
void writeEntry(ReportOutput& out, std::string_view entry, NarrowText& logBatch,
                DiagnosticsLog& errLog, const Section& section) {
  const std::size_t before = out.pending.size();
  out.pending.resize(before + entry.size() * 3);
  std::size_t written = 0;
  const bool converted = entry.find('\0') == NarrowText::npos &&
                         platform::decodeCp932LenientToUtf8(entry, &out.pending[before], written);
  out.pending.resize(converted ? before + written : before);
  if (converted) {
    appendReport(out, u"\n");
  } else {
    writeEntryAlone(out, entry, logBatch, errLog, section);
  }
  logBatch.append(section.entryLogPrefix).append(entry).push_back('\n');
  if (logBatch.size() >= kLogBatchBytes) flushLogBatch(errLog, logBatch);
}

// The waiting entries converted in one call (the lenient conversion and the file's per-unit
// encoding in one pass), written and logged in order.
void writeWaiting(ReportOutput& out, WaitingEntries& waiting, NarrowText& logBatch,
                  DiagnosticsLog& errLog, const Section& section) {
  if (waiting.ends.empty()) return;
  const std::size_t before = out.pending.size();
  out.pending.resize(before + waiting.text.size() * 3);
  std::size_t written = 0;
  const bool converted =
      platform::decodeCp932LenientToUtf8(waiting.text, &out.pending[before], written);
  out.pending.resize(converted ? before + written : before);
  std::size_t start = 0;
  for (const std::size_t end : waiting.ends) {
    const std::string_view entry(waiting.text.data() + start, end - start);
    if (!converted) writeEntryAlone(out, entry, logBatch, errLog, section);
    logBatch.append(section.entryLogPrefix).append(entry).push_back('\n');
    if (logBatch.size() >= kLogBatchBytes) flushLogBatch(errLog, logBatch);
    start = end + 1;
  }
  if (out.pending.size() >= kReportBatchBytes) flushReport(out);
  waiting.text.clear();
  waiting.ends.clear();
}

// One list: its heading, then its entries, each converted, written and logged in that order, or
// the empty-list texts.
void writeSection(ReportOutput& out, const Section& section, DiagnosticsLog& errLog) {
  if (section.onlyIn == nullptr) {
    appendReport(out, u"[一致するサブフォルダ/ファイル]\n");
  } else {
    appendReport(out, u"\n[");
    appendReport(out, shiftJISToWstring(*section.onlyIn, errLog, section.onlyInLabel));
    appendReport(out, u" にのみ存在]\n");
  }
  const FolderContents& entries = *section.entries;
  const std::vector<char>& marks = *section.marks;
  NarrowText logBatch;
  bool any = false;
  NarrowText entry;
  WaitingEntries waiting;
  for (std::size_t i = 0; i < pathCount(entries); ++i) {
    advanceToPath(entries, i, entry);
    if ((marks[i] != 0) != section.listMarked) continue;
    any = true;
    // Entries are converted many at a time. One that holds a 0x00 byte, or ends in a lead byte
    // (that would take the next line feed into its last character), is converted by itself.
    if (entry.find('\0') == NarrowText::npos && endsWithWholeCp932Character(entry)) {
      waiting.text.append(entry);
      waiting.ends.push_back(waiting.text.size());
      waiting.text.push_back('\n');
      if (waiting.text.size() >= kReportBatchBytes / 4) {
        writeWaiting(out, waiting, logBatch, errLog, section);
      }
    } else {
      writeWaiting(out, waiting, logBatch, errLog, section);
      writeEntry(out, entry, logBatch, errLog, section);
    }
  }
  writeWaiting(out, waiting, logBatch, errLog, section);
  flushLogBatch(errLog, logBatch);
  if (!any) {
    appendReport(out, section.emptyReportText);
    writeLog(errLog, section.emptyLogText);
  }
}

}  // namespace

ReportFile createReportFile(DiagnosticsLog& errLog) {
  static const NarrowText nameText = cp932(u"[DEBUG] 結果ファイル名生成: ");
  static const NarrowText openErrorText = cp932(u"[ERROR] 結果ファイルを開けませんでした: ");
  static const NarrowText openErrorMessage = cp932(u"結果ファイルを開けませんでした。");
  ReportFile report;
  NameWait wait{std::chrono::steady_clock::now() + kReportNameWait, kReportNamePauses};
  for (int attempt = 0; attempt < kReportNameTries; ++attempt) {
    if (attempt == 0) {
      report.filename = makeResultFileName("pairwick");
    } else {
      NarrowText next = nextName(report.filename, wait);
      if (next.empty()) break;
      report.filename = std::move(next);
    }
    writeLog(errLog, nameText + report.filename + "\n");
    platform::OpenResult opened = platform::OpenResult::failed;
    try {
      opened = platform::openPlainFile(platform::pathFromNarrow(report.filename),
                                       platform::FileMode::createNew, report.file);
    } catch (const std::exception&) {
      // A name that is not valid code page 932 names no file: the open failed.
    }
    if (opened == platform::OpenResult::opened) return report;
    if (opened != platform::OpenResult::nameTaken) break;
  }
  writeLog(errLog, openErrorText + report.filename + "\n");
  throw std::runtime_error(openErrorMessage);
}

void writeReport(ReportFile& report, const NarrowText& folder1, const NarrowText& folder2,
                 const FolderContents& folder1Contents, const FolderContents& folder2Contents,
                 ScansComplete complete, DiagnosticsLog& errLog) {
  static const NarrowText writeErrorText = cp932(u"[ERROR] 結果ファイルの書き込みに失敗しました: ");
  static const NarrowText writeErrorMessage = cp932(u"結果ファイルの書き込みに失敗しました。");
  static const NarrowText bomText = cp932(u"[DEBUG] 結果ファイルにBOMを書き込みました\n");
  static const NarrowText commonLogText = cp932(u"[DEBUG] 一致項目出力: ");
  static const NarrowText noCommonLogText = cp932(u"[DEBUG] 一致する項目なし\n");
  static const NarrowText only1LogText = cp932(u"[DEBUG] フォルダ1にのみ存在する項目出力: ");
  static const NarrowText noOnly1LogText = cp932(u"[DEBUG] フォルダ1にのみ存在する項目なし\n");
  static const NarrowText only2LogText = cp932(u"[DEBUG] フォルダ2にのみ存在する項目出力: ");
  static const NarrowText noOnly2LogText = cp932(u"[DEBUG] フォルダ2にのみ存在する項目なし\n");

  ReportOutput out;
  out.file = report.file;
  out.pending.reserve(kReportBatchBytes + 4096);
  appendReport(out, u"\uFEFF");
  writeLog(errLog, bomText);

  appendReport(out, u"==== フォルダ比較結果 ====\n");
  appendReport(out, u"比較対象フォルダ1: ");
  appendReport(out, shiftJISToWstring(folder1, errLog, "folder1 output"));
  appendReport(out, u"\n比較対象フォルダ2: ");
  appendReport(out, shiftJISToWstring(folder2, errLog, "folder2 output"));
  appendReport(out, u"\n");
  // The report outlives the console: paths a scan never reached would pass for one-sided ones.
  if (!complete.folder1) {
    appendReport(out,
                 u"※ 比較対象フォルダ1 の走査は途中で終了しました。この比較結果は不完全です。\n");
  }
  if (!complete.folder2) {
    appendReport(out,
                 u"※ 比較対象フォルダ2 の走査は途中で終了しました。この比較結果は不完全です。\n");
  }
  appendReport(out, u"\n");

  std::vector<char> inFolder2;
  std::vector<char> inFolder1;
  markCommon(folder1Contents, folder2Contents, inFolder2, inFolder1);
  const Section sections[] = {
      {&folder1Contents,
       &inFolder2,
       true,
       nullptr,
       {},
       "common path",
       commonLogText,
       u"一致するサブフォルダ/ファイルはありません。\n",
       noCommonLogText},
      {&folder1Contents, &inFolder2, false, &folder1, "folder1 output", "folder1 only path",
       only1LogText, u"フォルダ1にのみ存在するサブフォルダ/ファイルはありません。\n",
       noOnly1LogText},
      {&folder2Contents, &inFolder1, false, &folder2, "folder2 output", "folder2 only path",
       only2LogText, u"フォルダ2にのみ存在するサブフォルダ/ファイルはありません。\n",
       noOnly2LogText},
  };
  for (const Section& section : sections) writeSection(out, section, errLog);

  flushReport(out);
  const bool closed = platform::closeFile(report.file);
  // A full disk shows here: a report cut short must not pass for a complete one.
  if (out.failed || !closed) {
    writeLog(errLog, writeErrorText + report.filename + "\n");
    throw std::runtime_error(writeErrorMessage);
  }
}

}  // namespace pairwick
