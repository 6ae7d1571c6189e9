// Fault injection through hostile configuration files: a first line of 100 MB, 0x00 bytes, bytes
// that are not code page 932, a lone lead byte at the end, thousands of commas. No run may crash
// or hang, every message is exact, and memory stays within what the first line itself needs.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

using namespace std::string_literals;
using HostileConfigurations = ScratchTest;

const std::string kConfig = "Pairwick_config.csv";

void record(const RunResult& result, const fs::path& dir, const Pattern& expectedLog) {
  tally("faults_injected", 1);
  tally("lines_expected", static_cast<long long>(expectedLines(expectedLog)));
  const std::size_t found = linesInBothLogs(dir);
  const std::size_t expected = expectedLines(expectedLog);
  tally("lines_lost", static_cast<long long>(expected > found ? expected - found : 0));
  if (result.status < 128 && !::testing::Test::HasFailure()) tally("faults_survived", 1);
}

TEST_F(HostileConfigurations, ZeroBytesInANameNameNoFolder) {
  struct Case {
    std::string line, name1, name2, missing;
  };
  // Before the fix, "A\0B" found the folder A and recorded its file x as ".", and "\0A" scanned
  // the working directory itself.
  for (const Case& c : {Case{"A\0B,C"s, "A\0B"s, "C", "A\0B"s}, Case{"\0A,C"s, "\0A"s, "C", "\0A"s},
                        Case{"A,C\0"s, "A", "C\0"s, "C\0"s}}) {
    SCOPED_TRACE(c.missing);
    const fs::path dir =
        caseDir("case" + std::to_string(c.missing.find('\0')) + c.name2.substr(0, 1));
    makeTree(dir, {"A/x", "C/y"});
    writeBytes(dir / kConfig, c.line + "\r\n");
    const std::string base = programPath(dir);

    Expected e;
    expectStart(e, base);
    expectConfigOpened(e, base);
    // Shown up to the 0x00 byte, logged whole.
    expectFoldersRead(e, c.name1.substr(0, c.name1.find('\0')),
                      c.name2.substr(0, c.name2.find('\0')), c.name1, c.name2);
    expectFolderPaths(e, base + separator() + c.name1, base + separator() + c.name2);
    expectFolderMissing(e, base + separator() + c.missing);
    // No code page 932 text holds 0x00: the file is taken for UTF-16.
    expectSavedAs(e, "UTF-16 (Unicode)");
    const RunResult result = runIn(dir);
    checkRun(result, dir, e);
    EXPECT_TRUE(reportNames(dir).empty());
    record(result, dir, e.log);
  }
}

TEST_F(HostileConfigurations, BytesThatAreNotCodePage932GoToTheHandler) {
  struct Case {
    std::string line;   // the configuration's first line and what follows it
    std::string shown;  // the second name as the console shows it
    bool crKept;        // whether the final log keeps the CR of the names line
  };
  // 85 40 has no mapping; FF is no character; a lead byte at the end of the line stands alone.
  // In the final log, that lone lead byte takes the CR after it into one substitute, as the
  // platform's lenient converter does; the line itself stays.
  const std::vector<Case> cases = {
      Case{"A,\x85\x40x\r\n", "・x", true}, Case{"A,x\xFF\r\n", "x\uF8F3", true},
      Case{"A,B\x81", "B・", false}, Case{"A,B\x81\r\nC,D\r\n", "B・", false},
      Case{"A,B\x81\n", "B・", false}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.shown);
    const fs::path dir = caseDir("case" + std::to_string(i));
    makeTree(dir, {"A/", "B/"});
    writeBytes(dir / kConfig, c.line);
    const std::string base = programPath(dir);

    Expected before;
    expectStart(before, base);
    expectConfigOpened(before, base);
    Expected after;
    expectHandler(after, platformText());
    const std::string namesLine = "[DEBUG] 読み込んだフォルダ: A, " + c.shown;

    const RunResult result = runIn(dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(
        matches(before.console + "読み込んだフォルダ: A, " + c.shown + "\n", result.console));
    EXPECT_TRUE(matches(asStandardError(after.standardError), result.standardError));
    const Pattern finalLog = c.crKept ? asFinalLog(before.log + namesLine + "\n" + after.log)
                                      : finalLogWithLine(before.log, namesLine + "\n", after.log);
    EXPECT_TRUE(matches(finalLog, readBytes(dir / "Pairwick_error_log.txt")));
    EXPECT_FALSE(fs::exists(dir / "temp_Pairwick_error_log.txt"));
    // On POSIX the message is the C library's text for an invalid multibyte sequence.
    if (!targetIsWindows()) {
      EXPECT_NE(readBytes(dir / "Pairwick_error_log.txt").find("multibyte"), std::string::npos);
    }
    record(result, dir, before.log + namesLine + "\n" + after.log);
  }
}

TEST_F(HostileConfigurations, ThousandsOfCommas) {
  const std::string commas(100000, ',');  // well past the reader's 64 KiB pieces
  std::string pairs = "A";
  for (int i = 0; i < 5000; ++i) pairs += ",B";

  {
    SCOPED_TRACE("only commas");
    const fs::path dir = caseDir("commas");
    writeBytes(dir / kConfig, commas + "\r\n");
    Expected e;
    expectStart(e, programPath(dir));
    expectConfigOpened(e, programPath(dir));
    expectConfigMalformed(e, commas);
    expectAbort(e);
    const RunResult result = runIn(dir);
    checkRun(result, dir, e);
    record(result, dir, e.log);
  }
  for (const std::string& line : {pairs, "A,B" + commas, "A" + commas + "B"}) {
    SCOPED_TRACE(line.substr(0, 8));
    const fs::path dir = caseDir("names" + std::to_string(line.size()));
    makeTree(dir, {"A/x", "B/x"});
    writeBytes(dir / kConfig, line);
    const RunResult result = runIn(dir);
    if (line[2] == ',') {
      // Nothing between the first two commas: the second name is empty.
      Expected e;
      expectStart(e, programPath(dir));
      expectConfigOpened(e, programPath(dir));
      expectConfigMalformed(e, line);
      expectAbort(e);
      checkRun(result, dir, e);
      record(result, dir, e.log);
    } else {
      checkComparison(result, dir, programPath(dir),
                      {"A", "B", "", "", {"x"}, {"x"}, false, {"x"}, {}, {}});
      record(
          result, dir,
          expectComparison(programPath(dir), {"A", "B", "", "", {"x"}, {"x"}, false, {"x"}, {}, {}},
                           soleReportName(dir))
              .log);
    }
  }
}

// A configuration "file" that never ends (/dev/zero) or that blocks its reader (a FIFO without a
// writer) is no configuration file: the not-found messages, at once.
TEST_F(HostileConfigurations, EndlessOrBlockingConfigurationIsNotAFile) {
  if (targetIsWindows()) GTEST_SKIP() << "POSIX special files";
  for (const std::string kind : {"endless", "fifo"}) {
    SCOPED_TRACE(kind);
    const fs::path dir = caseDir(kind);
    if (kind == "endless") {
      fs::create_symlink("/dev/zero", dir / kConfig);
    } else {
      ASSERT_EQ(mkfifo((dir / kConfig).c_str(), 0644), 0);
    }
    const MeasuredRun run = runMeasured(dir, 60);
    ASSERT_FALSE(run.hung) << "the run did not end";
    Expected e;
    expectStart(e, programPath(dir));
    expectConfigMissing(e, programPath(dir));
    expectAbort(e);
    checkRun(run.result, dir, e);
    record(run.result, dir, e.log);
  }
}

TEST_F(HostileConfigurations, FirstLineOf100MegabytesWithoutALineFeed) {
  if (targetIsWindows()) GTEST_SKIP() << "measured on the native program";
  constexpr std::size_t kLine = 100u << 20;
  const std::string line(kLine, 'x');
  writeBytes(work_ / kConfig, line);

  const MeasuredRun run = runMeasured(work_, 600);
  ASSERT_FALSE(run.hung) << "the run did not end";
  Expected e;
  expectStart(e, base_);
  expectConfigOpened(e, base_);
  expectConfigMalformed(e, line);
  expectAbort(e);
  checkRun(run.result, work_, e);
  record(run.result, work_, e.log);
  std::printf("100 MB first line: peak memory %lld KiB\n", run.maxRssKilobytes);
  if (!kSanitized) {
    // The reader must hold the line once; nothing else may grow with it.
    EXPECT_LT(run.maxRssKilobytes, static_cast<long long>(kLine / 1024 + 24 * 1024));
  }
}

TEST_F(HostileConfigurations, FolderNameOf10Megabytes) {
  if (targetIsWindows()) GTEST_SKIP() << "measured on the native program";
  constexpr std::size_t kName = 10u << 20;
  const std::string name(kName, 'n');
  makeTree(work_, {"A/"});
  writeBytes(work_ / kConfig, "A," + name + "\r\n");

  const MeasuredRun run = runMeasured(work_, 600);
  ASSERT_FALSE(run.hung) << "the run did not end";
  // The name is far beyond the path limit: the existence test cannot answer, and says so.
  Expected e;
  expectStart(e, base_);
  expectConfigOpened(e, base_);
  expectFoldersRead(e, "A", name);
  expectFolderPaths(e, base_ + separator() + "A", base_ + separator() + name);
  expectHandler(e, platformText());
  checkRun(run.result, work_, e);
  record(run.result, work_, e.log);
  std::printf("10 MB folder name: peak memory %lld KiB\n", run.maxRssKilobytes);
  if (!kSanitized) {
    // Shown, logged, made a path and put into a message: a few copies, in wide text too, but
    // nothing that grows faster than the name.
    EXPECT_LT(run.maxRssKilobytes, static_cast<long long>(16 * kName / 1024 + 24 * 1024));
  }
}

}  // namespace
}  // namespace pairwick::e2e
