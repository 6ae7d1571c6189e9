// A report that cannot be created for a reason other than a taken name fails at once, naming the
// one name tried: here in a working directory that has been removed, where not even root can
// create anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "codec/cp932.h"
#include "compare/report.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

TEST(ReportPosixTest, ReportThatCannotBeCreatedThrowsNamingTheOnlyNameTried) {
  const fs::path previous = fs::current_path();
  const fs::path dir = testing_support::makeScratchFolder("pairwick-report-posix-");
  const fs::path logPath = dir / "test.log";
  DiagnosticsLog errLog;
  testing_support::openTestLog(errLog, logPath);
  fs::create_directory(dir / "gone");
  fs::current_path(dir / "gone");
  fs::remove(dir / "gone");
  try {
    createReportFile(errLog);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(NarrowText(failure.what()), cp932(u"結果ファイルを開けませんでした。"));
  }
  fs::current_path(previous);
  releaseDiagnosticsLog(errLog);

  const std::string logged = testing_support::readFile(logPath);
  const NarrowText nameLine = testing_support::crlf(cp932(u"[DEBUG] 結果ファイル名生成: "));
  ASSERT_EQ(logged.rfind(nameLine), 0u) << "exactly one name tried";
  const NarrowText name = logged.substr(nameLine.size(), logged.find('\r') - nameLine.size());
  EXPECT_EQ(
      logged.substr(logged.find('\n') + 1),
      testing_support::crlf(cp932(u"[ERROR] 結果ファイルを開けませんでした: ")) + name + "\r\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pairwick
