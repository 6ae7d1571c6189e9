// End-to-end tests of the run's early exits: configuration problems, missing folders, the handler.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using namespace std::string_literals;
using RunExits = ScratchTest;

const std::string kConfig = "Pairwick_config.csv";

TEST_F(RunExits, MissingOrUnreadableConfigurationAborts) {
  for (const std::string kind : {"absent", "folder", "unreadable"}) {
    if (kind == "unreadable" && !unprivilegedRunsPossible()) continue;
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

    Expected e;
    expectStart(e, programPath(dir));
    expectConfigOpened(e, programPath(dir));
    expectConfigEmpty(e);
    expectAbort(e);
    checkRun(runIn(dir), dir, e);
  }
}

TEST_F(RunExits, MalformedFirstLineAborts) {
  struct Case {
    std::string content;
    std::string loggedLine;  // the untrimmed first line, as it stands in the final log
  };
  const std::vector<Case> cases = {
      {"A", "A"},
      {"A,\r\n", "A,"},
      {",B\r\nA,B\r\n", ",B"},
      {" \t, B\n", " \t, B"},
      {"  ,\t\n", "  ,\t"},
      {"\r\nA,B\r\n", ""},
      // A 0x00 byte reaches the log through this line and must survive into the final log.
      {"A\0B"s, "A\0B"s},
      {"\x95\x5C", "表"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, cases[i].content);

    Expected e;
    expectStart(e, programPath(dir));
    expectConfigOpened(e, programPath(dir));
    expectConfigMalformed(e, cases[i].loggedLine);
    expectAbort(e);
    checkRun(runIn(dir), dir, e);
  }
}

TEST_F(RunExits, MissingFolderEndsRunNamingOnlyTheFirstMissingOne) {
  struct Case {
    std::string name1, name2;
    std::vector<std::string> present;
    std::string missing;
  };
  const std::vector<Case> cases = {
      {"A", "B", {}, "A"},
      {"A", "B", {"B/"}, "A"},
      {"A", "B", {"A/"}, "B"},
      {"表", "ソ", {"表/"}, "ソ"},
      // A CR not followed by LF stays in the text: here it is the whole second name. On POSIX such
      // a name has no narrow form (no Windows name holds a control character): the handler.
      {"A", "\r", {"A/"}, targetIsWindows() ? "\r" : ""}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("missing " + cases[i].missing + ", case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, cases[i].present);
    writeBytes(dir / kConfig, cp932(cases[i].name1 + "," + cases[i].name2 + "\r\n"));
    const std::string base = programPath(dir);

    Expected e;
    expectStart(e, base);
    expectConfigOpened(e, base);
    expectFoldersRead(e, cases[i].name1, cases[i].name2);
    if (cases[i].missing.empty()) {
      expectHandler(e, platformText());
    } else {
      expectFolderPaths(e, base + separator() + cases[i].name1,
                        base + separator() + cases[i].name2);
      expectFolderMissing(e, base + separator() + cases[i].missing);
    }
    checkRun(runIn(dir), dir, e);
    EXPECT_TRUE(reportNames(dir).empty());
  }
}

TEST_F(RunExits, FolderNameThatIsNotCodePage932GoesToTheHandler) {
  struct Case {
    std::string config;
    std::string shown1, shown2;  // leniently decoded: console and final log
  };
  const std::vector<Case> cases = {
      {"A\xA0,B", "A\xEF\xA3\xB0", "B"},  // 0xA0 alone: U+F8F0
      {"\x85\x40,B", "・", "B"},          // an unmapped two-byte unit: U+30FB
      {"A,B\xFD", "A", "B\xEF\xA3\xB1"},  // the second name fails as well: U+F8F1
      // Saved as UTF-8 with a byte order mark: EF BB is no code page 932 character, BF is ｿ.
      {"\xEF\xBB\xBF"
       "A,B\r\n",
       "・ｿA", "B"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, cases[i].config);

    Expected e;
    expectStart(e, programPath(dir));
    expectConfigOpened(e, programPath(dir));
    expectFoldersRead(e, cases[i].shown1, cases[i].shown2);
    expectHandler(e, platformText());
    checkRun(runIn(dir), dir, e);
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
TEST_F(RunExits, ReportThatCannotBeOpenedGoesToTheHandler) {
  makeTree(work_, {"A/x.txt", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  const std::vector<std::string> taken = reportNamesAround(-2, 120);
  for (const std::string& name : taken) fs::create_directory(work_ / name);

  const RunResult result = run();
  const std::string log = readBytes(work_ / "Pairwick_error_log.txt");
  const std::string marker = "結果ファイル名生成: ";
  const std::size_t at = log.find(marker);
  ASSERT_NE(at, std::string::npos) << "no result file name in the log";
  const std::string name = log.substr(at + marker.size(), log.find('\r', at) - at - marker.size());
  EXPECT_NE(std::find(taken.begin(), taken.end(), name), taken.end()) << name;

  Expected e;
  expectStart(e, base_);
  expectConfigOpened(e, base_);
  expectFoldersRead(e, "A", "B");
  expectFolderPaths(e, base_ + separator() + "A", base_ + separator() + "B");
  expectScan(e, "A", base_ + separator() + "A", {"x.txt"});
  expectScan(e, "B", base_ + separator() + "B", {});
  e.log += "[DEBUG] 結果ファイル名生成: " + name +
           "\n[ERROR] 結果ファイルを開けませんでした: " + name + "\n";
  expectHandler(e, lit("結果ファイルを開けませんでした。"));
  checkRun(result, work_, e);
  EXPECT_TRUE(reportNames(work_).empty());
}

// A report that opens but cannot be written (a full disk) must not be reported as a success.
TEST_F(RunExits, ReportThatCannotBeWrittenGoesToTheHandler) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  makeTree(work_, {"A/", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  const std::vector<std::string> taken = reportNamesAround(-2, 120);
  for (const std::string& name : taken) fs::create_symlink("/dev/full", work_ / name);

  const RunResult result = run();
  const std::string log = readBytes(work_ / "Pairwick_error_log.txt");
  const std::string marker = "結果ファイル名生成: ";
  const std::size_t at = log.find(marker);
  ASSERT_NE(at, std::string::npos) << "no result file name in the log";
  const std::string name = log.substr(at + marker.size(), log.find('\r', at) - at - marker.size());

  Expected e;
  expectStart(e, base_);
  expectConfigOpened(e, base_);
  expectFoldersRead(e, "A", "B");
  expectFolderPaths(e, base_ + separator() + "A", base_ + separator() + "B");
  expectScan(e, "A", base_ + separator() + "A", {});
  expectScan(e, "B", base_ + separator() + "B", {});
  expectReportLog(e, name, {}, {}, {});
  e.log += "[ERROR] 結果ファイルの書き込みに失敗しました: " + name + "\n";
  expectHandler(e, lit("結果ファイルの書き込みに失敗しました。"));
  checkRun(result, work_, e);
}

TEST_F(RunExits, TemporaryLogThatCannotBeOpenedEndsRunAtOnce) {
  for (const bool unprivileged : {false, true}) {
    if (unprivileged && !unprivilegedRunsPossible()) continue;
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
