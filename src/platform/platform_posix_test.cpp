// POSIX platform layer: the one-pass conversion to UTF-8 against the two conversions it fuses,
// and the folder walk against the library's recursive iterator.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/platform.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

std::string onePass(std::string_view bytes) {
  std::string out(bytes.size() * 3, '\0');
  std::size_t written = 0;
  EXPECT_TRUE(platform::decodeCp932LenientToUtf8(bytes, out.data(), written));
  out.resize(written);
  return out;
}

std::string twoPasses(std::string_view bytes) {
  WideText wide;
  appendCp932Lenient(bytes, wide);
  std::string utf8;
  appendUtf8PerUnit(wide, utf8);
  return utf8;
}

TEST(PlatformPosixTest, OnePassUtf8IsTheLenientDecodingEncodedPerUnit) {
  // Every single byte and every pair, alone and after ASCII (the eight-byte runs), and a lead
  // byte at the very end.
  for (unsigned first = 0; first < 256; ++first) {
    for (unsigned second = 0; second < 256; ++second) {
      const std::string bytes{static_cast<char>(first), static_cast<char>(second)};
      for (const std::string& text : {bytes, "abcdefgh" + bytes, bytes.substr(0, 1)}) {
        ASSERT_EQ(onePass(text), twoPasses(text)) << first << " " << second;
      }
    }
  }
  // Long random texts, mostly ASCII with runs of everything else.
  std::mt19937 random(5);
  for (int round = 0; round < 50; ++round) {
    std::string text;
    while (text.size() < 5000) {
      const bool ascii = random() % 4 != 0;
      for (int k = static_cast<int>(random() % 20); k > 0; --k) {
        text += static_cast<char>(ascii ? random() % 0x80 : random() % 0x100);
      }
    }
    ASSERT_EQ(onePass(text), twoPasses(text)) << round;
  }
}

class PlatformWalkTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = testing_support::makeScratchFolder("pairwick-walk-"); }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(PlatformWalkTest, VisitsWhatTheLibraryIteratorVisitsInItsOrder) {
  fs::create_directories(root_ / "a" / "b" / "c");
  fs::create_directories(root_ / "e");
  std::ofstream(root_ / "a" / "f.txt") << "x";
  std::ofstream(root_ / "a" / "b" / "c" / "g") << "x";
  fs::create_symlink("a", root_ / "link-to-a");
  fs::create_symlink("missing", root_ / "dangling");

  using Visit = std::tuple<std::string, std::string, std::size_t, bool>;
  std::vector<Visit> expected;
  for (fs::recursive_directory_iterator it(root_), end; it != end; ++it) {
    const bool isLink = it->is_symlink();
    if (isLink) it.disable_recursion_pending();
    expected.emplace_back(it->path().native(), it->path().filename().native(),
                          static_cast<std::size_t>(it.depth()), isLink);
  }
  std::vector<Visit> visited;
  std::size_t plainCount = 0;
  platform::walkFolderTree(root_, [&](const std::string& fullPath, std::size_t nameStart,
                                      std::size_t depth, bool isLink, bool plain) {
    visited.emplace_back(fullPath, fullPath.substr(nameStart), depth, isLink);
    EXPECT_FALSE(plain && isLink);
    plainCount += plain ? 1 : 0;
  });
  EXPECT_EQ(visited, expected);
  EXPECT_EQ(visited.size(), 8u);
  // Every folder here can be searched: all but the two links are plain.
  EXPECT_EQ(plainCount, 6u);
}

TEST_F(PlatformWalkTest, FailuresCarryTheLibraryIteratorsMessages) {
  std::ofstream(root_ / "file") << "x";
  std::string message;
  try {
    platform::walkFolderTree(root_ / "file",
                             [](const std::string&, std::size_t, std::size_t, bool, bool) {});
  } catch (const fs::filesystem_error& failure) {
    message = failure.what();
  }
  std::string libraryMessage;
  try {
    fs::recursive_directory_iterator it(root_ / "file");
  } catch (const fs::filesystem_error& failure) {
    libraryMessage = failure.what();
  }
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(message, libraryMessage);
}

}  // namespace
}  // namespace pairwick
