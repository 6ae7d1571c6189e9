// Reads the two folder names from the first line of the configuration file.
#pragma once

#include "codec/text_types.h"
#include "config/config_encoding.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// What the configuration file gave: the two trimmed names of its first line, and the encoding
// that line evidently has when it is not code page 932 text.
struct ConfigNames {
  NarrowText folder1;
  NarrowText folder2;
  ForeignEncoding savedAs = ForeignEncoding::none;
};

// Reads the configuration file; at least one name is empty when the file is missing, empty or
// malformed. Shows and logs its own messages.
ConfigNames readConfig(const NarrowText& configPath, DiagnosticsLog& errLog);

}  // namespace pairwick
