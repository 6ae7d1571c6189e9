// Tests of the comparison report: its exact bytes, its log lines and its failures.
#include "compare/report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "codec/cp932.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

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
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }

  // The lists are given in any order, as a scan appends them, and settled as a scan does.
  std::string write(const NarrowText& folder1, const NarrowText& folder2, FolderContents contents1,
                    FolderContents contents2) {
    settleContents(contents1);
    settleContents(contents2);
    writeReport("result.txt", folder1, folder2, contents1, contents2, log_);
    return testing_support::readFile(dir_ / "result.txt");
  }

  fs::path previous_;
  fs::path dir_;
  DiagnosticsLog log_;
  fs::path logPath_;
};

const char kBom[] = "\xEF\xBB\xBF";

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
  const FolderContents contents{"a", "a/b.txt", "c.txt"};
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
  const FolderContents contents1{cp932(u"表"), cp932(u"表/ソ.txt"), cp932(u"表ソ"),
                                 cp932(u"日本.txt")};
  const FolderContents contents2{cp932(u"表"), cp932(u"表/ソ.txt"), cp932(u"ｶﾅ.txt")};
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
  const FolderContents contents1{"A.txt", "x", "x/y", "x_y", "p_q", "p/q", "p", kana};
  const FolderContents contents2{"a.txt", "x", "x_y", "Z", kana + "/b"};
  EXPECT_EQ(write("one", "two", contents1, contents2),
            expectedReport("one", "two", "x\nx_y\n", "A.txt\np\np/q\np_q\nx/y\nあ\n",
                           "Z\na.txt\nあ/b\n"));
}

TEST_F(ReportTest, LargeReportIsWrittenCompletely) {
  FolderContents contents1;
  FolderContents contents2;
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

TEST_F(ReportTest, EarlierReportOfTheSameNameIsReplaced) {
  std::ofstream(dir_ / "result.txt", std::ios::binary) << std::string(5000, 'x');
  EXPECT_EQ(write("A", "B", {"same"}, {"same"}), expectedReport("A", "B", "same\n", "", ""));
}

TEST_F(ReportTest, ReportThatCannotBeOpenedThrows) {
  fs::create_directory(dir_ / "result.txt");
  try {
    writeReport("result.txt", "A", "B", {"a"}, {"b"}, log_);
    FAIL() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(NarrowText(failure.what()), cp932(u"結果ファイルを開けませんでした。"));
  }
  EXPECT_EQ(testing_support::readFile(logPath_),
            logText(u"[ERROR] 結果ファイルを開けませんでした: result.txt\n"));
  EXPECT_TRUE(fs::is_directory(dir_ / "result.txt"));
}

TEST_F(ReportTest, ReportThatCannotBeWrittenThrows) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::create_symlink("/dev/full", dir_ / "result.txt");
  try {
    writeReport("result.txt", "A", "B", {"a"}, {"b"}, log_);
    FAIL() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(NarrowText(failure.what()), cp932(u"結果ファイルの書き込みに失敗しました。"));
  }
  // Every entry is still logged; the failure shows last.
  EXPECT_EQ(testing_support::readFile(logPath_),
            logText(u"[DEBUG] 結果ファイルにBOMを書き込みました\n"
                    u"[DEBUG] 一致する項目なし\n"
                    u"[DEBUG] フォルダ1にのみ存在する項目出力: a\n"
                    u"[DEBUG] フォルダ2にのみ存在する項目出力: b\n"
                    u"[ERROR] 結果ファイルの書き込みに失敗しました: result.txt\n"));
}

}  // namespace
}  // namespace pairwick
