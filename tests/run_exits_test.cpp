// End-to-end tests of the run's early exits: configuration problems, missing folders, the handler.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

using namespace std::string_literals;
using RunExits = ScratchTest;

const std::string kConfig = "Pairwick_config.csv";

TEST_F(RunExits, MissingOrUnreadableConfigurationAborts) {
  for (const std::string kind : {"absent", "folder", "unreadable"}) {
    SCOPED_TRACE(kind);
    const fs::path dir = caseDir(kind);
    const std::string base = programPath(dir);
    if (kind == "folder") fs::create_directory(dir / kConfig);
    if (kind == "unreadable") {
      writeBytes(dir / kConfig, "A,B\r\n");
      chmod((dir / kConfig).c_str(), 0);
      handOverToUnprivileged(root_);
      ASSERT_TRUE(deniedToUnprivileged(dir, "cat " + kConfig)) << "the file is still readable";
    }

    const Expected e = noConfigurationRun(base);
    checkRun(kind == "unreadable" ? runUnprivileged(dir) : runIn(dir), dir, e);

    std::vector<std::string> left = {"Pairwick_error_log.txt"};
    if (kind != "absent") left.insert(left.begin(), kConfig);
    EXPECT_EQ(listNames(dir), left);
  }
}

TEST_F(RunExits, EmptyConfigurationAborts) {
  const std::vector<std::string> contents = {"", "\x1A",
                                             "\x1A"
                                             "A,B\r\n"};
  for (std::size_t i = 0; i < contents.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, contents[i]);

    Expected e = configOpenedRun(programPath(dir));
    expectConfigEmpty(e);
    expectAbort(e);
    checkRun(runIn(dir), dir, e);
  }
}

TEST_F(RunExits, MalformedFirstLineAborts) {
  struct Case {
    std::string content;
    std::string loggedLine;  // the untrimmed first line, as it stands in the final log
    std::string savedAs;     // the encoding the advice names, if any
  };
  const std::vector<Case> cases = {
      {"A", "A", ""},
      {"A,\r\n", "A,", ""},
      {",B\r\nA,B\r\n", ",B", ""},
      {" \t, B\n", " \t, B", ""},
      {"  ,\t\n", "  ,\t", ""},
      {"\r\nA,B\r\n", "", ""},
      // A 0x00 byte reaches the log through this line and must survive into the final log. No
      // code page 932 text holds one: such a file is taken for UTF-16.
      {"A\0B"s, "A\0B"s, "UTF-16 (Unicode)"},
      {"\x95\x5C", "表", ""},
      // A new file that Notepad saved empty as "UTF-8 (BOM 付き)" and as "Unicode"; 資料 saved as
      // UTF-8, without a comma.
      {"\xEF\xBB\xBF", "・ｿ", "UTF-8"},
      {"\xFF\xFE", "\uF8F3\uF8F2", "UTF-16 (Unicode)"},
      {"資料\r\n", "雉・侭", "UTF-8"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, cases[i].content);

    Expected e = malformedConfigurationRun(programPath(dir), cases[i].loggedLine);
    expectSavedAs(e, cases[i].savedAs);
    checkRun(runIn(dir), dir, e);
  }
}

TEST_F(RunExits, MissingFolderEndsRunNamingOnlyTheFirstMissingOne) {
  struct Case {
    std::string name1, name2;  // as the program reads them
    std::vector<std::string> present;
    std::string missing;
    std::string config = {};   // the configuration's bytes; empty: the names in code page 932
    std::string savedAs = {};  // the encoding the advice names, if any
  };
  const std::string deep = longJapanesePath(400);
  const std::vector<Case> cases = {
      {"A", "B", {}, "A"},
      {"A", "B", {"B/"}, "A"},
      {"A", "B", {"A/"}, "B"},
      {"表", "ソ", {"表/"}, "ソ"},
      // A CR not followed by LF stays in the text: here it is the whole second name. On POSIX such
      // a name has no narrow form (no Windows name holds a control character): the handler.
      {"A", "\r", {"A/"}, targetIsWindows() ? "\r" : ""},
      // Saved as UTF-8, é (C3 A9) reads as the code page 932 characters ﾃｩ.
      {"cafﾃｩ", "B", {"café/", "B/"}, "cafﾃｩ", "café,B\r\n", "UTF-8"},
      // A name of 400 characters, absent at its last folder.
      {deep + "/旧版", "B", {deep + "/新版/", "B/"}, deep + "/旧版"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("missing " + c.missing.substr(0, 20) + ", case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, c.present);
    writeBytes(dir / kConfig,
               c.config.empty() ? cp932(c.name1 + "," + c.name2 + "\r\n") : c.config);
    const std::string base = programPath(dir);

    Expected e = configOpenedRun(base);
    expectFoldersRead(e, c.name1, c.name2);
    if (c.missing.empty()) {
      expectHandler(e, platformText());
    } else {
      expectFolderPaths(e, base + separator() + c.name1, base + separator() + c.name2);
      expectFolderMissing(e, base + separator() + c.missing);
    }
    expectSavedAs(e, c.savedAs);
    checkRun(runIn(dir), dir, e);
    EXPECT_TRUE(reportNames(dir).empty());
  }
}

TEST_F(RunExits, FailedRunOnAnotherAnsiCodePageEndsByNamingIt) {
  // Under Wine the locale sets the Windows build's ANSI code page ("C" gives 1252); the POSIX
  // build converts through code page 932 in every locale and never gives the advice.
  enum class Outcome { completes, folderBMissing, savedAsUtf8, japaneseNames };
  struct Case {
    std::string config;
    std::vector<std::string> present;
    Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"A,B\r\n", {"A/x.txt", "B/"}, Outcome::completes},
      {"A,B\r\n", {"A/"}, Outcome::folderBMissing},
      {"\xEF\xBB\xBF", {"A/", "B/"}, Outcome::savedAsUtf8},
      {cp932("旧版,新版\r\n"), {"旧版/", "新版/"}, Outcome::japaneseNames},
  };
  for (const std::string locale : {"ja_JP.UTF-8", "C"}) {
    const bool codePage1252 = targetIsWindows() && locale == "C";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      SCOPED_TRACE(locale + ", case " + std::to_string(i));
      const fs::path dir = caseDir(locale + "-" + std::to_string(i));
      makeTree(dir, c.present);
      writeBytes(dir / kConfig, c.config);
      const std::string base = programPath(dir);
      const RunResult result = runProgramInLocale(dir, locale);

      if (c.outcome == Outcome::completes ||
          (c.outcome == Outcome::japaneseNames && !codePage1252)) {
        checkComparison(result, dir, base,
                        c.outcome == Outcome::completes ? listed({}, {"x.txt"}, {})
                                                        : listed({}, {}, {}, "旧版", "新版"));
        continue;
      }
      Expected e;
      if (c.outcome == Outcome::savedAsUtf8) {
        e = malformedConfigurationRun(base, "・ｿ");
        expectSavedAs(e, "UTF-8");
      } else if (c.outcome == Outcome::folderBMissing) {
        e = configOpenedRun(base);
        expectFoldersRead(e, "A", "B");
        expectFolderPaths(e, base + separator() + "A", base + separator() + "B");
        expectFolderMissing(e, base + separator() + "B");
      } else {
        // Code page 1252 reads the code page 932 bytes of 旧版 as ‹Œ”Å: a folder that is not
        // there, which the log, read as code page 932 again, calls 旧版.
        e = configOpenedRun(base);
        expectFoldersRead(e, "旧版", "新版");
        expectFolderPaths(e, base + separator() + "旧版", base + separator() + "新版");
        e.console += "フォルダが見つかりません: " + base + separator() + "‹Œ”Å\n";
        e.log += "[ERROR] フォルダが見つかりません: " + base + separator() + "旧版\n";
        e.status = 1;
      }
      if (codePage1252) expectCodePageAdvice(e, 1252);
      checkRun(result, dir, e);
    }
  }
}

TEST_F(RunExits, FolderNameThatIsNotCodePage932GoesToTheHandler) {
  struct Case {
    std::string config;
    std::string shown1, shown2;  // leniently decoded: console
    std::string savedAs;         // the encoding the advice names, if any
    // The names line as the final log shows it, where decoding the whole line differs from
    // decoding each name: a lone lead byte takes the comma or the CR after it into one ・.
    std::string finalNamesLine = {};  // empty: the shown names, comma and blank between, CR LF
  };
  const std::vector<Case> cases = {
      {"A\xA0,B", "A\xEF\xA3\xB0", "B", ""},  // 0xA0 alone: U+F8F0
      {"\x85\x40,B", "・", "B", ""},          // an unmapped two-byte unit: U+30FB
      {"A,B\xFD", "A", "B\xEF\xA3\xB1", ""},  // the second name fails as well: U+F8F1
      // A lead byte at the end of the line stands alone. In the final log it takes the line's CR
      // into one substitute, as the platform's lenient converter does; the line itself stays.
      {"A,B\x81", "A", "B・", "", "A, B・\n"},
      {"A,B\x81\r\nC,D\r\n", "A", "B・", "", "A, B・\n"},
      {"A,B\x81\n", "A", "B・", "", "A, B・\n"},
      // Saved as UTF-8 with a byte order mark: EF BB is no code page 932 character, BF is ｿ.
      {"\xEF\xBB\xBF"
       "A,B\r\n",
       "・ｿA", "B", "UTF-8"},
      // The example 旧版,新版 as Notepad saves it as "UTF-8", as Excel's "CSV UTF-8" (with a byte
      // order mark) and as "Unicode" (UTF-16 LE with a byte order mark).
      {"旧版,新版\r\n", "譌ｧ迚・", "譁ｰ迚・", "UTF-8", "譌ｧ迚・ 譁ｰ迚・\n"},
      {"\xEF\xBB\xBF旧版,新版\r\n", "・ｿ譌ｧ迚・", "譁ｰ迚・", "UTF-8", "・ｿ譌ｧ迚・ 譁ｰ迚・\n"},
      {"\xFF\xFE\xE7\x65\x48\x72,\0\xB0\x65\x48\x72\r\0\n\0"s, "\uF8F3\uF8F2軻Hr", "",
       "UTF-16 (Unicode)", "\uF8F3\uF8F2軻Hr, \0ｰeHr\r\0\r\n"s},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, c.config);

    Expected before = configOpenedRun(programPath(dir));
    Expected e = before;
    expectFoldersRead(e, c.shown1, c.shown2);
    Expected after;
    // On POSIX the message is the C library's text for an invalid multibyte sequence.
    expectHandler(
        after, targetIsWindows() ? platformText() : platformText() + "multibyte" + platformText());
    expectSavedAs(after, c.savedAs);
    e.console += after.console;
    e.log += after.log;
    e.standardError = after.standardError;
    e.status = after.status;
    const RunResult result = runIn(dir);
    if (c.finalNamesLine.empty()) {
      checkRun(result, dir, e);
    } else {
      checkRun(result, dir, e,
               finalLogWithLine(before.log, "[DEBUG] 読み込んだフォルダ: " + c.finalNamesLine,
                                after.log));
    }
  }
}

TEST_F(RunExits, WorkingDirectoryOutsideCodePage932GoesToTheHandler) {
  const fs::path dir = caseDir("작업");  // Hangul has no code page 932 form
  makeTree(dir, {"A/x.txt", "B/"});
  writeBytes(dir / kConfig, "A,B\r\n");

  Expected e;
  expectStart(e, "", false);
  expectHandler(e, platformText());
  checkRun(runIn(dir), dir, e);
  EXPECT_TRUE(reportNames(dir).empty());
}

// The report's name is made at run time: every name of the next two minutes is taken beforehand.
// The run tries ten names, a second apart, and fails naming the last.
TEST_F(RunExits, ReportThatCannotBeCreatedGoesToTheHandler) {
  makeTree(work_, {"A/x.txt", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  const std::vector<std::string> taken = reportNamesAround(-2, 120);
  for (const std::string& name : taken) fs::create_directory(work_ / name);

  const RunResult result = run();
  const Paths tried = reportNamesTried(work_);
  ASSERT_EQ(tried.size(), 10u);
  for (std::size_t i = 0; i < tried.size(); ++i) {
    EXPECT_NE(std::find(taken.begin(), taken.end(), tried[i]), taken.end()) << tried[i];
    if (i > 0) {
      EXPECT_LT(tried[i - 1], tried[i]);
    }
  }

  Expected e = configOpenedRun(base_);
  expectFoldersRead(e, "A", "B");
  expectFolderPaths(e, base_ + separator() + "A", base_ + separator() + "B");
  expectScan(e, "A", base_ + separator() + "A", {"x.txt"});
  expectScan(e, "B", base_ + separator() + "B", {});
  for (const std::string& name : tried) e.log += "[DEBUG] 結果ファイル名生成: " + name + "\n";
  e.log += "[ERROR] 結果ファイルを開けませんでした: " + tried.back() + "\n";
  expectHandler(e, lit("結果ファイルを開けませんでした。"));
  checkRun(result, work_, e);
  EXPECT_TRUE(reportNames(work_).empty());
}

// A wall clock that stands still (a paused machine, a broken time source) never gives the next
// second's name. With that second's name taken, the run gives up after about as long as ten names
// take and fails as when every name is taken, rather than wait for ever holding the folder's lock.
// faketime stops the wall clock; the monotonic clock runs, or stands still as well.
TEST_F(RunExits, FrozenClockWithTheReportNameTakenEndsTheRun) {
  if (access("/usr/bin/faketime", X_OK) != 0) {
    GTEST_SKIP() << "faketime is not installed (scripts/setup-deps.sh faketime)";
  }
  // AddressSanitizer refuses to start unless its runtime is the first library loaded.
  if (kSanitized) GTEST_SKIP() << "faketime preloads its library ahead of the sanitizers' runtime";
  struct Case {
    std::string label;
    std::string faketimeOptions;
    std::string notUnderWine;  // why Wine cannot show it
  };
  const std::vector<Case> cases = {
      {"monotonic clock running", "--exclude-monotonic", ""},
      {"every clock frozen", "",
       "Wine times every sleep on the host's monotonic clock: frozen, a 10 ms sleep never ends"},
  };
  const char* const command = std::getenv("PAIRWICK_E2E_COMMAND");
  const std::string program = command != nullptr ? command : PAIRWICK_BINARY;
  // The frozen time, written without a blank, and the name of its second.
  setenv("FAKETIME_FMT", "%Y-%m-%dT%T", 1);
  const std::string frozen = "2025-01-07T09:05:03";
  const std::string taken = "pairwick_20250107_090503.txt";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    if (targetIsWindows() && !c.notUnderWine.empty()) {
      std::printf("case \"%s\" skipped under Wine: %s\n", c.label.c_str(), c.notUnderWine.c_str());
      continue;
    }
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/x.txt", "B/"});
    writeBytes(dir / kConfig, "A,B\r\n");
    writeBytes(dir / taken, "earlier report");
    // A run that waits for ever is killed, and fails the test, once the harness gives up on it.
    setenv("PAIRWICK_E2E_COMMAND",
           ("faketime -m " + c.faketimeOptions + " -f " + frozen + " " + program).c_str(), 1);
    const RunResult result = runIn(dir);
    if (command != nullptr) {
      setenv("PAIRWICK_E2E_COMMAND", command, 1);
    } else {
      unsetenv("PAIRWICK_E2E_COMMAND");
    }

    Expected e = configOpenedRun(programPath(dir));
    const std::string base = programPath(dir);
    expectFoldersRead(e, "A", "B");
    expectFolderPaths(e, base + separator() + "A", base + separator() + "B");
    expectScan(e, "A", base + separator() + "A", {"x.txt"});
    expectScan(e, "B", base + separator() + "B", {});
    e.log += "[DEBUG] 結果ファイル名生成: " + taken + "\n";
    e.log += "[ERROR] 結果ファイルを開けませんでした: " + taken + "\n";
    expectHandler(e, lit("結果ファイルを開けませんでした。"));
    checkRun(result, dir, e);
    EXPECT_EQ(reportNames(dir), std::vector<std::string>{taken});
    EXPECT_EQ(readBytes(dir / taken), "earlier report");
  }
  unsetenv("FAKETIME_FMT");
}

// Two comparisons started one after the other in the same second, with the names of the seconds
// around taken by a file, a folder and links: each gets a report of its own, and nothing that
// was there is replaced or written through.
TEST_F(RunExits, RunsInTheSameSecondEachGetAReportOfTheirOwn) {
  makeTree(work_, {"A/x.txt", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  writeBytes(root_ / "target", "not a report");
  const std::vector<std::string> taken = reportNamesAround(-1, 3);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    const fs::path name = work_ / taken[i];
    if (i % 4 == 0) writeBytes(name, "earlier report");
    if (i % 4 == 1) fs::create_directory(name);
    if (i % 4 == 2) fs::create_symlink(root_ / "target", name);
    if (i % 4 == 3) fs::create_symlink(root_ / "missing", name);
  }
  std::vector<std::string> reports;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    const RunResult result = run();
    const Paths tried = reportNamesTried(work_);
    ASSERT_FALSE(tried.empty());
    const std::string report = tried.back();
    EXPECT_EQ(std::find(taken.begin(), taken.end(), report), taken.end());
    EXPECT_EQ(std::find(reports.begin(), reports.end(), report), reports.end());
    reports.push_back(report);
    const Comparison c = listed({}, {"x.txt"}, {});
    checkRun(result, work_,
             expectComparison(base_, c, report, Paths(tried.begin(), tried.end() - 1)));
    EXPECT_EQ(readBytes(work_ / report), reportBytes("A", "B", {}, {"x.txt"}, {}));
  }
  EXPECT_EQ(readBytes(root_ / "target"), "not a report");
  EXPECT_FALSE(fs::exists(root_ / "missing"));
  EXPECT_EQ(readBytes(work_ / taken[0]), "earlier report");
  std::size_t found = 0;
  for (const std::string& name : reportNames(work_)) {
    if (!fs::is_symlink(work_ / name) &&
        readBytes(work_ / name) == reportBytes("A", "B", {}, {"x.txt"}, {})) {
      ++found;
    }
  }
  EXPECT_EQ(found, 2u);
}

TEST_F(RunExits, TemporaryLogThatCannotBeOpenedEndsRunAtOnce) {
  for (const bool unprivileged : {false, true}) {
    SCOPED_TRACE(unprivileged ? "read-only working directory" : "temporary log is a folder");
    const fs::path dir = caseDir(unprivileged ? "readonly" : "folder");
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, "A,B\r\n");
    writeBytes(dir / "Pairwick_error_log.txt", "earlier final log");
    if (!unprivileged) fs::create_directory(dir / "temp_Pairwick_error_log.txt");
    const std::vector<std::string> before = listNames(dir);

    RunResult result;
    if (unprivileged) {
      fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec);
      handOverToUnprivileged(root_);
      ASSERT_TRUE(deniedToUnprivileged(dir, "mkdir probe")) << "the folder is still writable";
      result = runUnprivileged(dir);
    } else {
      result = runIn(dir);
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.console, "");
    EXPECT_TRUE(matches(asStandardError(lit("一時エラーログファイルを開けませんでした: "
                                            "temp_Pairwick_error_log.txt\n")),
                        result.standardError));
    EXPECT_EQ(listNames(dir), before);
    EXPECT_EQ(readBytes(dir / "Pairwick_error_log.txt"), "earlier final log");
  }
}

}  // namespace
}  // namespace pairwick::e2e
