// Fault injection through hostile configuration files: a first line of 100 MB, 0x00 bytes,
// thousands of commas, files that never end. No run may crash or hang, every message is exact,
// and memory stays within what the first line itself needs.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"
#include "testing/open_watch_posix.h"

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

    Expected e = configOpenedRun(base);
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

TEST_F(HostileConfigurations, ThousandsOfCommas) {
  const std::string commas(100000, ',');  // well past the reader's 64 KiB pieces
  std::string pairs = "A";
  for (int i = 0; i < 5000; ++i) pairs += ",B";
  for (const std::string& line : {commas, "A" + commas + "B", pairs, "A,B" + commas}) {
    SCOPED_TRACE(line.substr(0, 8));
    const fs::path dir = caseDir("case" + std::to_string(line.size()));
    makeTree(dir, {"A/x", "B/x"});
    writeBytes(dir / kConfig, line);
    const std::string base = programPath(dir);
    const RunResult result = runIn(dir);
    // Only commas, or nothing between the first two: a name is empty.
    Expected e = malformedConfigurationRun(base, line);
    if (line.compare(0, 3, "A,B") == 0) {
      const Comparison c = listed({"x"}, {}, {});
      checkComparison(result, dir, base, c);
      e = expectComparison(base, c, soleReportName(dir));
    } else {
      checkRun(result, dir, e);
    }
    record(result, dir, e.log);
  }
}

// A configuration "file" that never ends (/dev/zero), that blocks its reader (a FIFO without a
// writer) or that is a device is no configuration file: the not-found messages, at once. The FIFO
// and the device are never opened, only looked at: an open wakes a FIFO's writer, and opening a
// device can set it to work (a tape rewinds, a line hangs up). The device node, /dev/null's, needs
// root.
TEST_F(HostileConfigurations, EndlessOrBlockingConfigurationIsNotAFile) {
  if (targetIsWindows()) GTEST_SKIP() << "POSIX special files";
  for (const std::string kind : {"endless", "fifo", "device"}) {
    SCOPED_TRACE(kind);
    const fs::path dir = caseDir(kind);
    testing_support::OpenWatch watch;
    if (kind == "endless") {
      fs::create_symlink("/dev/zero", dir / kConfig);
    } else if (kind == "fifo") {
      ASSERT_EQ(mkfifo((dir / kConfig).c_str(), 0644), 0);
      watch.watch(dir / kConfig);
    } else if (mknod((dir / kConfig).c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0) {
      watch.watch(dir / kConfig);
    } else {
      GTEST_SKIP() << "making a device node needs root";
    }
    const MeasuredRun run = runMeasured(dir);
    ASSERT_FALSE(run.hung) << "the run did not end within " << runPatience().count() << " s";
    Expected e;
    expectStart(e, programPath(dir));
    expectConfigMissing(e, programPath(dir));
    expectAbort(e);
    checkRun(run.result, dir, e);
    EXPECT_EQ(watch.opened(), std::vector<fs::path>{}) << "opened, not only looked at";
    record(run.result, dir, e.log);
  }
}

TEST_F(HostileConfigurations, FirstLineOf100MegabytesWithoutALineFeed) {
  if (targetIsWindows()) GTEST_SKIP() << "measured on the native program";
  constexpr std::size_t kLine = 100u << 20;
  const std::string line(kLine, 'x');
  writeBytes(work_ / kConfig, line);

  const MeasuredRun run = runMeasured(work_);
  ASSERT_FALSE(run.hung) << "the run did not end within " << runPatience().count() << " s";
  const Expected e = malformedConfigurationRun(base_, line);
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

  const MeasuredRun run = runMeasured(work_);
  ASSERT_FALSE(run.hung) << "the run did not end within " << runPatience().count() << " s";
  // The name is far beyond the path limit: the existence test cannot answer, and says so.
  Expected e = configOpenedRun(base_);
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
