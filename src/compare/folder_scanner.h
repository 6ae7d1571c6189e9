// Recursive scan of one folder tree into its set of relative paths.
#pragma once

#include <functional>

#include <utility>

#include "codec/text_types.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"

namespace pairwick {

// Inserts into `contents` the relative path (to basePath) of every entry below folderPath, showing
// and logging each one. Handles every failure itself: a failed scan keeps what it collected, warns
// on the console and returns false, so that the caller knows the comparison is incomplete.
bool scanFolder(const NarrowText& basePath, const NarrowText& folderPath, FolderContents& contents,
                DiagnosticsLog& errLog, const NarrowText& label);

// scanFolder in two halves, so that the walk can overlap another scan: the walk starts at once on
// a thread of its own and records what it finds; the returned function, called later on the
// caller's thread, writes exactly the console and log lines that scanFolder would have written
// then, fills `contents` and returns scanFolder's result. Nothing is written before that call.
// The arguments must outlive it. When no thread can be started, the whole scan waits for the call.
std::function<bool()> startFolderScan(const NarrowText& basePath, const NarrowText& folderPath,
                                      FolderContents& contents, DiagnosticsLog& errLog,
                                      const NarrowText& label);

// scanFolder of folder 1, then of folder 2, with exactly their lines in that order and their
// results, using a second thread where one can be started: folder 2 is walked while folder 1 is
// scanned, and folder 1's paths are put in order while folder 2's lines are written.
std::pair<bool, bool> scanFolders(const NarrowText& basePath1, const NarrowText& folderPath1,
                                  FolderContents& contents1, const NarrowText& label1,
                                  const NarrowText& basePath2, const NarrowText& folderPath2,
                                  FolderContents& contents2, const NarrowText& label2,
                                  DiagnosticsLog& errLog);

}  // namespace pairwick
