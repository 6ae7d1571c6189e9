// Code page 932 and the narrow and wide forms of paths and messages, with the same meaning on
// POSIX (code_page_posix.cpp, the tool's own tables) and Windows (code_page_win32.cpp, the
// system's converters).
#pragma once

#include <cstddef>
#include <exception>
#include <filesystem>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick::platform {

// MultiByteToWideChar(932, 0, ...) over exactly `bytes` (0x00 bytes included, each U+0000):
// appends the lenient conversion to `out`. False only when the converter cannot be used at all.
bool decodeCp932Lenient(std::string_view bytes, WideText& out);

// The lenient decoding of decodeCp932Lenient with every resulting UTF-16 unit encoded on its own
// as UTF-8 (1 to 3 bytes, as the UTF-8 text files are written): the final log's conversion, in
// one pass. Writes into `out`, which has room for three bytes per byte of `bytes`, and sets
// `written` to the number of bytes written. False only when the converter cannot be used at all.
bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written);

// The narrow code page that narrowPath and pathFromNarrow convert through: the system's ANSI code
// page on Windows (932 in the Japanese setting the tool is made for, another one elsewhere or with
// the system-wide UTF-8 option); code page 932, always, on POSIX.
unsigned ansiCodePage();

// Narrow form of a path: its native form converted strictly to the narrow code page (932).
// Throws std::system_error when a character has no exact mapping. A C0 control character (U+0001
// to U+001F) has none: no Windows name holds one, and a line-based report cannot carry it.
NarrowText narrowPath(const std::filesystem::path& path);

// The narrow form of a path for a message: as narrowPath, with each character that has no exact
// mapping (and each byte that is no character) written as '?'. Never fails.
NarrowText narrowPathReplacing(const std::filesystem::path& path);

// Path from narrow text: the bytes decoded strictly from the narrow code page (932), 0x00 bytes
// included. Throws std::system_error when a byte sequence is not valid code page 932.
std::filesystem::path pathFromNarrow(std::string_view narrow);

// The path's native form as UTF-16, for display only: never fails.
WideText widePath(const std::filesystem::path& path);

// The narrow (code page 932) message text of a caught failure. Messages that the platform's
// file-system library composes with paths in another encoding are recoded first.
NarrowText narrowMessage(const std::exception& failure);

// Appends the narrow form of a piece of a native path (a name, or names joined by the native
// separator or by 0 units, each of which gives one 0x00 byte) to `out`, converted as narrowPath
// converts. False, with `out` unspecified past its previous length, when a character has no
// exact mapping.
bool appendNarrowName(std::basic_string_view<std::filesystem::path::value_type> native,
                      NarrowText& out);

}  // namespace pairwick::platform
