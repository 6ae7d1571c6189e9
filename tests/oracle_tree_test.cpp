// A differential oracle for the comparison: random trees (Japanese names with 0x5C second bytes,
// deep and wide shapes, links) are compared by the program and by find, iconv, sort and comm,
// tools that share nothing with it. The three lists of the report must equal the oracle's.
//
// Links: the program records a link under the relative path of the place it resolves to, not
// under its own name (a dangling link, which resolves to nothing, under its own name). The
// oracle therefore replaces every link that find lists by coreutils' `realpath -e
// --relative-to=<folder>` of it, and keeps find's own path where realpath cannot resolve the link.
// A link and its target inside the folder then give one entry, as in the program's set: the
// oracle's lists are made unique with sort -u. Link loops and paths beyond the path limit end a
// scan on purpose and are left to the fault tests; they are not generated here.
//
// Against the Windows build (under Wine), the same random trees are compared by the POSIX build
// instead, and the two reports must be equal byte for byte. Their names include those that the
// rules for typed Windows paths would rewrite (a trailing dot or blank, device names); they leave
// out what a Windows name cannot hold (a backslash) and the links that Wine does not show as links
// (to files, dangling ones).
//
// PAIRWICK_ORACLE_TREES sets how many trees are compared (default 50); PAIRWICK_ORACLE_SEED the
// first tree's seed (default: random). A failure names the seed that reproduces it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "e2e_messages.h"
#include "e2e_support.h"
#include "fault_support.h"

namespace pairwick::e2e {
namespace {

const std::string kConfig = "Pairwick_config.csv";

// The oracle, run in the folder that holds A and B; writes common.txt, only1.txt, only2.txt (UTF-8)
// and the sizes of both sets.
const char* const kOracleScript = R"(set -eu
list() {
  base=$(cd "$1" && pwd -P)
  find "$base" -mindepth 1 -printf '%y %P\n' | while IFS= read -r line; do
    case $line in
      "l "*)
        path=${line#l }
        if target=$(realpath -e --relative-to="$base" "$base/$path" 2>/dev/null); then
          printf '%s\n' "$target"
        else
          printf '%s\n' "$path"
        fi ;;
      *) printf '%s\n' "${line#? }" ;;
    esac
  done | iconv -f UTF-8 -t CP932 | LC_ALL=C sort -u
}
list A > a.lst
list B > b.lst
LC_ALL=C comm -12 a.lst b.lst | iconv -f CP932 -t UTF-8 > common.txt
LC_ALL=C comm -23 a.lst b.lst | iconv -f CP932 -t UTF-8 > only1.txt
LC_ALL=C comm -13 a.lst b.lst | iconv -f CP932 -t UTF-8 > only2.txt
wc -l < a.lst > count1.txt
wc -l < b.lst > count2.txt
)";

// Characters of the names: ASCII (a backslash among them, an ordinary character on POSIX) and
// Japanese characters whose second code page 932 byte is 0x5C (表 ソ 十 能 予 申 貼 暴 構 噂),
// kana, kanji, the long vowel mark, the full-width tilde and half-width kana.
const std::vector<std::string> kAlphabet = {"a",  "b",  "c",  "x",  "y",  "z",  "A",  "B",  "Z",
                                            "0",  "1",  "9",  "_",  "-",  ".",  " ",  "\\", "~",
                                            "表", "ソ", "十", "能", "予", "申", "貼", "暴", "構",
                                            "噂", "あ", "ア", "漢", "字", "ー", "～", "ｱ",  "ﾝ"};

// Whole names that Windows' rules for typed paths would read as other names or as devices, and
// names beside which those would be found: "t." and "t " are "t" to those rules, "aux" and
// "con.txt" devices, in any letter case.
const std::vector<std::string> kRewrittenNames = {
    "t",   "t.",         "t ",   "t..",   " ",       "...",    "aux",  "AUX", "Aux.txt", "nul",
    "NUL", "nul.tar.gz", "com1", "COM1.", "con.txt", "CONIN$", "lpt9", "prn", "x.y."};

struct Node {
  std::string path;  // relative, '/'-separated, UTF-8
  bool directory = false;
  int sides = 3;  // 1: only in A, 2: only in B, 3: in both
};

class TreeMaker {
 public:
  // `windowsNames`: only names that a Windows folder can hold.
  TreeMaker(unsigned long long seed, bool windowsNames)
      : random_(seed), windowsNames_(windowsNames) {}
  bool windowsNames() const { return windowsNames_; }

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  bool chance(int percent) { return below(100) < percent; }

  std::string name(std::set<std::string>& taken) {
    for (;;) {
      std::string name;
      if (chance(15)) {
        name = kRewrittenNames[below(static_cast<int>(kRewrittenNames.size()))];
      } else {
        const int length = 1 + below(10);
        for (int i = 0; i < length; ++i) {
          const std::string& character = kAlphabet[below(static_cast<int>(kAlphabet.size()))];
          if (windowsNames_ && character == "\\") continue;
          name += character;
        }
      }
      if (name.empty()) continue;
      if (name == "." || name == ".." || !taken.insert(name).second) continue;
      return name;
    }
  }

  // Children of `parent` (present on `sides`), `count` of them, folders down to `depth`.
  void fill(std::vector<Node>& nodes, const std::string& parent, int sides, int count, int depth,
            int folderPercent, std::set<std::string> taken = {}) {
    for (int i = 0; i < count; ++i) {
      Node node;
      node.path = (parent.empty() ? "" : parent + "/") + name(taken);
      node.directory = depth > 0 && chance(folderPercent);
      // Most entries are on both sides; some on one side only, below a shared folder or not.
      node.sides = sides != 3 ? sides : chance(70) ? 3 : 1 + below(2);
      nodes.push_back(node);
      if (node.directory) {
        fill(nodes, node.path, node.sides, below(5), depth - 1, folderPercent);
      }
    }
  }

  std::vector<Node> tree() {
    std::vector<Node> nodes;
    switch (below(3)) {
      case 0:  // random
        fill(nodes, "", 3, 3 + below(8), 5, 40);
        break;
      case 1: {  // deep: a chain of folders, a few entries at each level
        std::string path;
        std::set<std::string> taken;
        std::string next = name(taken);
        const int depth = 15 + below(25);
        for (int level = 0; level < depth; ++level) {
          path += (path.empty() ? "" : "/") + next;
          nodes.push_back({path, true, 3});
          taken = {};
          next = name(taken);  // the next folder's name is not given to a file beside it
          if (chance(30)) fill(nodes, path, 3, 1 + below(2), 0, 0, taken);
        }
        break;
      }
      default:  // wide: hundreds of entries in one folder
        fill(nodes, "", 3, 150 + below(250), 1, 5);
        break;
    }
    return nodes;
  }

 private:
  std::mt19937_64 random_;
  bool windowsNames_;
};

void makeSide(const fs::path& folder, const std::vector<Node>& nodes, int side, TreeMaker& maker) {
  fs::create_directories(folder);
  for (const Node& node : nodes) {
    if ((node.sides & side) == 0) continue;
    // Now and then an entry is a folder on one side and a file on the other: the same entry.
    const bool directory = node.directory || (side == 2 && node.sides == 3 && maker.chance(5));
    if (directory) {
      fs::create_directories(folder / node.path);
    } else {
      writeBytes(folder / node.path, "");
    }
  }
}

// Links of every kind whose resolution the oracle can follow: to entries inside the folder, to
// the folder itself and its parent, to the other folder and outside, chains, dangling ones. For
// Windows names, links to folders only: Wine shows a host's link to a file as that file and no
// dangling link at all; and to no place whose way holds a name ending in a dot or blank: Wine
// gives the final path of such a place with the dot or blank dropped, where Windows gives the name
// as stored.
void addLinks(const fs::path& dir, const fs::path& folder, const std::vector<Node>& nodes, int side,
              TreeMaker& maker) {
  const auto target = [&maker](const std::string& path) {
    if (!maker.windowsNames()) return true;
    for (const fs::path& name : fs::path(path)) {
      const char last = name.native().back();
      if (last == '.' || last == ' ') return false;
    }
    return true;
  };
  std::vector<std::string> present;
  std::vector<std::string> folders = {""};
  for (const Node& node : nodes) {
    if ((node.sides & side) == 0) continue;
    if ((node.directory || !maker.windowsNames()) && target(node.path)) {
      present.push_back(node.path);
    }
    if (node.directory) folders.push_back(node.path);
  }
  const int links = maker.below(6);
  std::set<std::string> taken;
  for (int i = 0; i < links; ++i) {
    const std::string where = folders[maker.below(static_cast<int>(folders.size()))];
    const fs::path link = folder / where / ("link" + std::to_string(i) + maker.name(taken));
    if (fs::exists(fs::symlink_status(link))) continue;
    switch (maker.below(6)) {
      case 0:  // an entry of the folder, by absolute path
        if (!present.empty()) {
          fs::create_symlink(folder / present[maker.below(static_cast<int>(present.size()))], link);
        }
        break;
      case 1:  // an entry of the folder, relative to the link
        if (!present.empty()) {
          const fs::path target = folder / present[maker.below(static_cast<int>(present.size()))];
          fs::create_symlink(target.lexically_relative(link.parent_path()), link);
        }
        break;
      case 2:  // the folder itself or the folder above it
        fs::create_symlink(maker.chance(50) ? folder : dir, link);
        break;
      case 3:  // outside the folder
        fs::create_symlink(
            dir / "outside" / (maker.chance(50) && !maker.windowsNames() ? "file" : "sub"), link);
        break;
      case 4:  // dangling
        if (!maker.windowsNames()) fs::create_symlink("missing" + std::to_string(i), link);
        break;
      default:  // a chain through an earlier link, when there is one
        if (target(where)) fs::create_symlink(folder / where, link);
        break;
    }
  }
}

using Oracle = ScratchTest;

TEST_F(Oracle, RandomTreesAgreeWithFindIconvSortAndComm) {
  const bool windows = targetIsWindows();
  const char* treesText = std::getenv("PAIRWICK_ORACLE_TREES");
  const int trees = treesText != nullptr && *treesText != '\0' ? std::atoi(treesText) : 50;
  const char* seedText = std::getenv("PAIRWICK_ORACLE_SEED");
  const unsigned long long firstSeed = seedText != nullptr && *seedText != '\0'
                                           ? std::strtoull(seedText, nullptr, 10)
                                           : std::random_device()();
  const fs::path script = root_ / "oracle.sh";
  writeBytes(script, kOracleScript);

  int compared = 0;
  long long entries = 0;
  for (int t = 0; t < trees; ++t) {
    const unsigned long long seed = firstSeed + static_cast<unsigned long long>(t);
    SCOPED_TRACE("tree seed " + std::to_string(seed) + " (again: PAIRWICK_ORACLE_SEED=" +
                 std::to_string(seed) + " PAIRWICK_ORACLE_TREES=1)");
    TreeMaker maker(seed, windows);
    const fs::path dir = caseDir("tree" + std::to_string(t));
    const std::vector<Node> nodes = maker.tree();
    makeTree(dir, {"outside/file", "outside/sub/"});
    makeSide(dir / "A", nodes, 1, maker);
    makeSide(dir / "B", nodes, 2, maker);
    addLinks(dir, dir / "A", nodes, 1, maker);
    addLinks(dir, dir / "B", nodes, 2, maker);
    writeBytes(dir / kConfig, "A,B\r\n");

    const RunResult result = runIn(dir);
    if (windows) {
      // The POSIX build, which the oracle holds to find and comm on every change, is the
      // reference: the Windows build must list every name as the folder holds it.
      ASSERT_EQ(result.status, 0) << result.console << result.standardError;
      const std::string windowsReport = readBytes(dir / soleReportName(dir));
      fs::remove(dir / soleReportName(dir));
      const RunResult posix = runPosixBuild(dir);
      ASSERT_EQ(posix.status, 0) << posix.console << posix.standardError;
      EXPECT_EQ(windowsReport, readBytes(dir / soleReportName(dir)));
      if (::testing::Test::HasFailure()) {
        std::printf(
            "oracle: the builds differ on the tree of seed %llu (PAIRWICK_E2E_KEEP=1 keeps %s)\n",
            seed, dir.c_str());
        return;
      }
      ++compared;
      entries +=
          static_cast<long long>(std::count(windowsReport.begin(), windowsReport.end(), '\n'));
      fs::remove_all(dir);
      continue;
    }
    ASSERT_EQ(result.status, 0) << result.console << result.standardError;
    const std::string command = "cd '" + dir.native() + "' && /bin/sh '" + script.native() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << "the oracle failed";

    const auto lines = [&](const char* file) {
      std::vector<std::string> out;
      const std::string text = readBytes(dir / file);
      std::size_t start = 0;
      for (std::size_t end = text.find('\n'); end != std::string::npos;
           end = text.find('\n', start)) {
        out.push_back(text.substr(start, end - start));
        start = end + 1;
      }
      return out;
    };
    const ReportLists report = parseReport(readBytes(dir / soleReportName(dir)), "A", "B");
    EXPECT_EQ(report.common, lines("common.txt"));
    EXPECT_EQ(report.only1, lines("only1.txt"));
    EXPECT_EQ(report.only2, lines("only2.txt"));

    // The counts of the completion lines are the sizes of the oracle's sets.
    const std::string log = readBytes(dir / "Pairwick_error_log.txt");
    for (const auto& [label, countFile] : {std::pair{"A", "count1.txt"}, {"B", "count2.txt"}}) {
      const std::string done =
          std::string("[DEBUG] フォルダ走査完了 (") + label +
          "): " + std::to_string(std::atoi(readBytes(dir / countFile).c_str())) + " 項目\r\n";
      EXPECT_NE(log.find(done), std::string::npos) << done;
    }
    if (::testing::Test::HasFailure()) {
      std::printf("oracle: the tree of seed %llu differs (PAIRWICK_E2E_KEEP=1 keeps %s)\n", seed,
                  dir.c_str());
      return;
    }
    ++compared;
    entries +=
        static_cast<long long>(report.common.size() + report.only1.size() + report.only2.size());
    fs::remove_all(dir);
  }
  tally("oracle_trees", compared);
  tally("oracle_entries", entries);
  std::printf("oracle: %d trees from seed %llu agree%s, %lld %s\n", compared, firstSeed,
              windows ? " between the Windows and the POSIX build" : "", entries,
              windows ? "report lines" : "listed entries");
}

}  // namespace
}  // namespace pairwick::e2e
