// Tests of shiftJISToWstring and widenMessage: lenient decoding and the labelled failure lines.
#include "text/shift_jis.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "codec/cp932.h"
#include "testing/unit_test_support.h"

namespace pairwick {

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// Each test logs into a file of its own in a fresh scratch folder.
class ShiftJisToWstringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::makeScratchFolder("pairwick-shiftjis-");
    logPath_ = dir_ / "test.log";
    testing_support::openTestLog(errLog, logPath_);
  }
  void TearDown() override {
    endDiagnosticsLog(errLog);
    releaseDiagnosticsLog(errLog);
    fs::remove_all(dir_);
  }
  std::string logged() const { return testing_support::readFile(logPath_); }

  fs::path dir_;
  fs::path logPath_;
  DiagnosticsLog errLog;
};

TEST_F(ShiftJisToWstringTest, ConvertsLenientlyWithoutLogging) {
  EXPECT_EQ(shiftJISToWstring("", errLog, "label"), u"");
  EXPECT_EQ(shiftJISToWstring("abc", errLog, "label"), u"abc");
  EXPECT_EQ(shiftJISToWstring("\x82\xA0", errLog, "label"), u"\u3042");
  EXPECT_EQ(shiftJISToWstring("\x93\xFA\x96\x7B", errLog, "label"), u"\u65E5\u672C");
  // Conversion stops at the first 0x00 byte.
  EXPECT_EQ(shiftJISToWstring("ab\0cd"s, errLog, "label"), u"ab");
  EXPECT_EQ(shiftJISToWstring("\0ab"s, errLog, "label"), u"");
  // Bytes that are not valid code page 932 give the platform's substitutes.
  EXPECT_EQ(shiftJISToWstring("a\x81\x20"
                              "b\xA0\xFF\x80\x81"s,
                              errLog, "label"),
            u"a\u30FBb\uF8F0\uF8F3\u0080\u30FB");
  EXPECT_EQ(shiftJISToWstring("\x81\0x"s, errLog, "label"), u"\u30FB");
  EXPECT_EQ(logged(), "");
}

TEST(WidenMessageTest, DecodesCodePage932Leniently) {
  EXPECT_EQ(widenMessage(""), u"");
  EXPECT_EQ(widenMessage("No such file: \x93\xFA\x96\x7B\xFF"),
            u"No such file: \u65E5\u672C\uF8F3");
}

}  // namespace
}  // namespace pairwick
