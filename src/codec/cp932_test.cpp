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

TEST(Cp932Test, DecodesThePlatformsMappings) {
  EXPECT_EQ(strict("\x82\xA0"), u"\u3042");                  // あ
  EXPECT_EQ(strict("\x95\x5C"), u"\u8868");                  // 表: trail byte 0x5C
  EXPECT_EQ(strict("\x83\x5C"), u"\u30BD");                  // ソ
  EXPECT_EQ(strict("\\~"), u"\\~");                          // no yen sign, no overline
  EXPECT_EQ(strict("\x81\x60"), u"\uFF5E");                  // ～, not the wave dash
  EXPECT_EQ(strict("\x81\x5F"), u"\uFF3C");                  // ＼
  EXPECT_EQ(strict("\x81\x61"), u"\u2225");                  // ∥
  EXPECT_EQ(strict("\x81\x7C"), u"\uFF0D");                  // －
  EXPECT_EQ(strict("\xA1\xB1\xDF"), u"\uFF61\uFF71\uFF9F");  // half-width katakana
  EXPECT_EQ(strict("\x80"), u"\u0080");
  EXPECT_EQ(strict(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(strict("\x87\x40\xED\x40\xFA\x40"), u"\u2460\u7E8A\u2170");  // NEC and IBM rows
  EXPECT_EQ(strict("\xF0\x40\xF9\xFC"), u"\uE000\uE757");                // user-defined area
  EXPECT_EQ(strict("\x1A\x1C\x7F"), u"\u001A\u001C\u007F");
}

TEST(Cp932Test, StrictDecodingRefusesWhatHasNoExactMapping) {
  for (const char* bytes :
       {"\xA0", "\xFD", "\xFE", "\xFF", "a\x82", "\x85\x40", "\x82\x20", "\x82\x7F", "\x82\xFD"}) {
    EXPECT_EQ(strict(bytes), u"<refused>") << bytes;
  }
  EXPECT_EQ(strict(std::string("\x82\0", 2)), u"<refused>");
  WideText out = u"old";
  EXPECT_TRUE(decodeCp932Strict("", out));
  EXPECT_EQ(out, u"");
}

TEST(Cp932Test, LenientDecodingSubstitutesLikeThePlatform) {
  EXPECT_EQ(lenient("a\x82"), u"a\u30FB");  // lead at the end
  EXPECT_EQ(lenient(std::string("\x82\0b", 3)), std::u16string(u"\u30FB\0b", 3));
  EXPECT_EQ(lenient("\x85\x40z"), u"\u30FBz");          // unmapped pair: one unit
  EXPECT_EQ(lenient("\x82\x20z"), u"\u30FBz");          // invalid trail eaten
  EXPECT_EQ(lenient("\x82\x82\xA0"), u"\uFF42\uF8F0");  // a lead byte as trail
  EXPECT_EQ(lenient("\x85\x85\xA0"), u"\u30FB\uF8F0");
  EXPECT_EQ(lenient("\xA0\xFD\xFE\xFF"), u"\uF8F0\uF8F1\uF8F2\uF8F3");
  EXPECT_EQ(lenient("\x80\x95\x5C\\"), u"\u0080\u8868\\");
  WideText out = u"kept:";
  appendCp932Lenient("\x82\xA0", out);
  EXPECT_EQ(out, u"kept:\u3042");
}

TEST(Cp932Test, EncodesExactMappingsAndRefusesBestFits) {
  EXPECT_EQ(encodeCp932Unit(u'\u3042'), 0x82A0);
  EXPECT_EQ(encodeCp932Unit(u'\u8868'), 0x955C);
  EXPECT_EQ(encodeCp932Unit(u'\\'), 0x5C);
  EXPECT_EQ(encodeCp932Unit(u'\u0080'), 0x80);
  EXPECT_EQ(encodeCp932Unit(u'\0'), 0x00);
  EXPECT_EQ(encodeCp932Unit(u'\uFF5E'), 0x8160);
  EXPECT_EQ(encodeCp932Unit(u'\uFF71'), 0xB1);
  EXPECT_EQ(encodeCp932Unit(u'\uE000'), 0xF040);
  for (const char16_t unit :
       {u'\u00A2', u'\u00A3', u'\u00A5', u'\u00AC', u'\u2014', u'\u2016', u'\u203E', u'\u2212',
        u'\u301C', u'\u00E9', u'\uAC00', char16_t{0xD83D}, char16_t{0xDE00}, u'\uFFFD'}) {
    EXPECT_EQ(encodeCp932Unit(unit), -1) << static_cast<int>(unit);
  }
  EXPECT_EQ(encodeCp932Unit(u'\u30FB'), 0x8145);
  // What 0xA0 and 0xFD-0xFF decode to leniently encodes back, although strict decoding refuses
  // those bytes.
  EXPECT_EQ(encodeCp932Unit(u'\uF8F0'), 0xA0);
  EXPECT_EQ(encodeCp932Unit(u'\uF8F3'), 0xFF);
}

TEST(Cp932Test, DuplicatedCharactersTakeThePlatformsSequence) {
  EXPECT_EQ(encodeCp932Unit(u'\u2252'), 0x81E0);  // ≒: not the NEC row 0x8790
  EXPECT_EQ(encodeCp932Unit(u'\u2235'), 0x81E6);  // ∵: not 0x879A or 0xFA5B
  EXPECT_EQ(encodeCp932Unit(u'\uFFE2'), 0x81CA);  // ￢: not 0xEEF9 or 0xFA54
  EXPECT_EQ(encodeCp932Unit(u'\u2160'), 0x8754);  // Ⅰ: NEC row, not 0xFA4A
  EXPECT_EQ(encodeCp932Unit(u'\u2170'), 0xFA40);  // ⅰ: IBM row, not 0xEEEF
  EXPECT_EQ(encodeCp932Unit(u'\u7E8A'), 0xFA5C);  // 纊: IBM row, not 0xED40
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

TEST(Cp932Test, ProgramTextsHaveTheirCodePage932Form) {
  EXPECT_EQ(cp932(u"設定ファイルを開きました: "),
            "\x90\xDD\x92\xE8\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8A\x4A\x82\xAB\x82\xDC"
            "\x82\xB5\x82\xBD: ");
  EXPECT_EQ(cp932(u"[一致するサブフォルダ/ファイル]\n").back(), '\n');
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
