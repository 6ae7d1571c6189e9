// Fuzz target: the UTF-8 text files as the tool writes them, per-unit UTF-8 into a plain file
// opened to be replaced. Whatever UTF-16 units are written, in whatever pieces, the file holds
// EF BB BF and then each unit encoded on its own in one to three bytes, and decoding those bytes
// back gives the units.
#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/utf8.h"
#include "fuzz_support.h"
#include "platform/files.h"

namespace {

using pairwick::WideText;

// The units decoded back from per-unit UTF-8; false on any malformed sequence.
bool decodePerUnit(const std::string& bytes, WideText& units) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = lead < 0x80             ? 1
                         : (lead & 0xE0) == 0xC0 ? 2
                         : (lead & 0xF0) == 0xE0 ? 3
                                                 : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    unsigned value = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = value << 6 | (next & 0x3F);
    }
    // The shortest form only: one byte below 0x80, two below 0x800.
    if ((length == 2 && value < 0x80) || (length == 3 && value < 0x800)) return false;
    units.push_back(static_cast<char16_t>(value));
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pairwick::fuzz;
  static const std::string name = scratchDirectory() + "/report.txt";
  const WideText text = unitsOf(data, size);
  const std::size_t cut = size == 0 ? 0 : data[size - 1] % (text.size() + 1);

  // Something longer is there first: opening must truncate it.
  writeFile(name, std::string(3 * text.size() + 16, 'x'));
  pairwick::platform::FileHandle file;
  PAIRWICK_FUZZ_CHECK(
      pairwick::platform::openPlainFile(name, pairwick::platform::FileMode::replace, file) ==
          pairwick::platform::OpenResult::opened,
      name);
  bool written = true;
  for (const std::u16string_view piece :
       {std::u16string_view(u"\uFEFF"), std::u16string_view(text).substr(0, cut),
        std::u16string_view(text).substr(cut)}) {
    std::string bytes;
    pairwick::appendUtf8PerUnit(piece, bytes);
    written = pairwick::platform::writeFile(file, bytes) && written;
  }
  PAIRWICK_FUZZ_CHECK(pairwick::platform::closeFile(file) && written, name);

  const std::string bytes = readFile(name);
  std::size_t expectedSize = 3;
  for (const char16_t unit : text) expectedSize += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
  PAIRWICK_FUZZ_CHECK(bytes.size() == expectedSize,
                      "units: " + hex(text) + "\nfile: " + hex(bytes));
  PAIRWICK_FUZZ_CHECK(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0, "file: " + hex(bytes));
  WideText back;
  PAIRWICK_FUZZ_CHECK(decodePerUnit(bytes.substr(3), back) && back == text,
                      "units: " + hex(text) + "\nfile: " + hex(bytes) + "\nback: " + hex(back));
  return 0;
}
