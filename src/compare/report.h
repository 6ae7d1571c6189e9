// The comparison report: paths in both folders, only in the first, only in the second.
#pragma once

#include "codec/text_types.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// Writes the report to `filename` as a UTF-8 text file and logs every entry. Throws
// std::runtime_error when the report cannot be opened or cannot be written completely.
void writeReport(const NarrowText& filename, const NarrowText& folder1, const NarrowText& folder2,
                 const FolderContents& folder1Contents, const FolderContents& folder2Contents,
                 DiagnosticsLog& errLog);

}  // namespace pairwick
