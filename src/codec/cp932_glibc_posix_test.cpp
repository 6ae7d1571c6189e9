// Cross-checks the code page 932 tables against glibc's CP932 iconv converter on every 1- and
// 2-byte sequence and every UTF-16 unit.
#include <iconv.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "codec/cp932.h"

namespace pairwick {
namespace {

class Cp932GlibcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    decoder_ = iconv_open("UTF-16LE", "CP932");
    encoder_ = iconv_open("CP932", "UTF-16LE");
    ASSERT_NE(decoder_, reinterpret_cast<iconv_t>(-1));
    ASSERT_NE(encoder_, reinterpret_cast<iconv_t>(-1));
  }
  void TearDown() override {
    if (decoder_ != reinterpret_cast<iconv_t>(-1)) iconv_close(decoder_);
    if (encoder_ != reinterpret_cast<iconv_t>(-1)) iconv_close(encoder_);
  }

  // glibc's strict decoding of a whole input; false when it refuses or wants more.
  bool glibcDecode(const std::string& bytes, WideText& out) {
    char in[4];
    std::memcpy(in, bytes.data(), bytes.size());
    char buffer[16];
    char* inPtr = in;
    char* outPtr = buffer;
    size_t inLeft = bytes.size();
    size_t outLeft = sizeof buffer;
    iconv(decoder_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(decoder_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      return false;
    }
    out.clear();
    for (size_t k = 0; k + 1 < sizeof buffer - outLeft; k += 2) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(buffer[k]) |
                                          static_cast<unsigned char>(buffer[k + 1]) << 8));
    }
    return inLeft == 0;
  }

  // The platform's strict decoding of one byte: glibc's, with 0x80 as U+0080.
  bool referenceSingle(unsigned char byte, WideText& out) {
    if (byte == 0x80) {
      out = u"\u0080";
      return true;
    }
    return glibcDecode(std::string(1, static_cast<char>(byte)), out);
  }

  // glibc's encoding of one unit, as (lead << 8 | trail) or a single byte; -1 when refused.
  int glibcEncode(char16_t unit) {
    char in[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    char buffer[8];
    char* inPtr = in;
    char* outPtr = buffer;
    size_t inLeft = 2;
    size_t outLeft = sizeof buffer;
    iconv(encoder_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(encoder_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      return -1;
    }
    const size_t produced = sizeof buffer - outLeft;
    if (produced == 1) return static_cast<unsigned char>(buffer[0]);
    EXPECT_EQ(produced, 2u) << "unit " << unit;
    return static_cast<unsigned char>(buffer[0]) << 8 | static_cast<unsigned char>(buffer[1]);
  }

  iconv_t decoder_ = reinterpret_cast<iconv_t>(-1);
  iconv_t encoder_ = reinterpret_cast<iconv_t>(-1);
};

TEST_F(Cp932GlibcTest, StrictDecodingOfEverySingleByteMatches) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string input(1, static_cast<char>(byte));
    WideText expected;
    const bool expectedOk = referenceSingle(static_cast<unsigned char>(byte), expected);
    WideText actual;
    ASSERT_EQ(decodeCp932Strict(input, actual), expectedOk) << "byte " << byte;
    if (expectedOk) {
      ASSERT_EQ(actual, expected) << "byte " << byte;
    }
  }
}

TEST_F(Cp932GlibcTest, StrictDecodingOfEveryTwoByteSequenceMatches) {
  int mapped = 0;
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string input{static_cast<char>(first), static_cast<char>(second)};
      WideText expected;
      bool expectedOk;
      if (isCp932LeadByte(static_cast<unsigned char>(first))) {
        expectedOk = glibcDecode(input, expected);
        mapped += expectedOk;
      } else {
        WideText tail;
        expectedOk = referenceSingle(static_cast<unsigned char>(first), expected) &&
                     referenceSingle(static_cast<unsigned char>(second), tail);
        expected += tail;
      }
      WideText actual;
      ASSERT_EQ(decodeCp932Strict(input, actual), expectedOk) << "bytes " << first << " " << second;
      if (expectedOk) {
        ASSERT_EQ(actual, expected) << "bytes " << first << " " << second;
      }
    }
  }
  // The standard set, the NEC and IBM extensions and the user-defined area.
  EXPECT_EQ(mapped, 9604);
}

TEST_F(Cp932GlibcTest, StrictEncodingOfEveryUnitMatchesExceptBestFits) {
  const std::set<char16_t> bestFitOnly = {0x00A2, 0x00A3, 0x00A5, 0x00AC, 0x2014,
                                          0x2016, 0x203E, 0x2212, 0x301C};
  for (int value = 0; value <= 0xFFFF; ++value) {
    const auto unit = static_cast<char16_t>(value);
    int expected = glibcEncode(unit);
    if (bestFitOnly.count(unit) != 0) {
      ASSERT_NE(expected, -1) << "glibc changed for unit " << value;
      expected = -1;
    } else if (unit == 0x0080) {
      expected = 0x80;
    } else if (unit >= 0xF8F0 && unit <= 0xF8F3) {
      ASSERT_EQ(expected, -1) << "glibc changed for unit " << value;
      expected = unit == 0xF8F0 ? 0xA0 : 0xFD + (unit - 0xF8F1);
    }
    ASSERT_EQ(encodeCp932Unit(unit), expected) << "unit " << value;
  }
}

TEST_F(Cp932GlibcTest, LenientDecodingOfEveryLeadPairFollowsTheSubstitutionRules) {
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!isCp932LeadByte(static_cast<unsigned char>(lead))) continue;
    for (int trail = 0; trail < 256; ++trail) {
      const std::string input{static_cast<char>(lead), static_cast<char>(trail)};
      WideText expected;
      if (!glibcDecode(input, expected)) {
        expected = trail == 0 ? std::u16string(u"\u30FB") + u'\0' : u"\u30FB";
      }
      WideText actual;
      appendCp932Lenient(input, actual);
      ASSERT_EQ(actual, expected) << "bytes " << lead << " " << trail;
    }
  }
}

TEST_F(Cp932GlibcTest, LenientDecodingOfEverySingleByteMatchesOrUsesPrivateUse) {
  for (int byte = 0; byte < 256; ++byte) {
    WideText expected;
    if (isCp932LeadByte(static_cast<unsigned char>(byte))) {
      expected = u"\u30FB";
    } else if (!referenceSingle(static_cast<unsigned char>(byte), expected)) {
      ASSERT_TRUE(byte == 0xA0 || byte >= 0xFD) << "byte " << byte;
      expected =
          std::u16string(1, static_cast<char16_t>(byte == 0xA0 ? 0xF8F0 : 0xF8F1 + byte - 0xFD));
    }
    WideText actual;
    appendCp932Lenient(std::string(1, static_cast<char>(byte)), actual);
    ASSERT_EQ(actual, expected) << "byte " << byte;
  }
}

}  // namespace
}  // namespace pairwick
