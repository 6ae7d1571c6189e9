// Fuzz target: separator normalisation. No byte after a lead byte ever changes, only separator
// bytes that stand as characters become '/', and the text decodes to the same characters, with
// each backslash character now a '/'. With '/' as the native separator nothing changes at all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/cp932.h"
#include "codec/separators.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using pairwick::fuzz::hex;
  const std::string original(reinterpret_cast<const char*>(data), size);

  std::string posix = original;
  pairwick::normaliseSeparators(posix, '/');
  PAIRWICK_FUZZ_CHECK(posix == original, "'/' separator changed: " + hex(original));

  std::string windows = original;
  pairwick::normaliseSeparators(windows, '\\');
  PAIRWICK_FUZZ_CHECK(windows.size() == original.size(), "length changed: " + hex(original));

  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(original[i]);
    if (pairwick::fuzz::isLeadByte(byte) && i + 1 < size) {
      PAIRWICK_FUZZ_CHECK(windows[i] == original[i] && windows[i + 1] == original[i + 1],
                          "a two-byte character changed at " + std::to_string(i) + ": " +
                              hex(original) + "-> " + hex(windows));
      ++i;
    } else if (byte == '\\') {
      PAIRWICK_FUZZ_CHECK(windows[i] == '/', "separator kept at " + std::to_string(i) + ": " +
                                                 hex(original) + "-> " + hex(windows));
    } else {
      PAIRWICK_FUZZ_CHECK(windows[i] == original[i], "byte changed at " + std::to_string(i) + ": " +
                                                         hex(original) + "-> " + hex(windows));
    }
  }

  // Decoded, the text is the same sequence of characters, each backslash character a '/'.
  pairwick::WideText before;
  pairwick::WideText after;
  pairwick::appendCp932Lenient(original, before);
  pairwick::appendCp932Lenient(windows, after);
  for (char16_t& unit : before) {
    if (unit == u'\\') unit = u'/';
  }
  PAIRWICK_FUZZ_CHECK(before.size() == after.size() && before == after,
                      hex(original) + "-> " + hex(windows));
  return 0;
}
