// The Windows side of the tool's own files: a reparse point under an output name is never opened
// through. Wine cannot make one; it shows a host's symbolic link to a folder as one, and the
// Windows test script prepares such a link.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/code_page.h"
#include "platform/files.h"

namespace pairwick {
namespace {

using platform::FileHandle;
using platform::FileMode;
using platform::OpenResult;

TEST(PlatformFilesWin32Test, ReparsePointUnderAnOutputNameIsNeverOpened) {
  const char* fixture = std::getenv("PAIRWICK_WIN32_LINK_FIXTURE");
  if (fixture == nullptr || *fixture == '\0') {
    GTEST_SKIP() << "PAIRWICK_WIN32_LINK_FIXTURE names no prepared tree";
  }
  const std::filesystem::path link = platform::pathFromNarrow(fixture) / "link";
  std::vector<OpenResult> results;
  for (const FileMode mode : {FileMode::append, FileMode::createNew, FileMode::replace}) {
    FileHandle file;
    results.push_back(platform::openPlainFile(link, mode, file));
    if (results.back() == OpenResult::opened) platform::closeFile(file);
  }
  EXPECT_EQ(results, (std::vector<OpenResult>{OpenResult::failed, OpenResult::nameTaken,
                                              OpenResult::failed}));
  EXPECT_FALSE(platform::removeFile(link)) << "a link to a folder is no file of the tool's";
  EXPECT_TRUE(std::filesystem::exists(link));
}

}  // namespace
}  // namespace pairwick
