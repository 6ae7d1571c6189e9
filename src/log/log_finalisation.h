// Turns the temporary code page 932 log into the final UTF-8 log and removes the temporary file.
#pragma once

#include "codec/text_types.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// Converts the whole temporary log, read through errLog's file, into `finalLogPath` (U+FEFF
// first, line ends kept), then removes the temporary log. Any failure keeps the temporary log,
// writes one line to standard error and returns normally. errLog has ended but is not yet released
// when this runs, so that its lock covers the finalisation.
void convertLogToUTF8(const NarrowText& tempLogPath, const NarrowText& finalLogPath,
                      DiagnosticsLog& errLog);

}  // namespace pairwick
