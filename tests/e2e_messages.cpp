// The program's own texts for the end-to-end tests, and the check of a whole run against them.
#include "e2e_messages.h"

#include <set>

namespace pairwick::e2e {

namespace {

void both(Expected& e, const std::string& console, const std::string& log) {
  e.console += console;
  e.log += log;
}

std::vector<std::string> prefixed(const std::string& before, const Paths& paths,
                                  const std::string& after) {
  std::vector<std::string> lines;
  for (const std::string& path : paths) lines.push_back(before + path + after);
  return lines;
}

void expectEntries(Expected& e, const std::string& label, const Paths& visited) {
  e.console += anyOrder(prefixed("検出 (" + label + "): ", visited, "\n"));
  e.log += anyOrder(prefixed("[DEBUG] 検出 (" + label + "): ", visited, "\n"));
}

void listLog(Expected& e, const Paths& paths, const std::string& entryLine,
             const std::string& emptyLine) {
  if (paths.empty()) e.log += emptyLine;
  for (const std::string& path : paths) e.log += entryLine + path + "\n";
}

void reportList(std::string& out, const Paths& paths, const std::string& emptyLine) {
  if (paths.empty()) out += emptyLine;
  for (const std::string& path : paths) out += path + "\n";
}

void expectConfigMalformed(Expected& e, const std::string& firstLine) {
  both(e,
       "[ERROR] Pairwick_config.csv "
       "の形式が無効です。2つのフォルダ名をカンマ区切りで指定してください。\n",
       "[ERROR] Pairwick_config.csv の形式が無効です: " + firstLine + "\n");
}

// A scan that ends in the scan handler after `visited`; the run's status becomes 1.
void expectFailedScan(Expected& e, const std::string& label, const std::string& folderPath,
                      const Paths& visited, const Pattern& message) {
  e.log += "[DEBUG] フォルダ走査開始（子フォルダ含む）: " + folderPath + "\n";
  expectEntries(e, label, visited);
  e.log += "[ERROR] フォルダ走査エラー (" + label + "): " + folderPath + " (" + message + ")\n";
  e.console +=
      "[WARNING] フォルダ走査エラー (" + label + "): " + folderPath + " (" + message + ")\n";
  e.status = 1;
}

}  // namespace

void expectStart(Expected& e, const std::string& base, bool withBaseLine) {
  e.log += "[DEBUG] プログラム開始: " + ctimeText() + "\n[DEBUG] wstring_convert の初期化完了\n";
  if (withBaseLine) e.log += "[DEBUG] ベースディレクトリ: " + base + "\n";
}

Expected configOpenedRun(const std::string& base) {
  Expected e;
  expectStart(e, base);
  const std::string path = base + separator() + "Pairwick_config.csv";
  both(e, "設定ファイルを開きました: " + path + "\n",
       "[DEBUG] 設定ファイルを開きました: " + path + "\n");
  return e;
}

void expectConfigMissing(Expected& e, const std::string& base) {
  both(e, "設定ファイル (Pairwick_config.csv) が見つかりませんでした。\n",
       "[ERROR] 設定ファイルを開けませんでした: " + base + separator() + "Pairwick_config.csv\n");
}

void expectConfigEmpty(Expected& e) {
  both(e, "[ERROR] Pairwick_config.csv が空です。\n", "[ERROR] Pairwick_config.csv が空です。\n");
}

void expectFoldersRead(Expected& e, const std::string& shown1, const std::string& shown2,
                       const std::string& logged1, const std::string& logged2) {
  both(e, "読み込んだフォルダ: " + shown1 + ", " + shown2 + "\n",
       "[DEBUG] 読み込んだフォルダ: " + logged1 + ", " + logged2 + "\n");
}

void expectFoldersRead(Expected& e, const std::string& name1, const std::string& name2) {
  expectFoldersRead(e, name1, name2, name1, name2);
}

void expectSavedAs(Expected& e, const std::string& encoding) {
  if (encoding.empty()) return;
  const std::string advice =
      "Pairwick_config.csv は " + encoding +
      " で保存されているようです。Shift-JIS (ANSI) で保存し直してください。\n";
  both(e, "[WARNING] " + advice, "[ERROR] " + advice);
}

void expectCodePageAdvice(Expected& e, unsigned codePage) {
  const std::string advice =
      "システムのコード ページが 932 ではありません (使用中: " + std::to_string(codePage) +
      ")。日本語の名前を正しく扱えません。コントロール パネルの「地域」→「管理」→「システム "
      "ロケールの変更」で「日本語 (日本)」を選び、「ベータ: ワールドワイド言語サポートで "
      "Unicode UTF-8 を使用」のチェックを外して、Windows を再起動してください。\n";
  both(e, "[WARNING] " + advice, "[ERROR] " + advice);
}

void expectAbort(Expected& e) {
  both(e, "処理を中止します。Pairwick_config.csv を確認してください。\n",
       "[ERROR] フォルダ指定が無効です。処理を中止します。\n");
  e.status = 1;
}

void expectFolderPaths(Expected& e, const std::string& path1, const std::string& path2) {
  e.log += "[DEBUG] フォルダ1パス: " + path1 + "\n[DEBUG] フォルダ2パス: " + path2 + "\n";
}

void expectFolderMissing(Expected& e, const std::string& path) {
  both(e, "フォルダが見つかりません: " + path + "\n",
       "[ERROR] フォルダが見つかりません: " + path + "\n");
  e.status = 1;
}

void expectScan(Expected& e, const std::string& label, const std::string& folderPath,
                const Paths& visited) {
  e.log += "[DEBUG] フォルダ走査開始（子フォルダ含む）: " + folderPath + "\n";
  expectEntries(e, label, visited);
  const std::set<std::string> distinct(visited.begin(), visited.end());
  e.log +=
      "[DEBUG] フォルダ走査完了 (" + label + "): " + std::to_string(distinct.size()) + " 項目\n";
}

void expectReportLog(Expected& e, const std::string& name, const Paths& common, const Paths& only1,
                     const Paths& only2) {
  e.log += "[DEBUG] 結果ファイル名生成: " + name + "\n[DEBUG] 結果ファイルにBOMを書き込みました\n";
  listLog(e, common, "[DEBUG] 一致項目出力: ", "[DEBUG] 一致する項目なし\n");
  listLog(e, only1,
          "[DEBUG] フォルダ1にのみ存在する項目出力: ", "[DEBUG] フォルダ1にのみ存在する項目なし\n");
  listLog(e, only2,
          "[DEBUG] フォルダ2にのみ存在する項目出力: ", "[DEBUG] フォルダ2にのみ存在する項目なし\n");
}

void expectCompletion(Expected& e, const std::string& name) {
  both(e, "比較が完了しました: " + name + " に出力しました。\n",
       "[DEBUG] 比較が完了しました: " + name + "\n");
}

void expectHandler(Expected& e, const Pattern& message) {
  e.log += "[ERROR] メインループで例外発生: " + message + "\n";
  e.standardError += "エラーが発生しました。詳細は Pairwick_error_log.txt をご確認ください。\n";
  e.status = 1;
}

void expectFinalisationFailure(Expected& e) {
  e.standardError +=
      "ログファイルの変換中にエラーが発生しました。一時ファイルを確認してください: "
      "temp_Pairwick_error_log.txt\n";
}

std::string reportBytes(const std::string& name1, const std::string& name2, const Paths& common,
                        const Paths& only1, const Paths& only2, bool incomplete1,
                        bool incomplete2) {
  std::string out = kBom + "==== フォルダ比較結果 ====\n比較対象フォルダ1: " + name1 +
                    "\n比較対象フォルダ2: " + name2 + "\n";
  if (incomplete1)
    out += "※ 比較対象フォルダ1 の走査は途中で終了しました。この比較結果は不完全です。\n";
  if (incomplete2)
    out += "※ 比較対象フォルダ2 の走査は途中で終了しました。この比較結果は不完全です。\n";
  out += "\n[一致するサブフォルダ/ファイル]\n";
  reportList(out, common, "一致するサブフォルダ/ファイルはありません。\n");
  out += "\n[" + name1 + " にのみ存在]\n";
  reportList(out, only1, "フォルダ1にのみ存在するサブフォルダ/ファイルはありません。\n");
  out += "\n[" + name2 + " にのみ存在]\n";
  reportList(out, only2, "フォルダ2にのみ存在するサブフォルダ/ファイルはありません。\n");
  return out;
}

void checkRunKeepingTempLog(const RunResult& result, const fs::path& dir, const Expected& e,
                            const std::string& tempLogBefore,
                            const std::optional<std::string>& finalLogBefore) {
  EXPECT_EQ(result.status, e.status);
  EXPECT_TRUE(matches(e.console, result.console)) << "console";
  EXPECT_TRUE(matches(asStandardError(e.standardError), result.standardError)) << "standard error";
  const fs::path temp = dir / "temp_Pairwick_error_log.txt";
  ASSERT_TRUE(fs::is_regular_file(temp)) << "the temporary log must be kept";
  const Pattern tempLog = lit(tempLogBefore) + asTempLog(e.log);
  EXPECT_TRUE(matches(tempLog, readBytes(temp, readLimitFor(tempLog)))) << "temporary log";
  if (finalLogBefore) {
    EXPECT_EQ(readBytes(dir / "Pairwick_error_log.txt", kReadBackLimit + finalLogBefore->size()),
              *finalLogBefore)
        << "the final log must stay as it was";
  }
}

Pattern finalLogWithLine(const Pattern& before, const std::string& finalLine,
                         const Pattern& after) {
  Pattern rest = asFinalLog(after);
  rest.front().text.erase(0, kBom.size());
  return asFinalLog(before) + finalLine + rest;
}

void checkRun(const RunResult& result, const fs::path& dir, const Expected& e,
              const Pattern& finalLog) {
  EXPECT_EQ(result.status, e.status);
  EXPECT_TRUE(matches(e.console, result.console)) << "console";
  EXPECT_TRUE(matches(asStandardError(e.standardError), result.standardError)) << "standard error";
  const fs::path final = dir / "Pairwick_error_log.txt";
  ASSERT_TRUE(fs::is_regular_file(final)) << "no final log";
  EXPECT_TRUE(matches(finalLog, readBytes(final, readLimitFor(finalLog)))) << "final log";
  EXPECT_FALSE(fs::exists(dir / "temp_Pairwick_error_log.txt")) << "temporary log left behind";
}

void checkRun(const RunResult& result, const fs::path& dir, const Expected& e) {
  checkRun(result, dir, e, asFinalLog(e.log));
}

std::string soleReportName(const fs::path& dir) {
  const std::vector<std::string> names = reportNames(dir);
  EXPECT_EQ(names.size(), 1u) << "expected exactly one report in " << dir;
  return names.empty() ? std::string("<no report>") : names.front();
}

Comparison listed(const Paths& common, const Paths& only1, const Paths& only2,
                  const std::string& name1, const std::string& name2) {
  Comparison c{name1, name2, "", "", common, common, false, common, only1, only2};
  c.visited1.insert(c.visited1.end(), only1.begin(), only1.end());
  c.visited2.insert(c.visited2.end(), only2.begin(), only2.end());
  return c;
}

Paths reportNamesTried(const fs::path& dir) {
  const fs::path temp = dir / "temp_Pairwick_error_log.txt";
  const bool kept = fs::is_regular_file(temp);
  const std::string log = readBytes(kept ? temp : dir / "Pairwick_error_log.txt");
  const std::string marker = "[DEBUG] 結果ファイル名生成: ";
  const std::string logged = kept ? cp932(marker) : marker;
  Paths names;
  for (std::size_t at = log.find(logged); at != std::string::npos; at = log.find(logged, at + 1)) {
    const std::size_t start = at + logged.size();
    names.push_back(log.substr(start, log.find('\r', start) - start));
  }
  return names;
}

Expected noConfigurationRun(const std::string& base) {
  Expected e;
  expectStart(e, base);
  expectConfigMissing(e, base);
  expectAbort(e);
  return e;
}

Expected malformedConfigurationRun(const std::string& base, const std::string& firstLine) {
  Expected e = configOpenedRun(base);
  expectConfigMalformed(e, firstLine);
  expectAbort(e);
  return e;
}

Expected expectComparison(const std::string& base, const Comparison& c,
                          const std::string& reportName, const Paths& namesTaken) {
  const std::string path1 = c.path1.empty() ? base + separator() + c.name1 : c.path1;
  const std::string path2 = c.path2.empty() ? base + separator() + c.name2 : c.path2;
  Expected e = configOpenedRun(base);
  expectFoldersRead(e, c.name1, c.name2);
  expectFolderPaths(e, path1, path2);
  if (c.scan1Fails) {
    expectFailedScan(e, c.name1, path1, c.visited1, c.scan1Failure);
  } else {
    expectScan(e, c.name1, path1, c.visited1);
  }
  if (c.scan2Fails) {
    expectFailedScan(e, c.name2, path2, c.visited2, c.scan2Failure);
  } else {
    expectScan(e, c.name2, path2, c.visited2);
  }
  for (const std::string& taken : namesTaken)
    e.log += "[DEBUG] 結果ファイル名生成: " + taken + "\n";
  expectReportLog(e, reportName, c.common, c.only1, c.only2);
  expectCompletion(e, reportName);
  return e;
}

void checkComparison(const RunResult& result, const fs::path& dir, const std::string& base,
                     const Comparison& c) {
  const std::string name = soleReportName(dir);
  if (fs::is_regular_file(dir / name)) {
    const Pattern report =
        lit(reportBytes(c.name1, c.name2, c.common, c.only1, c.only2, c.scan1Fails, c.scan2Fails));
    EXPECT_TRUE(matches(report, readBytes(dir / name, readLimitFor(report)))) << "report " << name;
  }
  checkRun(result, dir, expectComparison(base, c, name));
}

}  // namespace pairwick::e2e
