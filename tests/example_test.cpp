// End-to-end test of the bundled example in examples/, run on a copy of it.
#include <string>

#include "e2e_messages.h"
#include "e2e_support.h"

namespace pairwick::e2e {
namespace {

using BundledExample = ScratchTest;

const fs::path kExamples = PAIRWICK_EXAMPLES_DIR;

TEST_F(BundledExample, ComparesTheTwoVersions) {
  // Only the example's inputs: outputs of earlier runs in examples/ are left out.
  fs::copy_file(kExamples / "Pairwick_config.csv", work_ / "Pairwick_config.csv");
  for (const char* folder : {"旧版", "新版"}) {
    fs::copy(kExamples / folder, work_ / folder, fs::copy_options::recursive);
  }
  EXPECT_EQ(readBytes(work_ / "Pairwick_config.csv"), cp932("旧版,新版\r\n"));

  checkComparison(run(), work_, base_,
                  listed({"ソース", "ソース/main.c", "議事録.txt", "表計算.csv"}, {"readme.txt"},
                         {"ソース/util.c", "変更履歴.txt"}, "旧版", "新版"));
}

}  // namespace
}  // namespace pairwick::e2e
