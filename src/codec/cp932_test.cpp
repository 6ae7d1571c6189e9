// Tests of the code page 932 converters: the platform's mappings, refusals and lenient decoding.
#include "codec/cp932.h"

#include <gtest/gtest.h>

#include <string>

namespace pairwick {
namespace {

WideText lenient(const std::string& bytes) {
  WideText out;
  appendCp932Lenient(bytes, out);
  return out;
}

// Strict decoding of `bytes`, or the text "<refused>" when it fails.
WideText strict(const std::string& bytes) {
  WideText out;
  return decodeCp932Strict(bytes, out) ? out : u"<refused>";
}

// Every single mapping is checked against the platform's own converter, exhaustively (glibc's on
// POSIX, the system's under Windows); these are the texts around them.
TEST(Cp932Test, DecodingReplacesOrAppendsAsDocumented) {
  WideText out = u"old";
  EXPECT_TRUE(decodeCp932Strict("", out));
  EXPECT_EQ(out, u"");
  EXPECT_EQ(strict("a\x95\x5C\xB1"), u"a\u8868\uFF71");
  EXPECT_EQ(strict("a\x95"), u"<refused>");
  out = u"kept:";
  appendCp932Lenient("\x82\xA0\x82", out);
  EXPECT_EQ(out, u"kept:\u3042\u30FB");
}

TEST(Cp932Test, StrictEncodingOfTexts) {
  NarrowText out;
  EXPECT_TRUE(encodeCp932Strict(u"a\u8868\uFF71", out));
  EXPECT_EQ(out, "a\x95\x5C\xB1");
  EXPECT_FALSE(encodeCp932Strict(u"a\u301C", out));
  EXPECT_FALSE(encodeCp932Strict(u"\U0001F600", out));
  EXPECT_FALSE(encodeCp932Strict(u"\uD55C\uAD6D", out));  // Hangul
  EXPECT_TRUE(encodeCp932Strict(u"", out));
  EXPECT_EQ(out, "");
}

TEST(Cp932Test, ProgramTextWithoutACodePage932FormIsAnError) {
  EXPECT_EQ(cp932(u"表\n"), "\x95\x5C\n");
  EXPECT_THROW(cp932(u"\u301C"), std::logic_error);
}

TEST(Cp932Test, EveryExactMappingRoundTrips) {
  // Every encodable unit decodes back to itself: strictly, but for the four that only lenient
  // decoding gives back.
  int encodable = 0;
  for (int value = 0; value <= 0xFFFF; ++value) {
    const int sequence = encodeCp932Unit(static_cast<char16_t>(value));
    if (sequence < 0) continue;
    ++encodable;
    std::string bytes;
    if (sequence >= 0x100) bytes += static_cast<char>(sequence >> 8);
    bytes += static_cast<char>(sequence & 0xFF);
    const std::u16string unit(1, static_cast<char16_t>(value));
    if (value >= 0xF8F0 && value <= 0xF8F3) {
      ASSERT_EQ(strict(bytes), u"<refused>") << value;
      ASSERT_EQ(lenient(bytes), unit) << value;
    } else {
      ASSERT_EQ(strict(bytes), unit) << value;
    }
  }
  EXPECT_EQ(encodable, 9402);
  // Every strictly decodable sequence encodes to itself or to the preferred duplicate.
  int duplicates = 0;
  for (int first = 0; first < 256; ++first) {
    for (int second = -1; second < 256; ++second) {
      std::string bytes(1, static_cast<char>(first));
      if (second >= 0) {
        if (!isCp932LeadByte(static_cast<unsigned char>(first))) break;
        bytes += static_cast<char>(second);
      }
      WideText decoded;
      if (!decodeCp932Strict(bytes, decoded)) continue;
      ASSERT_EQ(decoded.size(), 1u);
      NarrowText encoded;
      ASSERT_TRUE(encodeCp932Strict(decoded, encoded)) << first << " " << second;
      if (encoded != bytes) {
        ++duplicates;
        ASSERT_EQ(strict(encoded), decoded);
      }
    }
  }
  EXPECT_EQ(duplicates, 398);  // 192 + 9604 decodable sequences, 9398 characters
}

}  // namespace
}  // namespace pairwick
