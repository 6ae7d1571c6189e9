// Fuzz target: shiftJISToWstring on arbitrary bytes. Each two-byte unit is checked against glibc's
// CP932 converter, the unit count against the lead-byte rules, and decoding in pieces against
// decoding at once (the log finalisation converts the log chunk by chunk).

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "codec/cp932.h"
#include "fuzz_support.h"
#include "text/shift_jis.h"

namespace {

using pairwick::WideText;

// glibc's strict decoding of one code page 932 unit (one or two bytes); 0 when it has none.
char16_t glibcUnit(std::string_view piece) {
  char16_t unit;
  return pairwick::fuzz::glibcDecodeUnit(piece, unit) ? unit : 0;
}

// The unit that the platform's lenient decoder gives for one piece (a lone byte or a pair).
char16_t expectedUnit(std::string_view piece) {
  const auto first = static_cast<unsigned char>(piece[0]);
  if (piece.size() == 2) {
    const char16_t unit = glibcUnit(piece);
    return unit != 0 ? unit : char16_t{0x30FB};
  }
  if (first == 0x80) return 0x0080;
  if (first == 0xA0) return 0xF8F0;
  if (first >= 0xFD) return static_cast<char16_t>(0xF8F1 + first - 0xFD);
  if (pairwick::fuzz::isLeadByte(first)) return 0x30FB;  // a lead byte at the end of the text
  return glibcUnit(piece);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pairwick::fuzz;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The log is opened once: the lenient conversion never writes to it.
  static const std::string logPath = scratchDirectory() + "/test.log";
  static pairwick::DiagnosticsLog errLog;
  static const bool opened =
      pairwick::openDiagnosticsLog(errLog, logPath) == pairwick::LogOpening::opened;
  const WideText wide = pairwick::shiftJISToWstring(text, errLog, "fuzz");
  PAIRWICK_FUZZ_CHECK(opened && readFile(logPath).empty(),
                      "text: " + hex(text) + "\nlog: " + readFile(logPath));

  // Only the part before the first 0x00 byte is converted, one unit per lone byte or pair.
  const std::string_view converted = std::string_view(text).substr(0, text.find('\0'));
  WideText expected;
  for (std::size_t i = 0; i < converted.size();) {
    const std::size_t length =
        pairwick::fuzz::isLeadByte(static_cast<unsigned char>(converted[i])) &&
                i + 1 < converted.size()
            ? 2
            : 1;
    expected.push_back(expectedUnit(converted.substr(i, length)));
    i += length;
  }
  PAIRWICK_FUZZ_CHECK(wide == expected, "text: " + hex(text) + "\ngot: " + hex(wide) +
                                            "\nexpected: " + hex(expected));

  return 0;
}
