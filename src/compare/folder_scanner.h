// Recursive scan of folder trees into their sets of relative paths.
#pragma once

#include <vector>

#include "codec/text_types.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// One folder to scan: relative paths are computed against its own path (`basePath`, also the
// folder walked), and every console and log line of its scan carries `label`.
struct FolderScan {
  NarrowText basePath;
  FolderContents* contents;  // empty; receives the relative paths
  NarrowText label;
};

// Scans each folder in turn, each with exactly the console and log lines of a walk of that one
// tree alone, in its order, while the folders of all of them are read ahead on other threads.
// Handles every failure itself: a scan that ends early keeps what it collected, warns on the
// console and counts as incomplete, as does one whose entries could not all be kept. Returns for
// each folder whether its scan was complete.
std::vector<bool> scanFolders(const std::vector<FolderScan>& scans, DiagnosticsLog& errLog);

}  // namespace pairwick
