// Code page 932 and UTF-8 converted into each other directly, without UTF-16 text in between:
// the final log and the console in one direction, POSIX file names in the other.
#pragma once

#include <cstddef>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick {

// The lenient decoding of appendCp932Lenient with every resulting UTF-16 unit encoded on its own
// as UTF-8 (1 to 3 bytes, as appendUtf8PerUnit writes them), in one pass. Writes into `out`,
// which has room for three bytes per byte of `bytes`, and returns the number of bytes written.
std::size_t cp932LenientToUtf8(std::string_view bytes, char* out);

// Appends the strict code page 932 form of the UTF-8 name `utf8` (a name, or names joined by
// '/') to `out`, as utf8ToUtf16Strict and encodeCp932Strict would make it together. False, with
// `out` unspecified past its previous length, when a character has no exact mapping; a C0 control
// character (U+0001 to U+001F) has none: no Windows name holds one, and a line-based report
// cannot carry it.
bool appendUtf8NameAsCp932(std::string_view utf8, NarrowText& out);

}  // namespace pairwick
