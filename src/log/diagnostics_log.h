// The diagnostics log: code page 932 lines appended to the temporary log file, CR LF line ends.
#pragma once

#include <fstream>
#include <ostream>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick {

// Opens errLog on `tempLogPath` for appending, in binary mode; the caller tests is_open().
void openDiagnosticsLog(std::ofstream& errLog, const NarrowText& tempLogPath);

// Appends `text` to the log with every line feed written as CR LF. The bytes are written as they
// are; write failures are not examined, and a closed log records nothing.
void writeLog(std::ostream& errLog, std::string_view text);

// Writes the log lines gathered in `batch` (a million-entry scan gathers them instead of writing
// each on its own) and empties it.
void flushLogBatch(std::ostream& errLog, NarrowText& batch);

}  // namespace pairwick
