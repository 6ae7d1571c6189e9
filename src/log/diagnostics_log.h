// The diagnostics log: code page 932 lines appended to the temporary log file, CR LF line ends.
#pragma once

#include <fstream>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick {

// The log stream of one run, lent to every step that records what it did.
struct DiagnosticsLog {
  std::ofstream file;
};

// Opens errLog on `tempLogPath` for appending; false when it could not be opened.
bool openDiagnosticsLog(DiagnosticsLog& errLog, const NarrowText& tempLogPath);

// Appends `text` to the log with every line feed written as CR LF. The bytes are written as they
// are; a closed log records nothing.
void writeLog(DiagnosticsLog& errLog, std::string_view text);

// Closes the log; later writes record nothing.
void closeDiagnosticsLog(DiagnosticsLog& errLog);

// Writes the log lines gathered in `batch` (a million-entry scan gathers them instead of writing
// each on its own) and empties it.
void flushLogBatch(DiagnosticsLog& errLog, NarrowText& batch);

}  // namespace pairwick
