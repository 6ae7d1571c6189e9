// Tests of separator normalisation over code page 932 relative paths.
#include "codec/separators.h"

#include <gtest/gtest.h>

namespace pairwick {
namespace {

NarrowText normalised(NarrowText text, char nativeSeparator) {
  normaliseSeparators(text, nativeSeparator);
  return text;
}

TEST(SeparatorsTest, BackslashSeparatorsBecomeSlashes) {
  EXPECT_EQ(normalised("sub\\dir\\a.txt", '\\'), "sub/dir/a.txt");
  EXPECT_EQ(normalised("a.txt", '\\'), "a.txt");
  EXPECT_EQ(normalised("", '\\'), "");
  EXPECT_EQ(normalised("\\\\", '\\'), "//");
}

TEST(SeparatorsTest, SecondByteOfTwoByteCharacterIsKept) {
  // 表 is 95 5C and ソ is 83 5C: their 0x5C is no separator.
  EXPECT_EQ(normalised("\x95\x5C\\\x83\x5C.txt", '\\'), "\x95\x5C/\x83\x5C.txt");
  // A two-byte character whose second byte is a lead-byte value: the 5C after it is a separator.
  EXPECT_EQ(normalised("\x81\x81\\x", '\\'), "\x81\x81/x");
  // 0x815C (―) followed by a real separator.
  EXPECT_EQ(normalised("\x81\x5C\x5C"
                       "b",
                       '\\'),
            "\x81\x5C/b");
  // Half-width katakana (0xA1-0xDF) are single bytes, so the separator after them is replaced.
  EXPECT_EQ(normalised("\xB1\\\xDF\\x", '\\'), "\xB1/\xDF/x");
  // A lead byte at the very end owns no byte and must not run past the text.
  EXPECT_EQ(normalised("a\\\xE0", '\\'), "a/\xE0");
  EXPECT_EQ(normalised("\xFC\x5C\\\xE0\x5C", '\\'), "\xFC\x5C/\xE0\x5C");
}

}  // namespace
}  // namespace pairwick
