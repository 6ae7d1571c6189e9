// Tests of the comparison report: its exact bytes, its log lines and its failures.
#include "compare/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "platform/files.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

using Paths = std::vector<NarrowText>;

// Each test writes its report into a fresh working directory of its own.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = fs::current_path();
    dir_ = testing_support::makeScratchFolder("pairwick-report-");
    testing_support::openTestLog(log_, dir_ / "test.log");
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
                testing_support::contentsOf(paths2), {}, log_);
    return testing_support::readFile(dir_ / "result.txt");
  }

  fs::path previous_;
  fs::path dir_;
  DiagnosticsLog log_;
};

const char kBom[] = "\xEF\xBB\xBF";

// The report for the given UTF-8 names and lists (each entry followed by "\n"); an empty list
// stands for its section's empty-list line.
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

// Names and entries are code page 932 in, UTF-8 out. 表 and ソ end in 5C: "表/" (.. 2F) sorts
// before "表ソ" (.. 83 5C), and あ (82 A0) before 表 (95 5C).
TEST_F(ReportTest, EntriesAreComparedAndOrderedByBytes) {
  const NarrowText kana = cp932(u"あ");
  const Paths contents1{"A.txt", "x", "x/y",          "x_y", "p_q",
                        "p/q",   "p", cp932(u"表ソ"), kana,  cp932(u"表/ソ.txt")};
  const Paths contents2{"a.txt", "x", "x_y", "Z", kana + "/b", cp932(u"表/ソ.txt")};
  EXPECT_EQ(write(cp932(u"資料表"), cp932(u"ソース"), contents1, contents2),
            expectedReport("資料表", "ソース", "x\nx_y\n表/ソ.txt\n",
                           "A.txt\np\np/q\np_q\nx/y\nあ\n表ソ\n", "Z\na.txt\nあ/b\n"));
}

// Each entry is converted as by itself: a lead byte at its end is one character (U+30FB), and
// the line feed after it stays a line feed.
TEST_F(ReportTest, EntryEndingInALeadByteKeepsItsLineEnd) {
  const Paths contents1{"b", "a\x81", cp932(u"表") + "\x81", "c"};
  EXPECT_EQ(write("A", "B", contents1, {"c"}),
            expectedReport("A", "B", "c\n", "a・\nb\n表・\n", ""));
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

}  // namespace
}  // namespace pairwick
