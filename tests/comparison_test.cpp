// End-to-end tests of complete comparisons: scans, report lists and their order, links, failures.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using Comparisons = ScratchTest;

const std::string kConfig = "Pairwick_config.csv";

// Trees compared whole, each with its configuration's text (written in code page 932).
TEST_F(Comparisons, TreesAreListedByRelativePath) {
  struct Case {
    std::string label;
    std::vector<std::string> tree;
    std::string config;
    Comparison expected;
    std::vector<std::string> arguments = {};
  };
  const std::vector<std::string> typicalTree = {"A/x.txt", "A/sub/y.txt", "B/x.txt", "B/z.txt"};
  const Comparison typical = listed({"x.txt"}, {"sub", "sub/y.txt"}, {"z.txt"});
  std::vector<Case> cases = {
      {"typical", typicalTree, "A,B\r\n", typical},
      {"arguments count for nothing", typicalTree, "A,B\r\n", typical, {"B,A", "--help", "-v"}},
      // Blanks around the names are trimmed; a third name and further lines count for nothing.
      {"empty folders", {"A/", "B/"}, "  A\t, B\t,C\r\nD,E\r\n", listed({}, {}, {})},
      {"identical folders",
       {"A/s/t.txt", "A/u.txt", "B/s/t.txt", "B/u.txt"},
       "A,B",
       listed({"s", "s/t.txt", "u.txt"}, {}, {})},
      // 表, ソ and 十 end in the byte 0x5C, which must never be taken for a separator.
      {"second bytes 5C",
       {"表/ソース/表.txt", "表/表.txt", "ソ/ソース/表.txt", "ソ/十.txt"},
       "表,ソ\r\n",
       listed({"ソース", "ソース/表.txt"}, {"表.txt"}, {"十.txt"}, "表", "ソ")},
      // Code page 932 byte order: Ａ (82 60) < あ (82 A0) < ｱ (B1) < 漾 (E0 40), unlike their
      // Unicode order; upper case before lower case; "-" (2D) before "/" (2F).
      {"code page 932 byte order",
       {"A/漾.txt", "A/ｱ.txt", "A/あ.txt", "A/Ａ.txt", "A/dir-x", "A/dir/file", "A/a.txt",
        "A/B.txt", "B/A.txt"},
       "A,B\r\n",
       listed({},
              {"B.txt", "a.txt", "dir", "dir-x", "dir/file", "Ａ.txt", "あ.txt", "ｱ.txt", "漾.txt"},
              {"A.txt"})},
      // Names as the folder holds them, which the rules for typed Windows paths would read as
      // other names ("t." and "t " as "t", " " as the folder itself) or as devices.
      {"names ending in a dot or blank",
       {"A/t/f", "A/t./g", "A/t /h", "A/ /i", "A/.../j", "A/x.", "B/t/f", "B/t.", "B/t /"},
       "A,B\r\n",
       listed({"t", "t ", "t.", "t/f"}, {" ", " /i", "...", ".../j", "t /h", "t./g", "x."}, {})},
      {"device names",
       {"A/aux/f", "A/nul/f", "A/COM1/f", "A/con.txt/f", "A/Nul.tar.gz", "A/CONIN$", "A/lpt9",
        "A/prn.", "B/AUX/f", "B/com1"},
       "A,B\r\n",
       listed({},
              {"COM1", "COM1/f", "CONIN$", "Nul.tar.gz", "aux", "aux/f", "con.txt", "con.txt/f",
               "lpt9", "nul", "nul/f", "prn."},
              {"AUX", "AUX/f", "com1"})},
  };
  if (!targetIsWindows()) {
    cases.push_back({"backslash, a name's character on POSIX",
                     {"A/a/b", "A/a\\b", "B/"},
                     "A,B\r\n",
                     listed({}, {"a", "a/b", "a\\b"}, {})});
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, c.tree);
    writeBytes(dir / kConfig, cp932(c.config));
    const RunResult result = runProgram(dir, c.arguments);
    checkComparison(result, dir, programPath(dir), c.expected);
    // A folder's own entry comes before the entries inside it.
    const std::size_t folder = result.console.find("(A): sub\n");
    if (folder != std::string::npos) {
      EXPECT_LT(folder, result.console.find("(A): sub/y.txt\n"));
    }
  }
}

// Links are recorded under their target's relative path and never followed to descend.
TEST_F(Comparisons, SymbolicLinksInsideTheFolder) {
  // Wine does not show a dangling host link at all; every other link to a folder reaches the
  // program as a link, as on Windows.
  const bool dangling = !targetIsWindows();
  makeTree(work_, {"A/real/f.txt", "O/g.txt", "B/"});
  fs::create_directory_symlink("real", work_ / "A/in");
  fs::create_directory_symlink("../O", work_ / "A/out");
  if (dangling) fs::create_symlink("missing", work_ / "A/dang");
  fs::create_directory_symlink(".", work_ / "A/self");
  // Named like devices, they are links like any other.
  fs::create_directory_symlink("real", work_ / "A/nul");
  fs::create_directory_symlink("../O", work_ / "A/Com1.txt");
  writeBytes(work_ / kConfig, "A,B\r\n");
  std::vector<std::string> visited = {"real", "real/f.txt", "real", "../O", ".", "real", "../O"};
  std::vector<std::string> only1 = {".", "../O", "real", "real/f.txt"};
  if (dangling) {
    visited.push_back("dang");
    only1.insert(only1.begin() + 2, "dang");
  }
  checkComparison(run(), work_, base_, {"A", "B", "", "", visited, {}, false, {}, only1, {}});
}

// Two links to one file and the file itself give one path.
TEST_F(Comparisons, SymbolicLinksToAFileInsideTheFolder) {
  if (targetIsWindows()) {
    GTEST_SKIP() << "Wine shows a host's link to a file as the plain file it claims to be";
  }
  makeTree(work_, {"A/real/f.txt", "B/"});
  fs::create_symlink("real/f.txt", work_ / "A/l1");
  fs::create_symlink("real/f.txt", work_ / "A/l2");
  writeBytes(work_ / kConfig, "A,B\r\n");
  checkComparison(run(), work_, base_,
                  {"A",
                   "B",
                   "",
                   "",
                   {"real", "real/f.txt", "real/f.txt", "real/f.txt"},
                   {},
                   false,
                   {},
                   {"real", "real/f.txt"},
                   {}});
}

// A link to another drive or share has no path relative to the folder: it is listed under its
// target's full path, one line per target, and the list it stands in goes on after it.
TEST_F(Comparisons, LinksToAnotherDrive) {
  if (!targetIsWindows()) GTEST_SKIP() << "POSIX has no drives";
  const std::string elsewhere = "pairwick-e2e-" + std::to_string(getpid());
  const fs::path drive = wineDriveC() / elsewhere;
  makeTree(drive, {"data/sub/f", "other/"});
  makeTree(work_, {"A/x.txt", "A/表", "B/x.txt"});
  fs::create_directory_symlink(drive / "data", work_ / "A/d1");
  fs::create_directory_symlink(drive / "data", work_ / "A/d2");
  fs::create_directory_symlink(drive / "other", work_ / "A/d3");
  fs::create_directory_symlink(drive / "data/sub", work_ / "A/d4");
  writeBytes(work_ / kConfig, "A,B\r\n");
  const RunResult result = run();
  fs::remove_all(drive);
  const std::string data = "C:/" + elsewhere + "/data";
  const std::string other = "C:/" + elsewhere + "/other";
  checkComparison(result, work_, base_,
                  {"A",
                   "B",
                   "",
                   "",
                   {"x.txt", "表", data, data, other, data + "/sub"},
                   {"x.txt"},
                   false,
                   {"x.txt"},
                   {data, data + "/sub", other, "表"},
                   {}});
}

TEST_F(Comparisons, ScannedFolderReachedThroughALink) {
  makeTree(work_, {"A/sub/y.txt", "A/x.txt", "B/x.txt"});
  fs::create_directory_symlink("A", work_ / "LA");
  writeBytes(work_ / kConfig, "LA,B\r\n");
  checkComparison(run(), work_, base_, listed({"x.txt"}, {"sub", "sub/y.txt"}, {}, "LA", "B"));
}

// A name without an exact code page 932 form ends that scan; the run still reports, with status 1.
// 〜 (U+301C), ¥ and é have best-fit forms only; ¥ would otherwise become the separator byte.
// On POSIX, a name holding a C0 control character has none either: LF and CR would split the
// report's lines, ESC would reach the terminal raw. The message names the entry, as the walk joins
// its path, each character without a code page 932 form shown as "?": in a tree of tens of
// thousands of entries the user could not find it otherwise.
TEST_F(Comparisons, EntryNameOutsideCodePage932EndsTheScan) {
  struct Case {
    std::string name;   // below A
    std::string shown;  // in the message
    Paths visited;      // before it
  };
  std::vector<Case> cases = {
      {"한.txt", "?.txt", {}},
      {"〜.txt", "?.txt", {}},
      {"¥.txt", "?.txt", {}},
      {"é.txt", "?.txt", {}},
      {"😀.txt", "?.txt", {}},
      {"資料/証明書/鍵ő😀ő.pem", "資料/証明書/鍵???.pem", {"資料", "資料/証明書"}},
  };
  if (!targetIsWindows()) {
    cases.insert(cases.end(), {{"x\ny", "x?y", {}},
                               {"x\ry", "x?y", {}},
                               {"\x1B[2Jx", "?[2Jx", {}},
                               {"x\ty", "x?y", {}},
                               {"d\x01/e", "d?", {}}});
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/" + c.name, "B/b.txt"});
    writeBytes(dir / kConfig, "A,B\r\n");
    std::string shown = programPath(dir) + separator() + "A" + separator() + c.shown;
    if (separator() != "/") std::replace(shown.begin(), shown.end(), '/', separator()[0]);
    Comparison expected{"A", "B", "", "", c.visited, {"b.txt"}, true, {}, c.visited, {"b.txt"}};
    expected.scan1Failure = platformText() + " [" + shown + "]";
    checkComparison(runIn(dir), dir, programPath(dir), expected);
  }
}

// The report outlives the console: it says which scan ended early, folder 1's line first, right
// under the header. A complete comparison's report (every other test) has no such line.
TEST_F(Comparisons, ReportOfAnIncompleteComparisonSaysSo) {
  struct Case {
    std::string label;
    std::vector<std::string> tree;
    bool fails1, fails2;
    Paths visited1, visited2, common, only1, only2;
  };
  const std::vector<Case> cases = {
      {"folder 1",
       {"A/a/😀", "B/a/b", "B/c"},
       true,
       false,
       {"a"},
       {"a", "a/b", "c"},
       {"a"},
       {},
       {"a/b", "c"}},
      {"folder 2",
       {"A/a/b", "A/c", "B/a/😀"},
       false,
       true,
       {"a", "a/b", "c"},
       {"a"},
       {"a"},
       {"a/b", "c"},
       {}},
      {"both", {"A/😀", "B/😀"}, true, true, {}, {}, {}, {}, {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, c.tree);
    writeBytes(dir / kConfig, "A,B\r\n");
    Comparison expected{"A",        "B",      "",       "",      c.visited1,
                        c.visited2, c.fails1, c.common, c.only1, c.only2};
    expected.scan2Fails = c.fails2;
    checkComparison(runIn(dir), dir, programPath(dir), expected);
  }
}

TEST_F(Comparisons, AccessDeniedSubfolderEndsTheScan) {
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
    // Both builds put the path into the message, with the system's own text for the error.
    c.scan1Failure = platformText() + name + platformText();
    checkComparison(runIn(dir), dir, programPath(dir), c);
  }
}

// Names are appended to the working directory by the standard path-append rule: nothing is
// normalised, and an absolute name replaces the base. On Windows a name on a share or in the
// extended-length form is absolute, and one with a root directory but no drive keeps the base's
// drive. Every message names the folder as joined, and its report is the report of the same folder
// compared through its ordinary name.
TEST_F(Comparisons, FolderNameForms) {
  const std::string elsewhere = programPath(root_) + separator() + "elsewhere";
  makeTree(root_, {"elsewhere/b.txt", "shared/a.txt"});
  // Under Wine, the folder `host` is also the share \\localhost\<share> (Wine's link in its
  // prefix stands for the server). The share's name is this run's own: the prefix is the user's.
  const std::string share = "pairwick-" + std::to_string(getpid());
  const std::string unc = "\\\\localhost\\" + share;
  const std::string host = programPath(root_ / "host");
  std::string deep = longJapanesePath(300);
  std::replace(deep.begin(), deep.end(), '/', '\\');
  // "t." is a name that the rules for typed paths would read as "t".
  makeTree(root_ / "host", {"A/a.txt", "t./a.txt", "t/t.txt", longJapanesePath(300) + "/A/a.txt"});
  struct Case {
    std::string name1, name2;
    std::vector<std::string> tree;
    bool windowsOnly = false;
    std::string path1 = "";     // as joined, where that is not the base, a separator and name1
    std::string appended = "";  // what follows the base and a separator, where not name1
    std::string ordinary = "";  // the folder's ordinary name, whose report this one's equals
  };
  const std::vector<std::string> onlyB = {"B/b.txt"};
  const std::vector<Case> cases = {
      {"sub/A", "B", {"sub/A/a.txt", "B/b.txt"}},
      {"./A", "B", {"A/a.txt", "B/b.txt"}},
      {"../shared", "B", onlyB},
      {"A", elsewhere, {"A/a.txt"}},
      {unc + "\\A", "B", onlyB, true, unc + "\\A", "", host + "\\A"},
      {"//localhost/" + share + "/A", "B", onlyB, true, "//localhost/" + share + "/A", "",
       host + "\\A"},
      {"\\\\?\\UNC\\localhost\\" + share + "\\A", "B", onlyB, true,
       "\\\\?\\UNC\\localhost\\" + share + "\\A", "", host + "\\A"},
      {"\\\\?\\" + host + "\\A", "B", onlyB, true, "\\\\?\\" + host + "\\A", "", host + "\\A"},
      // An extended-length name is the entry it names, with no rule for typed paths applied.
      {"\\\\?\\UNC\\localhost\\" + share + "\\t.", "B", onlyB, true,
       "\\\\?\\UNC\\localhost\\" + share + "\\t."},
      // Far beyond 260 characters on the share.
      {unc + "\\" + deep + "\\A", "B", onlyB, true, unc + "\\" + deep + "\\A", "",
       host + "\\" + deep + "\\A"},
      // A root directory without a drive: the base's drive.
      {host.substr(2) + "\\A", "B", onlyB, true, host + "\\A", "", host + "\\A"},
      // The base's drive without a root directory: the base's folder. Drives compare as written:
      // "z:" is another drive than "Z:" and replaces the base, and the system finds the folder in
      // that drive's current folder, the working directory all the same.
      {"Z:A", "B", {"A/a.txt", "B/b.txt"}, true, "", "A", host + "\\A"},
      {"z:A", "B", {"A/a.txt", "B/b.txt"}, true, "z:A", "", host + "\\A"},
  };
  const bool windows = targetIsWindows();
  std::optional<WineShare> mapping;
  if (windows) mapping.emplace(mapWineShare("localhost", share, root_ / "host"));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    if (c.windowsOnly && !windows) continue;  // names of Windows paths only
    SCOPED_TRACE(c.name1 + "," + c.name2);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, c.tree);
    writeBytes(dir / kConfig, cp932(c.name1 + "," + c.name2 + "\r\n"));
    Comparison expected = listed({}, {"a.txt"}, {"b.txt"}, c.name1, c.name2);
    if (c.name2 == elsewhere) expected.path2 = elsewhere;
    if (!c.path1.empty()) expected.path1 = c.path1;
    if (!c.appended.empty()) expected.path1 = programPath(dir) + separator() + c.appended;
    checkComparison(runIn(dir), dir, programPath(dir), expected);
    if (c.ordinary.empty() || HasFailure()) continue;
    const fs::path ordinaryDir = caseDir("ordinary" + std::to_string(i));
    makeTree(ordinaryDir, c.tree);
    writeBytes(ordinaryDir / kConfig, cp932(c.ordinary + "," + c.name2 + "\r\n"));
    ASSERT_EQ(runIn(ordinaryDir).status, 0);
    std::string report = readBytes(ordinaryDir / soleReportName(ordinaryDir));
    for (std::size_t at = 0; (at = report.find(c.ordinary, at)) != std::string::npos;) {
      report.replace(at, c.ordinary.size(), c.name1);
      at += c.name1.size();
    }
    EXPECT_EQ(readBytes(dir / soleReportName(dir)), report);
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

    Comparison expected =
        listed({"共通.txt"}, {"旧だけ", "旧だけ/資料.txt"}, {"新だけ.txt"}, name1, name2);
    if (absolute) {
      expected.path1 = name1;
      expected.path2 = name2;
    }
    checkComparison(runIn(dir), dir, base, expected);
  }
}

}  // namespace
}  // namespace pairwick::e2e
