// Reads the two folder names from the first line of the configuration file.
#pragma once

#include <utility>

#include "codec/text_types.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// Returns the two trimmed names of the configuration file's first line; at least one of them is
// empty when the file is missing, empty or malformed. Shows and logs its own messages.
std::pair<NarrowText, NarrowText> readConfig(const NarrowText& configPath, DiagnosticsLog& errLog);

}  // namespace pairwick
