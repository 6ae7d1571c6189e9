// Tests of the report's file name: its fields, their padding and the clock it is read from.
#include "compare/result_file_name.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.h"

namespace pairwick {
namespace {

std::tm makeTm(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  return local;
}

TEST(ResultFileNameTest, FieldsAreZeroFilledToTwoDigits) {
  EXPECT_EQ(formatResultFileName("pairwick", makeTm(2025, 1, 7, 9, 5, 3)),
            "pairwick_20250107_090503.txt");
  EXPECT_EQ(formatResultFileName("pairwick", makeTm(2025, 1, 1, 0, 0, 0)),
            "pairwick_20250101_000000.txt");
  EXPECT_EQ(formatResultFileName("pairwick", makeTm(2025, 12, 31, 23, 59, 59)),
            "pairwick_20251231_235959.txt");
}

TEST(ResultFileNameTest, YearTakesExactlyTheDigitsItNeeds) {
  EXPECT_EQ(formatResultFileName("pairwick", makeTm(10000, 3, 4, 5, 6, 7)),
            "pairwick_100000304_050607.txt");
  EXPECT_EQ(formatResultFileName("pairwick", makeTm(999, 10, 11, 12, 13, 14)),
            "pairwick_9991011_121314.txt");
}

TEST(ResultFileNameTest, PrefixIsKeptByteForByte) {
  EXPECT_EQ(formatResultFileName("\x95\x5C", makeTm(2025, 6, 15, 18, 30, 45)),
            "\x95\x5C_20250615_183045.txt");
}

TEST(ResultFileNameTest, NameIsTheLocalTimeOfTheCall) {
  const std::int64_t before = platform::currentTime();
  const NarrowText name = makeResultFileName("pairwick");
  const std::int64_t after = platform::currentTime();
  bool matched = false;
  for (std::int64_t t = before; t <= after && !matched; ++t) {
    matched = name == formatResultFileName("pairwick", platform::localTime(t));
  }
  EXPECT_TRUE(matched) << name;
}

}  // namespace
}  // namespace pairwick
