// Tests of the UTF-8 conversions: per-unit file encoding, proper UTF-8, decoding and recoding.
#include "codec/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace pairwick {
namespace {

std::string perUnit(std::u16string_view text) {
  std::string out;
  appendUtf8PerUnit(text, out);
  return out;
}

// Strict decoding, or "<refused>" when it fails.
WideText strict(const std::string& bytes) {
  WideText out;
  return utf8ToUtf16Strict(bytes, out) ? out : u"<refused>";
}

TEST(Utf8Test, PerUnitEncodingWritesEachUnitOnItsOwn) {
  EXPECT_EQ(perUnit(u"\uFEFF"), "\xEF\xBB\xBF");
  EXPECT_EQ(perUnit(u"\u3042\n"), "\xE3\x81\x82\n");
  EXPECT_EQ(perUnit(std::u16string(u"a\0\u007F\u0080\u07FF\u0800\uFFFF", 7)),
            std::string("a\0\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", 13));
  // A surrogate pair stays two three-byte units, as the file format writes them.
  EXPECT_EQ(perUnit(u"\U0001F600"), "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(perUnit(u"\xDC00"), "\xED\xB0\x80");
  std::string out = "x";
  appendUtf8PerUnit(u"y", out);
  EXPECT_EQ(out, "xy");
}

TEST(Utf8Test, ProperEncodingJoinsPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(utf16ToUtf8(u"a\u3042\U0001F600"), "a\xE3\x81\x82\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16ToUtf8(u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(utf16ToUtf8(u"\xD83D"
                        u"a"),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(utf16ToUtf8(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf16ToUtf8(std::u16string(u"\0", 1)), std::string(1, '\0'));
  std::string out = "x";
  appendUtf8(u"\u00E9\U0001F600\xDC00", out);
  EXPECT_EQ(out, "x\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

TEST(Utf8Test, StrictDecodingAcceptsOnlyWellFormedText) {
  EXPECT_EQ(strict("a\xE3\x81\x82\xC2\x80\xF0\x9F\x98\x80"), u"a\u3042\u0080\U0001F600");
  EXPECT_EQ(strict("\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80"), u"\U0010FFFF\uD7FF\uE000");
  EXPECT_EQ(strict(std::string("\0", 1)), std::u16string(u"\0", 1));
  for (const char* bytes :
       {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE3\x81",
        "\xE3\x81"
        "a",
        "\x80", "\xBF", "\xFE", "\xFF", "a\xF0\x9F\x98"}) {
    EXPECT_EQ(strict(bytes), u"<refused>") << bytes;
  }
}

TEST(Utf8Test, LenientDecodingReplacesEachInvalidByte) {
  EXPECT_EQ(utf8ToUtf16Lenient("a\xE3\x81\x82"), u"a\u3042");
  EXPECT_EQ(utf8ToUtf16Lenient("\xE3\x81"
                               "a"),
            u"\uFFFD\uFFFD"
            u"a");
  EXPECT_EQ(utf8ToUtf16Lenient("\xC0\xAF\xFF"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(utf8ToUtf16Lenient("\xED\xA0\x80z"), u"\uFFFD\uFFFD\uFFFDz");
  EXPECT_EQ(utf8ToUtf16Lenient("\x80\xF0\x9F\x98\x80"), u"\uFFFD\U0001F600");
  EXPECT_EQ(utf8ToUtf16Lenient(""), u"");
}

TEST(Utf8Test, RecodingToCodePage932ReplacesWhatItCannotMap) {
  EXPECT_EQ(utf8ToCp932Replacing("abc/\xE8\xA1\xA8.txt"), "abc/\x95\x5C.txt");  // 表
  EXPECT_EQ(utf8ToCp932Replacing("\xE3\x81\x82\xEF\xBD\xB1"), "\x82\xA0\xB1");  // あ ｱ
  EXPECT_EQ(utf8ToCp932Replacing("\xC3\xA9|\xED\x95\x9C|\xF0\x9F\x98\x80|\xE3\x80\x9C"),
            "?|?|?|?");  // é, Hangul, an emoji (one '?'), the wave dash
  EXPECT_EQ(utf8ToCp932Replacing("\xC2\xA5"), "?");  // ¥ must not become the separator
  EXPECT_EQ(utf8ToCp932Replacing("a\xFF\xE3\x81z"), "a???z");
  EXPECT_EQ(utf8ToCp932Replacing(""), "");
}

}  // namespace
}  // namespace pairwick
