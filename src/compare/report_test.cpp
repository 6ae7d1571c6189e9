// Tests of the comparison report: its exact bytes, its log lines and its failures.
#include "compare/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "compare/result_file_name.h"
#include "platform/platform.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

using Paths = std::vector<NarrowText>;

// The log's form of a text: code page 932 with every line feed written as CR LF.
NarrowText logText(std::u16string_view text) { return testing_support::crlf(cp932(text)); }

// Each test writes its report into a fresh working directory of its own.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    dir_ = testing_support::makeScratchFolder("pairwick-report-");
    logPath_ = dir_ / "test.log";
    testing_support::openTestLog(log_, logPath_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    // Windows removes no file that is still open.
    releaseDiagnosticsLog(log_);
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }

  // The lists are given in any order, as a scan finds them, and put in order.
  std::string write(const NarrowText& folder1, const NarrowText& folder2, Paths paths1,
                    Paths paths2) {
    std::sort(paths1.begin(), paths1.end());
    std::sort(paths2.begin(), paths2.end());
    ReportFile report{"result.txt", {}};
    EXPECT_EQ(platform::openPlainFile("result.txt", platform::FileMode::createNew, report.file),
              platform::OpenResult::opened);
    writeReport(report, folder1, folder2, testing_support::contentsOf(paths1),
                testing_support::contentsOf(paths2), log_);
    return testing_support::readFile(dir_ / "result.txt");
  }

  fs::path previous_;
  fs::path dir_;
  DiagnosticsLog log_;
  fs::path logPath_;
};

const char kBom[] = "\xEF\xBB\xBF";

// The result file names of the seconds from `from` to `to` seconds from now.
std::vector<NarrowText> namesAround(int from, int to) {
  std::vector<NarrowText> names;
  const std::int64_t now = platform::currentTime();
  for (int offset = from; offset <= to; ++offset) {
    names.push_back(formatResultFileName("pairwick", platform::localTime(now + offset)));
  }
  return names;
}

// The report for the given UTF-8 names and lists (each entry followed by "\n"); an empty list
// stands for its section's empty-list line. The twelve-line test below pins the fixed texts.
std::string expectedReport(const std::string& name1, const std::string& name2,
                           const std::string& common, const std::string& only1,
                           const std::string& only2) {
  return std::string(kBom) + "==== フォルダ比較結果 ====\n比較対象フォルダ1: " + name1 +
         "\n比較対象フォルダ2: " + name2 + "\n\n[一致するサブフォルダ/ファイル]\n" +
         (common.empty() ? "一致するサブフォルダ/ファイルはありません。\n" : common) + "\n[" +
         name1 + " にのみ存在]\n" +
         (only1.empty() ? "フォルダ1にのみ存在するサブフォルダ/ファイルはありません。\n" : only1) +
         "\n[" + name2 + " にのみ存在]\n" +
         (only2.empty() ? "フォルダ2にのみ存在するサブフォルダ/ファイルはありません。\n" : only2);
}

TEST_F(ReportTest, BothFoldersEmptyGiveTwelveLines) {
  const std::string report = write("A", "B", {}, {});
  EXPECT_EQ(report, std::string(kBom) +
                        "==== フォルダ比較結果 ====\n"
                        "比較対象フォルダ1: A\n"
                        "比較対象フォルダ2: B\n"
                        "\n"
                        "[一致するサブフォルダ/ファイル]\n"
                        "一致するサブフォルダ/ファイルはありません。\n"
                        "\n"
                        "[A にのみ存在]\n"
                        "フォルダ1にのみ存在するサブフォルダ/ファイルはありません。\n"
                        "\n"
                        "[B にのみ存在]\n"
                        "フォルダ2にのみ存在するサブフォルダ/ファイルはありません。\n");
  EXPECT_EQ(testing_support::readFile(logPath_),
            logText(u"[DEBUG] 結果ファイルにBOMを書き込みました\n"
                    u"[DEBUG] 一致する項目なし\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目なし\n"
                    u"[DEBUG] フォルダ2にのみ存在する項目なし\n"));
}

TEST_F(ReportTest, IdenticalFoldersListEverythingAsCommon) {
  const Paths contents{"a", "a/b.txt", "c.txt"};
  EXPECT_EQ(write("left", "right", contents, contents),
            expectedReport("left", "right", "a\na/b.txt\nc.txt\n", "", ""));
  EXPECT_EQ(testing_support::readFile(logPath_),
            logText(u"[DEBUG] 結果ファイルにBOMを書き込みました\n"
                    u"[DEBUG] 一致項目出力: a\n"
                    u"[DEBUG] 一致項目出力: a/b.txt\n"
                    u"[DEBUG] 一致項目出力: c.txt\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目なし\n"
                    u"[DEBUG] フォルダ2にのみ存在する項目なし\n"));
}

TEST_F(ReportTest, TypicalRunListsEachSide) {
  const std::string report = write("A", "B", {"sub", "sub/y.txt", "x.txt"}, {"x.txt", "z.txt"});
  EXPECT_EQ(report, std::string(kBom) +
                        "==== フォルダ比較結果 ====\n"
                        "比較対象フォルダ1: A\n"
                        "比較対象フォルダ2: B\n"
                        "\n"
                        "[一致するサブフォルダ/ファイル]\n"
                        "x.txt\n"
                        "\n"
                        "[A にのみ存在]\n"
                        "sub\n"
                        "sub/y.txt\n"
                        "\n"
                        "[B にのみ存在]\n"
                        "z.txt\n");
  EXPECT_EQ(testing_support::readFile(logPath_),
            logText(u"[DEBUG] 結果ファイルにBOMを書き込みました\n"
                    u"[DEBUG] 一致項目出力: x.txt\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目出力: sub\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目出力: sub/y.txt\n"
                    u"[DEBUG] フォルダ2にのみ存在する項目出力: z.txt\n"));
}

TEST_F(ReportTest, JapaneseNamesAreUtf8InReportAndCp932InLog) {
  const Paths contents1{cp932(u"表"), cp932(u"表/ソ.txt"), cp932(u"表ソ"), cp932(u"日本.txt")};
  const Paths contents2{cp932(u"表"), cp932(u"表/ソ.txt"), cp932(u"ｶﾅ.txt")};
  // 日 is 93 FA and sorts before 表 (95 5C); "表/" (.. 2F) sorts before "表ソ" (.. 83 5C).
  EXPECT_EQ(write(cp932(u"資料表"), cp932(u"ソース"), contents1, contents2),
            expectedReport("資料表", "ソース", "表\n表/ソ.txt\n", "日本.txt\n表ソ\n", "ｶﾅ.txt\n"));
  EXPECT_EQ(testing_support::readFile(logPath_),
            logText(u"[DEBUG] 結果ファイルにBOMを書き込みました\n"
                    u"[DEBUG] 一致項目出力: 表\n"
                    u"[DEBUG] 一致項目出力: 表/ソ.txt\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目出力: 日本.txt\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目出力: 表ソ\n"
                    u"[DEBUG] フォルダ2にのみ存在する項目出力: ｶﾅ.txt\n"));
}

TEST_F(ReportTest, EntriesAreComparedAndOrderedByBytes) {
  const NarrowText kana = cp932(u"あ");
  const Paths contents1{"A.txt", "x", "x/y", "x_y", "p_q", "p/q", "p", kana};
  const Paths contents2{"a.txt", "x", "x_y", "Z", kana + "/b"};
  EXPECT_EQ(write("one", "two", contents1, contents2),
            expectedReport("one", "two", "x\nx_y\n", "A.txt\np\np/q\np_q\nx/y\nあ\n",
                           "Z\na.txt\nあ/b\n"));
}

TEST_F(ReportTest, LargeReportIsWrittenCompletely) {
  Paths contents1;
  Paths contents2;
  std::string common;
  std::string only1;
  for (int i = 0; i < 30000; ++i) {
    const std::string name = "dir/" + std::to_string(100000 + i) + ".txt";
    contents1.push_back(name);
    if (i % 3 == 0) {
      contents2.push_back(name);
      common += name + "\n";
    } else {
      only1 += name + "\n";
    }
  }
  EXPECT_EQ(write("A", "B", contents1, contents2), expectedReport("A", "B", common, only1, ""));
}

// The names of the seconds around now are taken, by a file, a folder and a second name of the log:
// the report waits for a free second's name and replaces none of them.
TEST_F(ReportTest, ReportTakesTheFirstFreeSecondsNameAndReplacesNothing) {
  const std::vector<NarrowText> taken = namesAround(-1, 2);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    if (i % 3 == 0) fs::create_directory(taken[i]);
    if (i % 3 == 1) {
      std::ofstream(dir_ / ("other" + std::to_string(i)), std::ios::binary) << "another file";
      fs::create_hard_link(dir_ / ("other" + std::to_string(i)), taken[i]);
    }
    if (i % 3 == 2) std::ofstream(taken[i], std::ios::binary) << "earlier report";
  }
  ReportFile report = createReportFile(log_);
  writeReport(report, "A", "B", testing_support::contentsOf({}), testing_support::contentsOf({}),
              log_);
  EXPECT_EQ(std::find(taken.begin(), taken.end(), report.filename), taken.end());
  EXPECT_EQ(testing_support::readFile(report.filename), expectedReport("A", "B", "", "", ""));

  // One name line per name tried: taken ones, each a second later, then the report's own.
  const std::string logged = testing_support::readFile(logPath_);
  const NarrowText nameLine = logText(u"[DEBUG] 結果ファイル名生成: ");
  std::vector<NarrowText> tried;
  for (std::size_t at = logged.find(nameLine); at != std::string::npos;
       at = logged.find(nameLine, at + 1)) {
    const std::size_t start = at + nameLine.size();
    tried.push_back(logged.substr(start, logged.find('\r', start) - start));
  }
  ASSERT_GE(tried.size(), 2u);
  EXPECT_EQ(tried.back(), report.filename);
  for (std::size_t i = 0; i + 1 < tried.size(); ++i) {
    EXPECT_NE(std::find(taken.begin(), taken.end(), tried[i]), taken.end()) << tried[i];
    EXPECT_LT(tried[i], tried[i + 1]);
  }
  for (std::size_t i = 0; i < taken.size(); ++i) {
    if (i % 3 == 2) {
      EXPECT_EQ(testing_support::readFile(taken[i]), "earlier report");
    }
  }
}

}  // namespace
}  // namespace pairwick
