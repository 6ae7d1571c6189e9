// Code page 932 text made wide for the console and the report, with labelled failure lines.
#include "text/shift_jis.h"

#include <exception>
#include <string_view>

#include "codec/cp932.h"
#include "log/diagnostics_log.h"
#include "platform/code_page.h"

namespace pairwick {

WideText shiftJISToWstring(const NarrowText& text, DiagnosticsLog& errLog,
                           const NarrowText& label) {
  if (text.empty()) return {};
  try {
    // The converter is given a zero-terminated text: whatever follows the first 0x00 byte is
    // never converted.
    const std::string_view bytes = std::string_view(text).substr(0, text.find('\0'));
    WideText result;
    if (bytes.empty()) return result;
    // Only the platform's own converter can fail here, when it cannot convert code page 932 at
    // all; the portable one never does.
    if (!platform::decodeCp932Lenient(bytes, result)) {
      static const NarrowText failurePrefix = cp932(u"[ERROR] Shift-JIS 変換失敗: ");
      writeLog(errLog, failurePrefix + label + " (" + text + ")\n");
      return {};
    }
    return result;
  } catch (const std::exception& failure) {
    try {
      static const NarrowText errorPrefix = cp932(u"[ERROR] Shift-JIS 変換エラー: ");
      writeLog(errLog,
               errorPrefix + label + " (" + text + ", " + platform::narrowMessage(failure) + ")\n");
    } catch (const std::exception&) {
      // Memory ran out again while composing the line: the caller still gets its empty text.
    }
    return {};
  }
}

WideText widenMessage(const NarrowText& message) {
  try {
    WideText wide;
    if (platform::decodeCp932Lenient(message, wide)) return wide;
    // Without a converter the message is still shown, one byte per unit.
    wide.clear();
    for (const char byte : message) wide.push_back(static_cast<unsigned char>(byte));
    return wide;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace pairwick
