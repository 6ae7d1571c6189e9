// End-to-end tests on a real SMB file share (tests/smb_share.sh, which ctest starts around them as
// root): trees compared through the share, and a working folder kept on the share.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

const std::string kConfig = "Pairwick_config.csv";

// The names Samba shows in place of names that Windows cannot hold (a trailing dot or blank, a
// colon): its mangled 8.3 names, which a client sees and the report therefore lists.
const std::map<std::string, std::string> kMangledBySamba = {
    {"t.", "TULI86~N"}, {"a:b", "A4WTMA~A"}, {"x ", "XTHJTC~L"}};

// `path` with each of its '/'-separated names as the share shows it.
std::string asSambaShowsIt(const std::string& path) {
  std::string shown;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash - start);
    const auto mangled = kMangledBySamba.find(name);
    shown += mangled == kMangledBySamba.end() ? name : mangled->second;
    if (slash == std::string::npos) return shown;
    shown += '/';
    start = slash + 1;
  }
}

// The paths as the share shows them, in the report's order (code page 932 bytes).
Paths asSambaShowsThem(const Paths& paths) {
  Paths shown;
  for (const std::string& path : paths) shown.push_back(asSambaShowsIt(path));
  std::sort(shown.begin(), shown.end(),
            [](const std::string& a, const std::string& b) { return cp932(a) < cp932(b); });
  return shown;
}

// The program's name for `rel` below a folder it reaches as `top`.
std::string below(const std::string& top, const std::string& rel) {
  std::string name = top + separator() + rel;
  if (targetIsWindows()) std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

class FileShares : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    share_ = smbShare();
    if (share_ == nullptr) GTEST_SKIP() << smbShareAbsence();
    // A folder of this test's own on the share, which lasts as long as the share may.
    folder_ = "pairwick-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directory(share_->backing / folder_);
    // After a failed request the client restarts its connection and answers every request with
    // an error for a while: the test begins once the mount shows its folder.
    const auto deadline = std::chrono::steady_clock::now() + runPatience();
    std::error_code error;
    while (!fs::is_directory(share_->mount / folder_, error)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline)
          << "gave up waiting for the share's mount to show " << folder_ << ": " << error.message();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // How the program reaches the share's folder: the client's mount on POSIX; under Wine, the
    // mount as a drive and as the share \\localhost\share, as a Windows machine reaches a NAS.
    if (!targetIsWindows()) {
      routes_.push_back({"mount", programPath(share_->mount / folder_)});
    } else {
      mappings_.push_back(mapWineShare("", "s:", share_->mount));
      routes_.push_back({"drive", "S:\\" + folder_});
      mappings_.push_back(mapWineShare("localhost", "share", share_->mount));
      routes_.push_back({"UNC", "\\\\localhost\\share\\" + folder_});
    }
  }

  void TearDown() override {
    mappings_.clear();
    if (share_ != nullptr && !folder_.empty()) {
      std::error_code ignored;
      fs::remove_all(share_->backing / folder_, ignored);
    }
    ScratchTest::TearDown();
  }

  struct Route {
    std::string label;
    std::string top;  // the program's name for the test's folder on the share
  };

  const SmbShare* share_ = nullptr;
  std::string folder_;
  std::vector<WineShare> mappings_;
  std::vector<Route> routes_;
};

// A tree on the share is reported as the same tree compared where the server holds it, apart
// from the names that Samba shows mangled: names of Japanese characters, of characters whose
// second byte is 0x5C, and names that Windows cannot hold.
TEST_F(FileShares, TreesCompareAsLocally) {
  struct Case {
    std::string label;
    std::vector<std::string> tree;
    std::string name1, name2;
    Paths common, only1, only2;  // as the server's own folder lists them
  };
  const std::vector<Case> cases = {
      {"Japanese names",
       {"A/日本語/ファイル.txt", "A/共通.txt", "A/ｶﾅ.txt", "B/共通.txt", "B/ひらがな/"},
       "A",
       "B",
       {"共通.txt"},
       {"日本語", "日本語/ファイル.txt", "ｶﾅ.txt"},
       {"ひらがな"}},
      {"second bytes 5C",
       {"表/ソース/表.txt", "表/表.txt", "ソ/ソース/表.txt", "ソ/十.txt"},
       "表",
       "ソ",
       {"ソース", "ソース/表.txt"},
       {"表.txt"},
       {"十.txt"}},
      {"names Samba mangles",
       {"A/t./f", "A/a:b", "A/x ", "A/t/g", "B/t./f", "B/x "},
       "A",
       "B",
       {"t.", "t./f", "x "},
       {"a:b", "t", "t/g"},
       {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.label);
    const std::string rel = "case" + std::to_string(i);
    makeTree(share_->backing / folder_ / rel, c.tree);

    const fs::path localDir = caseDir("local" + std::to_string(i));
    const std::string local = programPath(share_->backing / folder_ / rel);
    Comparison expected =
        listed(c.common, c.only1, c.only2, below(local, c.name1), below(local, c.name2));
    expected.path1 = expected.name1;
    expected.path2 = expected.name2;
    writeBytes(localDir / kConfig, cp932(expected.name1 + "," + expected.name2 + "\r\n"));
    checkComparison(runIn(localDir), localDir, programPath(localDir), expected);

    for (const Route& route : routes_) {
      SCOPED_TRACE(route.label);
      const fs::path dir = caseDir(route.label + std::to_string(i));
      const std::string top = below(route.top, rel);
      Comparison shared =
          listed(asSambaShowsThem(c.common), asSambaShowsThem(c.only1), asSambaShowsThem(c.only2),
                 below(top, c.name1), below(top, c.name2));
      shared.path1 = shared.name1;
      shared.path2 = shared.name2;
      writeBytes(dir / kConfig, cp932(shared.name1 + "," + shared.name2 + "\r\n"));
      checkComparison(runIn(dir), dir, programPath(dir), shared);
    }
  }
}

// The tool's own folder kept on the share, as a user keeps it on a NAS: the configuration is read
// there and the report and the final log are written there, by a client that may refuse to open
// a file for appending; afterwards the folder holds the report and the final log, and no
// temporary log.
TEST_F(FileShares, WorkingFolderOnTheShare) {
  makeTree(share_->backing / folder_, {"A/a.txt", "A/共通/表.txt", "B/共通/表.txt", "work/"});
  writeBytes(share_->backing / folder_ / "work" / kConfig, cp932("../A,../B\r\n"));
  // What the run left is read where the server keeps it: after a failure the client would
  // answer with errors for a while.
  const fs::path kept = share_->backing / folder_ / "work";
  for (const Route& route : routes_) {
    // Not run through the share's name: Wine gives a process started in a host folder the name
    // of that folder on a drive, never one on \\server\share.
    if (route.label == "UNC") continue;
    SCOPED_TRACE(route.label);
    const RunResult result = runIn(share_->mount / folder_ / "work");
    if (targetIsWindows() && fs::exists(kept / "temp_Pairwick_error_log.txt")) {
      // Not checked under Wine: it removes a file deleted while open only once the last handle
      // closes, by unlinking it in wineserver while the program's process still holds its own
      // descriptor of it, and Samba refuses to remove an open file (EBUSY, which Wine ignores).
      // What it leaves is empty: none of the run's lines stay behind.
      EXPECT_EQ(readBytes(kept / "temp_Pairwick_error_log.txt"), "");
      fs::remove(kept / "temp_Pairwick_error_log.txt");
    }
    checkComparison(result, kept, below(route.top, "work"),
                    listed({"共通", "共通/表.txt"}, {"a.txt"}, {}, "../A", "../B"));
    const std::vector<std::string> reports = reportNames(kept);
    ASSERT_EQ(reports.size(), 1u);
    std::vector<std::string> expected = {kConfig, "Pairwick_error_log.txt", reports.front()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listNames(kept), expected);
  }
}

}  // namespace
}  // namespace pairwick::e2e
