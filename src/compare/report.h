// The comparison report: paths in both folders, only in the first, only in the second.
#pragma once

#include "codec/text_types.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"
#include "platform/files.h"

namespace pairwick {

// The report's file, created and open, and the name it was created under.
struct ReportFile {
  NarrowText filename;
  platform::FileHandle file;
};

// Creates the report in the working directory under the result file name of the current second,
// logging each name tried. A report never replaces anything: a name taken by any entry at all
// waits for the next second's name, ten names in all, and for about ten seconds at most (the
// wall clock may stand still). Throws std::runtime_error when no report could be created, after
// logging the failure with the last name tried.
ReportFile createReportFile(DiagnosticsLog& errLog);

// Whether each folder's scan met and kept every entry. The report says under its header which
// scan was not: the lists rest on what it reached.
struct ScansComplete {
  bool folder1 = true;
  bool folder2 = true;
};

// Writes the report into `report` as a UTF-8 text file, logs every entry and closes the file.
// Throws std::runtime_error when the report cannot be written completely.
void writeReport(ReportFile& report, const NarrowText& folder1, const NarrowText& folder2,
                 const FolderContents& folder1Contents, const FolderContents& folder2Contents,
                 ScansComplete complete, DiagnosticsLog& errLog);

}  // namespace pairwick
