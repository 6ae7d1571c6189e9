// End-to-end tests of complete comparisons: scans, report lists and their order, links, failures.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using Comparisons = ScratchTest;

const std::string kConfig = "Pairwick_config.csv";

TEST_F(Comparisons, TypicalRunWithOrWithoutArguments) {
  const std::vector<std::vector<std::string>> argumentLists = {{}, {"B,A", "--help", "-v"}};
  for (std::size_t i = 0; i < argumentLists.size(); ++i) {
    SCOPED_TRACE("arguments case " + std::to_string(i));
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/x.txt", "A/sub/y.txt", "B/x.txt", "B/z.txt"});
    writeBytes(dir / kConfig, "A,B\r\n");

    const RunResult result = runProgram(dir, argumentLists[i]);
    checkComparison(result, dir, programPath(dir),
                    {"A",
                     "B",
                     "",
                     "",
                     {"sub", "sub/y.txt", "x.txt"},
                     {"x.txt", "z.txt"},
                     false,
                     {"x.txt"},
                     {"sub", "sub/y.txt"},
                     {"z.txt"}});
    // A folder's own entry comes before the entries inside it.
    EXPECT_LT(result.console.find("(A): sub\n"), result.console.find("(A): sub/y.txt\n"));
  }
}

TEST_F(Comparisons, EmptyFoldersGiveTheTwelveLineReport) {
  makeTree(work_, {"A/", "B/"});
  // Blanks around the names are trimmed; a third name and further lines count for nothing.
  writeBytes(work_ / kConfig, "  A\t, B\t,C\r\nD,E\r\n");
  checkComparison(run(), work_, base_, {"A", "B", "", "", {}, {}, false, {}, {}, {}});
  const std::string report = readBytes(work_ / soleReportName(work_));
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 12);
}

TEST_F(Comparisons, IdenticalFoldersListEverythingAsCommon) {
  makeTree(work_, {"A/s/t.txt", "A/u.txt", "B/s/t.txt", "B/u.txt"});
  writeBytes(work_ / kConfig, "A,B");
  checkComparison(run(), work_, base_,
                  {"A",
                   "B",
                   "",
                   "",
                   {"s", "s/t.txt", "u.txt"},
                   {"s", "s/t.txt", "u.txt"},
                   false,
                   {"s", "s/t.txt", "u.txt"},
                   {},
                   {}});
}

// 表, ソ and 十 end in the byte 0x5C, which must never be taken for a separator.
TEST_F(Comparisons, JapaneseNamesKeepTheirSecondByte) {
  makeTree(work_, {"表/ソース/表.txt", "表/表.txt", "ソ/ソース/表.txt", "ソ/十.txt"});
  writeBytes(work_ / kConfig, cp932("表,ソ\r\n"));
  checkComparison(run(), work_, base_,
                  {"表",
                   "ソ",
                   "",
                   "",
                   {"ソース", "ソース/表.txt", "表.txt"},
                   {"ソース", "ソース/表.txt", "十.txt"},
                   false,
                   {"ソース", "ソース/表.txt"},
                   {"表.txt"},
                   {"十.txt"}});
}

// Code page 932 byte order: Ａ (82 60) < あ (82 A0) < ｱ (B1) < 漾 (E0 40), unlike their Unicode
// order; upper case before lower case; "-" (2D) before "/" (2F).
TEST_F(Comparisons, ListsFollowCodePage932ByteOrder) {
  makeTree(work_, {"A/漾.txt", "A/ｱ.txt", "A/あ.txt", "A/Ａ.txt", "A/dir-x", "A/dir/file",
                   "A/a.txt", "A/B.txt", "B/A.txt"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  const std::vector<std::string> only1 = {"B.txt",  "a.txt",  "dir",   "dir-x", "dir/file",
                                          "Ａ.txt", "あ.txt", "ｱ.txt", "漾.txt"};
  checkComparison(run(), work_, base_,
                  {"A", "B", "", "", only1, {"A.txt"}, false, {}, only1, {"A.txt"}});
}

TEST_F(Comparisons, BackslashInAPosixNameIsAnOrdinaryCharacter) {
  if (targetIsWindows()) GTEST_SKIP() << "no such names on Windows";
  makeTree(work_, {"A/a/b", "A/a\\b", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  checkComparison(
      run(), work_, base_,
      {"A", "B", "", "", {"a", "a/b", "a\\b"}, {}, false, {}, {"a", "a/b", "a\\b"}, {}});
}

// Links are recorded under their target's relative path and never followed to descend.
TEST_F(Comparisons, SymbolicLinksInsideTheFolder) {
  // Wine does not show a dangling host link at all; every other link reaches the program as a
  // link, as on Windows.
  const bool dangling = !targetIsWindows();
  makeTree(work_, {"A/real/f.txt", "O/g.txt", "B/"});
  fs::create_directory_symlink("real", work_ / "A/in");
  fs::create_directory_symlink("../O", work_ / "A/out");
  if (dangling) fs::create_symlink("missing", work_ / "A/dang");
  fs::create_symlink("real/f.txt", work_ / "A/l1");
  fs::create_symlink("real/f.txt", work_ / "A/l2");
  fs::create_directory_symlink(".", work_ / "A/self");
  writeBytes(work_ / kConfig, "A,B\r\n");
  std::vector<std::string> visited = {"real",       "real/f.txt", "real", "../O",
                                      "real/f.txt", "real/f.txt", "."};
  std::vector<std::string> only1 = {".", "../O", "real", "real/f.txt"};
  if (dangling) {
    visited.push_back("dang");
    only1.insert(only1.begin() + 2, "dang");
  }
  checkComparison(run(), work_, base_, {"A", "B", "", "", visited, {}, false, {}, only1, {}});
}

TEST_F(Comparisons, ScannedFolderReachedThroughALink) {
  makeTree(work_, {"A/sub/y.txt", "A/x.txt", "B/x.txt"});
  fs::create_directory_symlink("A", work_ / "LA");
  writeBytes(work_ / kConfig, "LA,B\r\n");
  checkComparison(run(), work_, base_,
                  {"LA",
                   "B",
                   "",
                   "",
                   {"sub", "sub/y.txt", "x.txt"},
                   {"x.txt"},
                   false,
                   {"x.txt"},
                   {"sub", "sub/y.txt"},
                   {}});
}

// A name without an exact code page 932 form ends that scan; the run still reports, with status 1.
// 〜 (U+301C), ¥ and é have best-fit forms only; ¥ would otherwise become the separator byte.
// On POSIX, a name holding a C0 control character has none either: LF and CR would split the
// report's lines, ESC would reach the terminal raw.
TEST_F(Comparisons, EntryNameOutsideCodePage932EndsTheScan) {
  std::vector<std::string> names = {"한.txt", "〜.txt", "¥.txt", "é.txt", "😀.txt"};
  if (!targetIsWindows()) names.insert(names.end(), {"x\ny", "x\ry", "\x1B[2Jx", "x\ty"});
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/" + names[i], "B/b.txt"});
    writeBytes(dir / kConfig, "A,B\r\n");
    checkComparison(runIn(dir), dir, programPath(dir),
                    {"A", "B", "", "", {}, {"b.txt"}, true, {}, {}, {"b.txt"}});
  }
}

TEST_F(Comparisons, AccessDeniedSubfolderEndsTheScan) {
  if (!unprivilegedRunsPossible()) GTEST_SKIP() << "needs a run as another user";
  makeTree(work_, {"A/locked/secret.txt", "B/"});
  writeBytes(work_ / kConfig, "A,B\r\n");
  chmod((work_ / "A/locked").c_str(), 0);
  handOverToUnprivileged(root_);
  ASSERT_TRUE(deniedToUnprivileged(work_, "ls A/locked")) << "the folder is still readable";

  checkComparison(runUnprivileged(work_), work_, base_,
                  {"A", "B", "", "", {"locked"}, {}, true, {}, {"locked"}, {}});
}

// The scan's failure message names the file: on the console it must read as the same name, not
// as code page 932 bytes widened one by one.
TEST_F(Comparisons, ConfiguredNameThatIsAPlainFile) {
  for (const std::string name : {"f.txt", "表.txt"}) {
    SCOPED_TRACE(name);
    const fs::path dir = caseDir(name == "f.txt" ? "ascii" : "japanese");
    makeTree(dir, {name, "B/b.txt"});
    writeBytes(dir / kConfig, cp932(name + ",B\r\n"));
    Comparison c{name, "B", "", "", {}, {"b.txt"}, true, {}, {}, {"b.txt"}};
    // The C++ library of the POSIX build puts the path into the message.
    if (!targetIsWindows()) c.scan1Failure = platformText() + name + platformText();
    checkComparison(runIn(dir), dir, programPath(dir), c);
  }
}

// Names are appended to the working directory as written: nothing is normalised, and an absolute
// name replaces the base.
TEST_F(Comparisons, FolderNameForms) {
  const std::string elsewhere = programPath(root_) + separator() + "elsewhere";
  makeTree(root_, {"elsewhere/b.txt", "shared/a.txt"});
  struct Case {
    std::string name1, name2;
    std::vector<std::string> tree;
  };
  const std::vector<Case> cases = {
      {"sub/A", "B", {"sub/A/a.txt", "B/b.txt"}},
      {"./A", "B", {"A/a.txt", "B/b.txt"}},
      {"../shared", "B", {"B/b.txt"}},
      {"A", elsewhere, {"A/a.txt"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name1 + "," + cases[i].name2);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, cases[i].tree);
    writeBytes(dir / kConfig, cases[i].name1 + "," + cases[i].name2 + "\r\n");
    const std::string base = programPath(dir);
    const bool absolute = cases[i].name2 == elsewhere;
    checkComparison(runIn(dir), dir, base,
                    {cases[i].name1,
                     cases[i].name2,
                     "",
                     absolute ? elsewhere : "",
                     {"a.txt"},
                     {"b.txt"},
                     false,
                     {},
                     {"a.txt"},
                     {"b.txt"}});
  }
}

// Paths far beyond Windows' 260 characters: the working folder, relative names and absolute names.
// Every message shows them as configured or as the append joins them.
TEST_F(Comparisons, LongJapanesePaths) {
  enum class Where { workingFolder, relativeNames, absoluteNames };
  struct Case {
    std::string label;
    Where where;
    std::size_t characters;  // of the folder paths, at least
  };
  const std::vector<Case> cases = {
      {"working folder", Where::workingFolder, 700},
      {"relative names", Where::relativeNames, 300},
      {"relative names", Where::relativeNames, 600},
      {"absolute names", Where::absoluteNames, 1000},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label + ", " + std::to_string(c.characters) + " characters");
    // Wine refuses a working folder of 260 characters or more: it starts the program in its own
    // Windows folder instead.
    if (c.where == Where::workingFolder && targetIsWindows()) continue;
    const fs::path caseRoot = caseDir("case" + std::to_string(i));
    const std::string deep = longJapanesePath(c.characters);
    const fs::path dir = c.where == Where::workingFolder ? caseRoot / deep : caseRoot;
    std::string name1 = "旧版";
    std::string name2 = "新版";
    if (c.where == Where::relativeNames) {
      name1 = deep + "/" + name1;
      name2 = deep + "/" + name2;
    }
    if (c.where == Where::absoluteNames) {
      name1 = programPath(caseRoot / deep / "旧版");
      name2 = programPath(caseRoot / deep / "新版");
    }
    const fs::path folder1 =
        c.where == Where::absoluteNames ? caseRoot / deep / "旧版" : dir / name1;
    const fs::path folder2 =
        c.where == Where::absoluteNames ? caseRoot / deep / "新版" : dir / name2;
    makeTree(folder1, {"共通.txt", "旧だけ/資料.txt"});
    makeTree(folder2, {"共通.txt", "新だけ.txt"});
    writeBytes(dir / kConfig, cp932(name1 + "," + name2 + "\r\n"));
    const std::string base = programPath(dir);
    const bool absolute = c.where == Where::absoluteNames;
    ASSERT_GE(characterCount(absolute ? name1 : base + separator() + name1), c.characters);

    checkComparison(runIn(dir), dir, base,
                    {name1,
                     name2,
                     absolute ? name1 : "",
                     absolute ? name2 : "",
                     {"共通.txt", "旧だけ", "旧だけ/資料.txt"},
                     {"共通.txt", "新だけ.txt"},
                     false,
                     {"共通.txt"},
                     {"旧だけ", "旧だけ/資料.txt"},
                     {"新だけ.txt"}});
  }
}

}  // namespace
}  // namespace pairwick::e2e
