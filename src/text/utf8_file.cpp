// The tool's UTF-8 text files: opened binary and truncating, each UTF-16 unit encoded on its own.
#include "text/utf8_file.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <string>

#include "codec/utf8.h"
#include "platform/platform.h"

namespace pairwick {
namespace {

// Units encoded per write: large enough that the file stream passes each piece straight to the
// system, small enough that the reused buffer stays bounded however long the text is (the final
// log is written in chunks of a megabyte).
constexpr std::size_t kUnitsPerWrite = 1 << 16;

}  // namespace

void openUtf8TextFile(std::ofstream& file, const NarrowText& name) {
  std::filesystem::path path;
  try {
    path = platform::pathFromNarrow(name);
  } catch (const std::exception&) {
    // A name that is not valid code page 932 names no file: the stream stays closed and the
    // caller reports the failed open.
    return;
  }
  file.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
}

void writeUtf8(std::ostream& file, std::u16string_view text) {
  // Per-unit encoding has no state between units, so the text can be cut anywhere.
  thread_local std::string bytes;
  while (!text.empty()) {
    const std::u16string_view piece = text.substr(0, std::min(text.size(), kUnitsPerWrite));
    bytes.clear();
    appendUtf8PerUnit(piece, bytes);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    text.remove_prefix(piece.size());
  }
}

}  // namespace pairwick
