// Cross-checks the portable code page 932 converter against the system's own code page 932
// (MultiByteToWideChar and WideCharToMultiByte) on every 1- and 2-byte sequence and every UTF-16
// unit, so that both builds turn the same bytes into the same text.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec/cp932.h"

namespace pairwick {
namespace {

constexpr UINT kCodePage = 932;
constexpr std::size_t kShownDisagreements = 40;

std::string hexBytes(const std::string& bytes) {
  std::string text;
  char piece[4];
  for (const char byte : bytes) {
    std::snprintf(piece, sizeof piece, "%02X", static_cast<unsigned char>(byte));
    if (!text.empty()) text += ' ';
    text += piece;
  }
  return text;
}

std::string hexUnits(const WideText& units) {
  std::string text;
  char piece[8];
  for (const char16_t unit : units) {
    std::snprintf(piece, sizeof piece, "U+%04X", static_cast<unsigned>(unit));
    if (!text.empty()) text += ' ';
    text += piece;
  }
  return text.empty() ? "(nothing)" : text;
}

// Every sequence of one byte, then every sequence of two.
std::vector<std::string> allShortSequences() {
  std::vector<std::string> sequences;
  sequences.reserve(256 + 65536);
  for (unsigned byte = 0; byte < 256; ++byte) sequences.emplace_back(1, static_cast<char>(byte));
  for (unsigned pair = 0; pair < 65536; ++pair) {
    sequences.push_back({static_cast<char>(pair >> 8), static_cast<char>(pair & 0xFF)});
  }
  return sequences;
}

// The system's decoding of `bytes`; false when it reports failure.
bool systemDecode(const std::string& bytes, DWORD flags, WideText& out) {
  wchar_t buffer[8];
  const int size = MultiByteToWideChar(kCodePage, flags, bytes.data(),
                                       static_cast<int>(bytes.size()), buffer, 8);
  if (size <= 0) return false;
  out.assign(reinterpret_cast<const char16_t*>(buffer), static_cast<std::size_t>(size));
  return true;
}

// The first disagreements, one a line, and their number.
std::string summary(const std::vector<std::string>& disagreements) {
  std::string text = std::to_string(disagreements.size()) + " disagreements\n";
  for (std::size_t i = 0; i < disagreements.size() && i < kShownDisagreements; ++i) {
    text += disagreements[i] + "\n";
  }
  return text;
}

TEST(Cp932PlatformTest, LenientDecodingMatchesTheSystemOnEveryShortSequence) {
  std::vector<std::string> disagreements;
  for (const std::string& bytes : allShortSequences()) {
    WideText expected;
    if (!systemDecode(bytes, 0, expected)) {
      disagreements.push_back(hexBytes(bytes) + ": the system failed");
      continue;
    }
    WideText actual;
    appendCp932Lenient(bytes, actual);
    if (actual != expected) {
      disagreements.push_back(hexBytes(bytes) + ": system " + hexUnits(expected) + ", portable " +
                              hexUnits(actual));
    }
  }
  EXPECT_TRUE(disagreements.empty()) << summary(disagreements);
}

TEST(Cp932PlatformTest, StrictDecodingMatchesTheSystemOnEveryShortSequence) {
  std::vector<std::string> disagreements;
  for (const std::string& bytes : allShortSequences()) {
    WideText expected;
    const bool systemAccepts = systemDecode(bytes, MB_ERR_INVALID_CHARS, expected);
    WideText actual;
    const bool portableAccepts = decodeCp932Strict(bytes, actual);
    if (systemAccepts != portableAccepts) {
      disagreements.push_back(hexBytes(bytes) + ": system " +
                              (systemAccepts ? hexUnits(expected) : "refuses") + ", portable " +
                              (portableAccepts ? hexUnits(actual) : "refuses"));
    } else if (systemAccepts && actual != expected) {
      disagreements.push_back(hexBytes(bytes) + ": system " + hexUnits(expected) + ", portable " +
                              hexUnits(actual));
    }
  }
  EXPECT_TRUE(disagreements.empty()) << summary(disagreements);
}

TEST(Cp932PlatformTest, StrictEncodingMatchesTheSystemOnEveryUnit) {
  std::vector<std::string> disagreements;
  for (unsigned value = 0; value < 0x10000; ++value) {
    const wchar_t unit = static_cast<wchar_t>(value);
    char buffer[4];
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, &unit, 1, buffer,
                                         sizeof buffer, nullptr, &usedDefault);
    int expected = -1;
    if (size == 1 && !usedDefault) expected = static_cast<unsigned char>(buffer[0]);
    if (size == 2 && !usedDefault) {
      expected = static_cast<unsigned char>(buffer[0]) << 8 | static_cast<unsigned char>(buffer[1]);
    }
    const int actual = encodeCp932Unit(static_cast<char16_t>(value));
    if (actual != expected) {
      char line[96];
      std::snprintf(line, sizeof line, "U+%04X: system %X, portable %X", value,
                    static_cast<unsigned>(expected), static_cast<unsigned>(actual));
      disagreements.push_back(line);
    }
  }
  EXPECT_TRUE(disagreements.empty()) << "(FFFFFFFF: no exact mapping)\n" << summary(disagreements);
}

}  // namespace
}  // namespace pairwick
