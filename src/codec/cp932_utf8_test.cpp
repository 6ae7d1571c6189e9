// The direct conversion of code page 932 to UTF-8 against known bytes and against the two
// conversions it fuses.
#include "codec/cp932_utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"

namespace pairwick {
namespace {

std::string onePass(std::string_view bytes) {
  std::string out(bytes.size() * 3, '\0');
  out.resize(cp932LenientToUtf8(bytes, out.data()));
  return out;
}

// The lenient decoding followed by the UTF-8 encoding that the console and standard error use.
std::string twoPasses(std::string_view bytes) {
  WideText wide;
  appendCp932Lenient(bytes, wide);
  return utf16ToUtf8(wide);
}

TEST(Cp932Utf8Test, OnePassUtf8GivesTheLenientDecodingsUtf8) {
  // What a Windows system makes of each: characters, a half-width one, the bytes that have no
  // character, and a lead byte at the end, before 0x00 and before an invalid or unmapped trail.
  struct Case {
    std::string bytes;
    std::string utf8;
    bool last;  // only at the end of the text
  };
  const std::vector<Case> cases = {
      {"\x82\xA0\x81\x60", "\xE3\x81\x82\xEF\xBD\x9E", false},  // あ～
      {"\xB1", "\xEF\xBD\xB1", false},                          // ｱ
      {"\x80", "\xC2\x80", false},
      {"\xA0\xFD\xFE\xFF", "\xEF\xA3\xB0\xEF\xA3\xB1\xEF\xA3\xB2\xEF\xA3\xB3", false},
      {"\x82", "\xE3\x83\xBB", true},  // ・ for a lead byte without its trail
      {std::string("\x82\0", 2), std::string("\xE3\x83\xBB\0", 4), false},
      {"\x82\x20", "\xE3\x83\xBB", false},  // one ・ for both bytes
      {"\x85\x40", "\xE3\x83\xBB", false},  // a pair without a character
  };
  // Each after 0 to 9 ASCII bytes and before 9 more, so that it falls anywhere in the eight-byte
  // blocks that ASCII is copied in.
  for (const Case& c : cases) {
    for (std::size_t before = 0; before <= 9; ++before) {
      const std::string head(before, 'a');
      const std::string tail = c.last ? "" : "bcdefghij";
      EXPECT_EQ(onePass(head + c.bytes + tail), head + c.utf8 + tail)
          << ::testing::PrintToString(c.bytes) << " after " << before;
    }
  }
  // Every single byte and every pair, alone and after ASCII, and a lead byte at the very end.
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

TEST(Cp932Utf8Test, NamesConvertStrictlyAndWithoutControlCharacters) {
  struct Case {
    std::string utf8;
    std::string cp932;  // "<refused>" when the name has no code page 932 form
  };
  const std::vector<Case> cases = {
      {"a b/c.txt\x7F", "a b/c.txt\x7F"},
      {"\xE8\xA1\xA8\xE3\x82\xBD", "\x95\x5C\x83\x5C"},  // 表ソ
      {"\xEF\xBD\xB1\xEF\xBD\x9E", "\xB1\x81\x60"},      // ｱ～
      {"caf\xC3\xA9", "<refused>"},                      // best fit only
      {"\xE3\x80\x9C", "<refused>"},                     // the wave dash
      {"a\xF0\x9F\x98\x80", "<refused>"},                // beyond U+FFFF
      {"\xF0\x93\x81\x82", "<refused>"},                 // U+13042, which is not U+3042 (あ)
      {"\xE8\xA1", "<refused>"},                         // cut short
      {"\xC0\xAF", "<refused>"},                         // overlong
      {"a\tb", "<refused>"},
      {"a\x1F", "<refused>"},
  };
  for (const Case& c : cases) {
    NarrowText out = "x";
    const bool converted = appendUtf8NameAsCp932(c.utf8, out);
    EXPECT_EQ(converted ? out.substr(1) : "<refused>", c.cp932) << c.utf8;
    EXPECT_EQ(out.front(), 'x') << "what was there before is kept";
  }
}

}  // namespace
}  // namespace pairwick
