// The run sequence: open the log, read the configuration, check and scan both folders, write the
// report, and finalise the log on every exit after it was opened.
#include "app/run.h"

#include <exception>
#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "codec/cp932.h"
#include "compare/folder_contents.h"
#include "compare/folder_scanner.h"
#include "compare/report.h"
#include "config/config_encoding.h"
#include "config/config_reader.h"
#include "log/diagnostics_log.h"
#include "log/log_finalisation.h"
#include "platform/clock.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "text/shift_jis.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

// Shows and logs that a configured folder does not exist.
void reportMissingFolder(const fs::path& folderPath, const NarrowText& folderPathStr,
                         DiagnosticsLog& errLog) {
  platform::writeConsole(u"フォルダが見つかりません: " + platform::widePath(folderPath) + u"\n");
  writeLog(errLog, cp932(u"[ERROR] フォルダが見つかりません: ") + folderPathStr + "\n");
}

// Shows and logs that the system's ANSI code page is not 932, and which setting makes it so. Every
// name goes through that code page: in any other, Japanese names fail to convert or come out as
// other characters, which is the likeliest cause of a failed run however it failed.
void adviseOnCodePage(unsigned codePage, DiagnosticsLog& errLog) {
  const std::string number = std::to_string(codePage);
  const std::u16string advice =
      u"システムのコード ページが 932 ではありません (使用中: " +
      std::u16string(number.begin(), number.end()) +
      u")。日本語の名前を正しく扱えません。コントロール パネルの「地域」→「管理」→「システム "
      u"ロケールの変更」で「日本語 (日本)」を選び、「ベータ: ワールドワイド言語サポートで "
      u"Unicode UTF-8 を使用」のチェックを外して、Windows を再起動してください。\n";
  platform::writeConsole(u"[WARNING] " + advice);
  writeLog(errLog, "[ERROR] " + cp932(advice));
}

// What a comparison leaves for the rest of the run, kept by the caller so that a failure the
// comparison does not handle leaves it too.
struct ComparisonState {
  // The two sets of paths outlive the comparison, so that the millions of strings they may hold
  // are released beside the log's finalisation rather than before it.
  FolderContents folder1Contents;
  FolderContents folder2Contents;
  // When the run fails for its configuration's names and the file evidently was saved in another
  // encoding, which one, for the caller to point out last.
  ForeignEncoding advice = ForeignEncoding::none;
};

// Releases both sets on a thread of their own; at once when no thread can be started or its
// state cannot be allocated. Nothing may escape: this runs after the handler, before the log's
// finalisation.
std::future<void> releaseContents(FolderContents& folder1Contents,
                                  FolderContents& folder2Contents) {
  FolderContents first = std::move(folder1Contents);
  FolderContents second = std::move(folder2Contents);
  try {
    return std::async(std::launch::async,
                      [first = std::move(first), second = std::move(second)]() mutable {
                        first = FolderContents();
                        second = FolderContents();
                      });
  } catch (const std::exception&) {
    return {};
  }
}

// Everything between the start line and the completion message. Returns the exit status; any
// failure it does not handle itself reaches the caller's handler.
int compareFolders(DiagnosticsLog& errLog, ComparisonState& state) {
  ForeignEncoding& advice = state.advice;
  FolderContents& folder1Contents = state.folder1Contents;
  FolderContents& folder2Contents = state.folder2Contents;
  const std::int64_t now = platform::currentTime();
  writeLog(errLog, cp932(u"[DEBUG] プログラム開始: ") + platform::ctimeText(now));
  // A fixed line that readers of the log know from the tool's first form; nothing is set up here.
  writeLog(errLog, cp932(u"[DEBUG] wstring_convert の初期化完了\n"));

  // exeDir keeps its old name but is the working directory, not the program's own folder.
  const fs::path exeDir = platform::currentDirectory();
  const NarrowText baseDir = platform::narrowPath(exeDir);
  writeLog(errLog, cp932(u"[DEBUG] ベースディレクトリ: ") + baseDir + "\n");

  const NarrowText configPath = platform::narrowPath(exeDir / "Pairwick_config.csv");
  const auto [folder1, folder2, savedAs] = readConfig(configPath, errLog);
  // Until the names are paths, a failure may come of a file saved in another encoding.
  advice = savedAs;
  if (folder1.empty() || folder2.empty()) {
    platform::writeConsole(u"処理を中止します。Pairwick_config.csv を確認してください。\n");
    writeLog(errLog, cp932(u"[ERROR] フォルダ指定が無効です。処理を中止します。\n"));
    return 1;
  }

  const fs::path folder1Path = platform::joinPath(exeDir, platform::pathFromNarrow(folder1));
  const fs::path folder2Path = platform::joinPath(exeDir, platform::pathFromNarrow(folder2));
  advice = ForeignEncoding::none;
  const NarrowText folder1PathStr = platform::narrowPath(folder1Path);
  const NarrowText folder2PathStr = platform::narrowPath(folder2Path);
  writeLog(errLog, cp932(u"[DEBUG] フォルダ1パス: ") + folder1PathStr + "\n");
  writeLog(errLog, cp932(u"[DEBUG] フォルダ2パス: ") + folder2PathStr + "\n");

  if (!platform::pathExists(folder1Path)) {
    reportMissingFolder(folder1Path, folder1PathStr, errLog);
    advice = savedAs;
    return 1;
  }
  if (!platform::pathExists(folder2Path)) {
    reportMissingFolder(folder2Path, folder2PathStr, errLog);
    advice = savedAs;
    return 1;
  }

  // Both scans run even when the first fails, so that the report shows what could be compared.
  // Their work overlaps where a second thread can run; their lines keep their order.
  const std::vector<bool> complete = scanFolders(
      {{folder1PathStr, &folder1Contents, folder1}, {folder2PathStr, &folder2Contents, folder2}},
      errLog);

  ReportFile report = createReportFile(errLog);
  writeReport(report, folder1, folder2, folder1Contents, folder2Contents,
              ScansComplete{complete[0], complete[1]}, errLog);

  platform::writeConsole(u"比較が完了しました: " +
                         shiftJISToWstring(report.filename, errLog, "output filename") +
                         u" に出力しました。\n");
  writeLog(errLog, cp932(u"[DEBUG] 比較が完了しました: ") + report.filename + "\n");
  // A scan that stopped early, or whose entries could not all be kept, leaves the lists
  // incomplete: the report stands, but the run did not compare everything.
  return complete[0] && complete[1] ? 0 : 1;
}

// The driver's handler: the failure in the log, a pointer to it on standard error. Memory may have
// run out; whatever of the two can still be made goes out, and the run ends all the same.
void reportFailure(const std::exception& failure, DiagnosticsLog& errLog) {
  try {
    writeLog(errLog,
             cp932(u"[ERROR] メインループで例外発生: ") + platform::narrowMessage(failure) + "\n");
  } catch (const std::exception&) {
  }
  try {
    platform::writeStandardError(
        cp932(u"エラーが発生しました。詳細は Pairwick_error_log.txt をご確認ください。\n"));
  } catch (const std::exception&) {
  }
}

// Whether the console output, flushed, lost text to a failed write: a full disk under the file it
// goes to, a failing device. That loses the run's record as a report cut short would, and is
// logged with the system's reason; a reader that stopped reading lost nothing it wanted.
bool consoleOutputCut(DiagnosticsLog& errLog) {
  platform::flushConsole();
  const std::error_code failure = platform::consoleOutputFailure();
  if (!failure) return false;
  try {
    writeLog(errLog, cp932(u"[ERROR] コンソール出力の書き込みに失敗しました: ") +
                         platform::narrowMessage(std::system_error(failure)) + "\n");
  } catch (const std::exception&) {
    // Memory ran out for the line: the run still fails for its console output.
  }
  return true;
}

}  // namespace

int runPairwick() {
  const NarrowText tempLogPath = "temp_Pairwick_error_log.txt";
  const NarrowText finalLogPath = "Pairwick_error_log.txt";

  // From here to the end of the log's finalisation, the temporary log's lock keeps every other
  // run in this folder out: a second run stops at once and touches no file.
  // errLog keeps its old name though it records every line of the run, not only its errors.
  DiagnosticsLog errLog;
  const LogOpening opening = openDiagnosticsLog(errLog, tempLogPath);
  if (opening != LogOpening::opened) {
    NarrowText message = cp932(u"一時エラーログファイルを開けませんでした: ") + tempLogPath + "\n";
    if (opening == LogOpening::runInProgress) {
      message += cp932(u"別の実行がこのフォルダで進行中です。\n");
    }
    platform::writeStandardError(message);
    platform::flushConsole();
    return 1;
  }

  ComparisonState state;
  int status = 1;
  try {
    status = compareFolders(errLog, state);
  } catch (const std::exception& failure) {
    status = 1;
    reportFailure(failure, errLog);
  }
  // Last, so that it is what the user reads after everything that went wrong.
  try {
    adviseSavingAsShiftJis(state.advice, errLog);
    const unsigned codePage = platform::ansiCodePage();
    if (status != 0 && codePage != 932) adviseOnCodePage(codePage, errLog);
  } catch (const std::exception&) {
    // Memory ran out for the advice: the run still ends, closes and finalises its log.
  }
  const bool consoleCut = consoleOutputCut(errLog);
  if (consoleCut) status = 1;

  bool logComplete = false;
  try {
    logComplete = endDiagnosticsLog(errLog);
  } catch (const std::exception&) {
    // Memory ran out for the held line start: the line is lost, and the log incomplete.
  }
  std::future<void> released = releaseContents(state.folder1Contents, state.folder2Contents);
  if (logComplete) {
    convertLogToUTF8(tempLogPath, finalLogPath, errLog);
  } else {
    // A log with a line missing is not passed off as complete: it stays as the temporary log,
    // whose later lines are all there, and the run cannot count as a success.
    status = 1;
    try {
      platform::writeStandardError(cp932(u"ログに書き込めなかった行があります。ログは不完全です。"
                                         u"一時ファイルを確認してください: ") +
                                   tempLogPath + "\n");
    } catch (const std::exception&) {
    }
  }
  releaseDiagnosticsLog(errLog);
  if (released.valid()) released.get();
  platform::flushConsole();
  if (consoleCut) {
    try {
      platform::writeStandardError(
          cp932(u"コンソール出力の書き込みに失敗しました。コンソール出力は不完全です。\n"));
    } catch (const std::exception&) {
    }
  }
  return status;
}

}  // namespace pairwick
