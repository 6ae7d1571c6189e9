// Tests of the UTF-8 text file: byte order mark, per-unit encoding, truncation on open.
#include "text/utf8_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "testing/unit_test_support.h"

namespace pairwick {
namespace {

using namespace std::string_literals;

class Utf8FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::makeScratchFolder("pairwick-utf8-file-");
    path_ = dir_ / "report.txt";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string readBytes() const { return testing_support::readFile(path_); }

  std::filesystem::path dir_;
  std::filesystem::path path_;
};

TEST_F(Utf8FileTest, BomThenContentAndOldContentDiscarded) {
  {
    std::ofstream old(path_, std::ios::binary);
    old << "an older and much longer content\r\n";
  }
  std::ofstream file;
  openUtf8TextFile(file, platform::narrowPath(path_));
  ASSERT_TRUE(file.is_open());
  writeUtf8(file, u"\uFEFF");
  file.close();
  EXPECT_EQ(readBytes(), "\xEF\xBB\xBF");

  openUtf8TextFile(file, platform::narrowPath(path_));
  ASSERT_TRUE(file.is_open());
  writeUtf8(file, u"\uFEFF");
  writeUtf8(file, u"\u3042\n");
  file.close();
  EXPECT_EQ(readBytes(), "\xEF\xBB\xBF\xE3\x81\x82\n");
}

TEST_F(Utf8FileTest, FileThatCannotBeOpenedStaysClosed) {
  std::ofstream directory;
  openUtf8TextFile(directory, platform::narrowPath(dir_));
  EXPECT_FALSE(directory.is_open());

  std::ofstream badName;
  openUtf8TextFile(badName, platform::narrowPath(dir_) + "/\x81");
  EXPECT_FALSE(badName.is_open());
}

TEST(Utf8WriteTest, EachUnitIsEncodedOnItsOwn) {
  std::ostringstream out;
  writeUtf8(out, u"\u0000A\u007F\u0080\u07FF\u0800\uFFFF\r\n"s);
  // A surrogate pair is two three-byte sequences, as every unit stands alone.
  writeUtf8(out, u"\U0001F600");
  EXPECT_EQ(out.str(),
            "\x00"
            "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\r\n"
            "\xED\xA0\xBD\xED\xB8\x80"s);
}

TEST(Utf8WriteTest, LongTextIsWrittenWhole) {
  std::ostringstream out;
  writeUtf8(out, std::u16string(10000, u'\u3042') + u"x");
  std::string expected;
  for (int i = 0; i < 10000; ++i) expected += "\xE3\x81\x82";
  EXPECT_EQ(out.str(), expected + "x");
}

}  // namespace
}  // namespace pairwick
