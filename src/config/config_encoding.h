// Recognising a configuration file saved in another encoding than code page 932, and the advice
// the user gets when a run fails for it.
#pragma once

#include <string_view>

#include "log/diagnostics_log.h"

namespace pairwick {

// The encoding in which a configuration file evidently was saved instead of code page 932.
enum class ForeignEncoding { none, utf8, utf16 };

// What the bytes of the first line show: a UTF-8 or UTF-16 byte order mark, 0x00 bytes (UTF-16),
// or valid UTF-8 holding characters of more than one byte. Anything else is taken for code page
// 932 text. Code page 932 text can be valid UTF-8 by accident, so the answer only explains a run
// that has already failed.
ForeignEncoding foreignEncodingOf(std::string_view firstLine);

// Shows and logs that the configuration file must be saved again as Shift-JIS (ANSI); nothing
// for ForeignEncoding::none.
void adviseSavingAsShiftJis(ForeignEncoding savedAs, DiagnosticsLog& errLog);

}  // namespace pairwick
