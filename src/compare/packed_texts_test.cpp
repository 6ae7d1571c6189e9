// Texts packed into one string come back as they went in, empty ones and 0x00 bytes included.
#include "compare/packed_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pairwick {
namespace {

TEST(PackedTextsTest, EachTextComesBackWhole) {
  const std::vector<std::string> texts = {"", "ab", "", std::string("c\0d", 3), "/", ""};
  PackedTexts packed;
  for (const std::string& text : texts) appendText(packed, text);
  ASSERT_EQ(textCount(packed), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(textAt(packed, i), texts[i]) << i;
  EXPECT_EQ(packed.bytes, std::string("abc\0d/", 6));
}

}  // namespace
}  // namespace pairwick
