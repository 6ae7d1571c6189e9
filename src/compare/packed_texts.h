// Many short texts kept one after another in one string, each found by where it ends: one
// allocation for all of them rather than one each, and four bytes of bookkeeping per text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pairwick {

struct PackedTexts {
  std::string bytes;                // the texts, one after another
  std::vector<std::uint32_t> ends;  // where each text ends in `bytes`
};

inline std::size_t textCount(const PackedTexts& texts) { return texts.ends.size(); }

inline std::string_view textAt(const PackedTexts& texts, std::size_t index) {
  const std::size_t start = index == 0 ? 0 : texts.ends[index - 1];
  return std::string_view(texts.bytes).substr(start, texts.ends[index] - start);
}

// Appends `text`; when memory runs out, `texts` is left as it was.
inline void appendText(PackedTexts& texts, std::string_view text) {
  const std::size_t before = texts.bytes.size();
  texts.bytes.append(text);
  try {
    texts.ends.push_back(static_cast<std::uint32_t>(texts.bytes.size()));
  } catch (...) {
    texts.bytes.resize(before);
    throw;
  }
}

}  // namespace pairwick
