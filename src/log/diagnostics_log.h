// The diagnostics log: code page 932 lines appended to the temporary log file, CR LF line ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/text_types.h"
#include "platform/files.h"

namespace pairwick {

// The log of one run, lent to every step that records what it did. Its file, the temporary log,
// stays open and locked from the open to the release, so that no other run in the same folder
// writes, converts or removes it meanwhile.
struct DiagnosticsLog {
  platform::FileHandle file;
  bool recording = false;       // lines are written: from the open to the end
  bool linesLost = false;       // some line could not be written
  NarrowText heldLine;          // the start of a line whose line feed has not come yet
  std::uint64_t length = 0;     // the file's length after the last write
  std::uint64_t lineStart = 0;  // where the line being written begins: a failure is undone to it
  bool lineEndOwed = false;     // what lies before lineStart does not end in CR LF
  bool skippingRestOfLine = false;  // the line's beginning was lost: its rest is dropped too
  // The bytes of one write, kept from line to line so that a line needs no allocation of its own.
  // Not thread_local: a thread's first use of one registers a destructor, and glibc aborts the
  // process when memory has run out for that.
  std::string writeBytes;
};

enum class LogOpening { opened, failed, runInProgress };

// Opens errLog on `tempLogPath` for appending and takes its lock. runInProgress when another
// process holds the lock: another run in this folder has not ended.
LogOpening openDiagnosticsLog(DiagnosticsLog& errLog, const NarrowText& tempLogPath);

// Appends `text` to the log with every line feed written as CR LF. Lines reach the file whole:
// a line's start waits for its line feed, and a write that fails is undone back to the start of
// the line, so that later lines are still written. A closed log records nothing.
void writeLog(DiagnosticsLog& errLog, std::string_view text);

// Ends the recording: a held line start is written, later writes record nothing. The file stays
// open and locked until releaseDiagnosticsLog. False when some line could not be written.
bool endDiagnosticsLog(DiagnosticsLog& errLog);

// Closes the file, letting its lock go.
void releaseDiagnosticsLog(DiagnosticsLog& errLog);

// Writes the log lines gathered in `batch` (a million-entry scan gathers them instead of writing
// each on its own) and empties it. Batches are written once they hold about kLogBatchBytes.
constexpr std::size_t kLogBatchBytes = 1 << 16;
void flushLogBatch(DiagnosticsLog& errLog, NarrowText& batch);

}  // namespace pairwick
