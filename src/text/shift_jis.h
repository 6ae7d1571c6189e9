// Code page 932 text made wide for the console and the report, with labelled failure lines.
#pragma once

#include "codec/text_types.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// The name says wstring, the tool's first form of wide text: the result is UTF-16 everywhere.
// Lenient conversion of `text` (up to its first 0x00 byte) to UTF-16. On failure writes one
// labelled "[ERROR] " line to errLog and returns empty text; never throws.
WideText shiftJISToWstring(const NarrowText& text, DiagnosticsLog& errLog, const NarrowText& label);

// A caught failure's narrow message made wide for the console: decoded leniently as code page
// 932, so that Japanese messages and paths stay readable. Never throws.
WideText widenMessage(const NarrowText& message);

}  // namespace pairwick
