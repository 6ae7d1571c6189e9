// Recognising a configuration file saved in another encoding than code page 932, and the advice
// the user gets when a run fails for it.
#include "config/config_encoding.h"

#include <cstddef>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/console.h"

namespace pairwick {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Valid UTF-8 with at least one character of more than one byte: plain ASCII is no evidence.
bool isMultiByteUtf8(std::string_view text) {
  std::size_t i = asciiRunLength(text, 0);
  if (i == text.size()) return false;
  while (i < text.size()) {
    char32_t ignored = 0;
    const std::size_t length = decodeUtf8Char(text, i, ignored);
    if (length == 0) return false;
    i += length;
    i += asciiRunLength(text, i);
  }
  return true;
}

}  // namespace

ForeignEncoding foreignEncodingOf(std::string_view firstLine) {
  if (startsWith(firstLine, "\xFF\xFE") || startsWith(firstLine, "\xFE\xFF")) {
    return ForeignEncoding::utf16;
  }
  if (startsWith(firstLine, "\xEF\xBB\xBF")) return ForeignEncoding::utf8;
  // Code page 932 text never holds 0x00; UTF-16 holds it in every ASCII character.
  if (firstLine.find('\0') != std::string_view::npos) return ForeignEncoding::utf16;
  return isMultiByteUtf8(firstLine) ? ForeignEncoding::utf8 : ForeignEncoding::none;
}

void adviseSavingAsShiftJis(ForeignEncoding savedAs, DiagnosticsLog& errLog) {
  if (savedAs == ForeignEncoding::none) return;
  const std::u16string_view advice =
      savedAs == ForeignEncoding::utf8
          ? u"Pairwick_config.csv は UTF-8 で保存されているようです。Shift-JIS (ANSI) で"
            u"保存し直してください。\n"
          : u"Pairwick_config.csv は UTF-16 (Unicode) で保存されているようです。Shift-JIS "
            u"(ANSI) で保存し直してください。\n";
  platform::writeConsole(u"[WARNING] ");
  platform::writeConsole(advice);
  writeLog(errLog, "[ERROR] " + cp932(advice));
}

}  // namespace pairwick
