// Code page 932 on POSIX through the tool's own tables, and UTF-8 file names.
#include <string>
#include <system_error>

#include "codec/cp932.h"
#include "codec/cp932_utf8.h"
#include "codec/utf8.h"
#include "platform/code_page.h"

namespace pairwick::platform {
namespace {

[[noreturn]] void throwNoMapping() {
  throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence));
}

}  // namespace

bool decodeCp932Lenient(std::string_view bytes, WideText& out) {
  appendCp932Lenient(bytes, out);
  return true;
}

bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written) {
  written = cp932LenientToUtf8(bytes, out);
  return true;
}

NarrowText narrowPath(const std::filesystem::path& path) {
  NarrowText narrow;
  if (!appendNarrowName(path.native(), narrow)) throwNoMapping();
  return narrow;
}

NarrowText narrowPathReplacing(const std::filesystem::path& path) {
  NarrowText narrow = utf8ToCp932Replacing(path.native());
  // No byte of a two-byte character lies below 0x40: a byte 0x01 to 0x1F is a control character.
  for (char& byte : narrow) {
    if (byte >= 0x01 && byte <= 0x1F) byte = '?';
  }
  return narrow;
}

std::filesystem::path pathFromNarrow(std::string_view narrow) {
  if (narrow.empty()) return {};
  WideText wide;
  if (!decodeCp932Strict(narrow, wide)) throwNoMapping();
  return std::filesystem::path(utf16ToUtf8(wide));
}

WideText widePath(const std::filesystem::path& path) { return utf8ToUtf16Lenient(path.native()); }

unsigned ansiCodePage() { return 932; }

NarrowText narrowMessage(const std::exception& failure) {
  // The file-system library quotes paths in their UTF-8 byte form; everything else that can be
  // caught here is already code page 932 (the tool's own messages) or plain ASCII.
  if (dynamic_cast<const std::filesystem::filesystem_error*>(&failure) != nullptr) {
    return utf8ToCp932Replacing(failure.what());
  }
  return failure.what();
}

bool appendNarrowName(std::string_view native, NarrowText& out) {
  return appendUtf8NameAsCp932(native, out);
}

}  // namespace pairwick::platform
