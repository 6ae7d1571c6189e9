// Code page 932 conversions that give exactly the target platform's results, on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick {

// True for the bytes that begin a two-byte character: 0x81-0x9F and 0xE0-0xFC.
inline bool isCp932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Length of the run of ASCII bytes (below 0x80, which every conversion keeps as they are) that
// starts at bytes[from]. Most of a log or a path is ASCII, so the run is measured eight bytes at a
// time.
inline std::size_t asciiRunLength(std::string_view bytes, std::size_t from) {
  std::size_t i = from;
  while (i + 8 <= bytes.size()) {
    std::uint64_t block;
    std::memcpy(&block, bytes.data() + i, 8);
    if ((block & 0x8080808080808080u) != 0) break;
    i += 8;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i - from;
}

// Whether the text's last character is whole, so that decoding it together with any text after
// it gives what decoding the two apart gives: false when it ends in a lead byte standing alone,
// which would make one character with the next text's first byte.
bool endsWithWholeCp932Character(std::string_view bytes);

// Lenient decoding, as MultiByteToWideChar(932, 0, ...) with an explicit length: never fails.
// A lead byte followed by any byte but 0x00 is one unit (U+30FB when it has no mapping); a lead
// byte followed by 0x00 or by the end of the input is U+30FB on its own; 0xA0 and 0xFD-0xFF give
// U+F8F0-U+F8F3; 0x80 gives U+0080; a 0x00 byte gives U+0000. Appends to `out`.
void appendCp932Lenient(std::string_view bytes, WideText& out);

// Strict decoding, as MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, ...): false when any byte
// sequence has no exact mapping (0xA0, 0xFD-0xFF, an unmapped or incomplete two-byte unit).
// 0x00 decodes to U+0000. `out` is replaced; it is unspecified after a failure.
bool decodeCp932Strict(std::string_view bytes, WideText& out);

// Strict encoding of one UTF-16 unit, as WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, ...):
// the single byte (0x00-0xFF) or the two bytes as (lead << 8 | trail), or -1 when the unit has
// no exact mapping (best-fit-only characters and surrogates included).
int encodeCp932Unit(char16_t unit);

// Strict encoding of a whole text: false when any unit has no exact mapping. `out` is replaced;
// it is unspecified after a failure.
bool encodeCp932Strict(std::u16string_view text, NarrowText& out);

// The code page 932 form of one of the program's own texts, all of which are representable.
NarrowText cp932(std::u16string_view text);

}  // namespace pairwick
