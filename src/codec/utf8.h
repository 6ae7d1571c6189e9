// UTF-8 forms of UTF-16 text, for the output files, the POSIX console and POSIX file names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick {

// Encodes every UTF-16 unit on its own (1 to 3 bytes), surrogates included: the encoding of the
// tool's UTF-8 text files. Appends to `out`.
void appendUtf8PerUnit(std::u16string_view text, std::string& out);

// Proper UTF-8: a surrogate pair becomes one four-byte sequence, a lone surrogate U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

// The proper UTF-8 of `text`, as utf16ToUtf8 makes it, appended to `out`.
void appendUtf8(std::u16string_view text, std::string& out);

// Decodes the one well-formed UTF-8 sequence at bytes[i] into `value`: its length, or 0 when the
// bytes there do not begin one (invalid, overlong, truncated, a surrogate or beyond U+10FFFF).
std::size_t decodeUtf8Char(std::string_view bytes, std::size_t i, char32_t& value);

// Strict UTF-8 decoding: false on any invalid, overlong or truncated sequence, an encoded
// surrogate or a value above U+10FFFF. Characters above U+FFFF become surrogate pairs.
bool utf8ToUtf16Strict(std::string_view bytes, WideText& out);

// Lenient UTF-8 decoding for display: each invalid byte becomes U+FFFD.
WideText utf8ToUtf16Lenient(std::string_view bytes);

// UTF-8 text recoded to code page 932, each character without an exact mapping (and each invalid
// byte) written as '?'. Used for messages that the POSIX file-system library composes.
NarrowText utf8ToCp932Replacing(std::string_view bytes);

}  // namespace pairwick
