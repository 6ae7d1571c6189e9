// The diagnostics log: opening and locking the temporary log, and writing whole lines with CR LF
// line ends.
#include "log/diagnostics_log.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "platform/code_page.h"
#include "platform/files.h"

namespace pairwick {
namespace {

// Bytes handed to the system per write, so that the buffer stays small whatever a text's length.
constexpr std::size_t kPiece = std::size_t{1} << 16;

// A line start longer than this is written as it comes instead of being held whole: a hostile
// configuration line of hundreds of megabytes must not be copied. A failure still undoes it.
constexpr std::size_t kHeldLineLimit = kPiece;

// A run whose lock was taken on a file that the run before it had just removed opens again; an
// endless change of hands is other runs at work.
constexpr int kOpenAttempts = 10;

// Appends `text` to `out` with every line feed made CR LF.
void appendWithCrLf(std::string_view text, std::string& out) {
  if (text.empty()) return;
  std::size_t start = 0;
  for (;;) {
    const void* found = std::memchr(text.data() + start, '\n', text.size() - start);
    if (found == nullptr) break;
    const auto lineFeed = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    out.append(text.data() + start, lineFeed - start).append("\r\n", 2);
    start = lineFeed + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

// Undoes everything written of the line in progress; what cannot be undone leaves a torn end, so
// the next line begins with a line end of its own.
void undoLine(DiagnosticsLog& errLog) {
  errLog.linesLost = true;
  if (platform::truncateFile(errLog.file, errLog.lineStart)) {
    errLog.length = errLog.lineStart;
    return;
  }
  if (!platform::fileLength(errLog.file, errLog.length)) errLog.length = errLog.lineStart;
  errLog.lineStart = errLog.length;
  errLog.lineEndOwed = true;
}

// Writes the held line start and then `text` after what the file holds; `endsLine` when `text`
// ends with a line feed. On a failure, the whole line in progress is undone and dropped.
void writeThrough(DiagnosticsLog& errLog, std::string_view text, bool endsLine) {
  std::string& bytes = errLog.writeBytes;
  bytes.clear();
  if (errLog.lineEndOwed && errLog.length == errLog.lineStart) bytes.append("\r\n", 2);
  appendWithCrLf(errLog.heldLine, bytes);
  errLog.heldLine.clear();
  bool written = true;
  while (written) {
    const std::string_view piece = text.substr(0, std::min(text.size(), kPiece));
    appendWithCrLf(piece, bytes);
    text.remove_prefix(piece.size());
    written = platform::writeFile(errLog.file, bytes);
    if (written) errLog.length += bytes.size();
    bytes.clear();
    if (text.empty()) break;
  }
  if (!written) {
    undoLine(errLog);
    errLog.skippingRestOfLine = !endsLine;
    return;
  }
  if (endsLine) {
    errLog.lineStart = errLog.length;
    errLog.lineEndOwed = false;
  }
}

// Whether the file ends in CR LF or is empty: otherwise a run before this one ended mid-line.
bool endsAtLineEnd(platform::FileHandle file, std::uint64_t length, bool& atLineEnd) {
  if (length == 0) {
    atLineEnd = true;
    return true;
  }
  char tail[2] = {};
  std::size_t count = 0;
  if (!platform::readFile(file, length >= 2 ? length - 2 : 0, tail, 2, count)) return false;
  atLineEnd = count == 2 && tail[0] == '\r' && tail[1] == '\n';
  return true;
}

}  // namespace

LogOpening openDiagnosticsLog(DiagnosticsLog& errLog, const NarrowText& tempLogPath) {
  std::filesystem::path path;
  try {
    path = platform::pathFromNarrow(tempLogPath);
  } catch (const std::exception&) {
    // A name that cannot be a path is a log that cannot be opened.
    return LogOpening::failed;
  }
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    platform::FileHandle file;
    const platform::OpenResult opened =
        platform::openPlainFile(path, platform::FileMode::append, file);
    // A run that finished between this open and the look at the file took it away: its name is
    // free again.
    if (opened == platform::OpenResult::removed) continue;
    if (opened != platform::OpenResult::opened) return LogOpening::failed;
    const platform::LockResult lock = platform::lockFile(file);
    if (lock != platform::LockResult::locked) {
      platform::closeFile(file);
      return lock == platform::LockResult::heldElsewhere ? LogOpening::runInProgress
                                                         : LogOpening::failed;
    }
    // The run that held the lock may have finished, removing the file, between this open and the
    // lock: the file is then nobody's log any more, and the name leads elsewhere or nowhere.
    if (!platform::isSameFile(file, path) || !platform::isPlainFile(file)) {
      platform::closeFile(file);
      continue;
    }
    std::uint64_t length = 0;
    bool atLineEnd = true;
    if (!platform::fileLength(file, length) || !endsAtLineEnd(file, length, atLineEnd)) {
      platform::closeFile(file);
      return LogOpening::failed;
    }
    errLog = DiagnosticsLog{};
    errLog.file = file;
    errLog.recording = true;
    errLog.length = length;
    errLog.lineStart = length;
    errLog.lineEndOwed = !atLineEnd;
    return LogOpening::opened;
  }
  return LogOpening::runInProgress;
}

void writeLog(DiagnosticsLog& errLog, std::string_view text) {
  if (!errLog.recording || text.empty()) return;
  if (errLog.skippingRestOfLine) {
    const std::size_t lineFeed = text.find('\n');
    if (lineFeed == std::string_view::npos) return;
    text.remove_prefix(lineFeed + 1);
    errLog.skippingRestOfLine = false;
  }
  const std::size_t lastLineFeed = text.rfind('\n');
  if (lastLineFeed != std::string_view::npos) {
    writeThrough(errLog, text.substr(0, lastLineFeed + 1), true);
    text.remove_prefix(lastLineFeed + 1);
  }
  if (errLog.heldLine.size() + text.size() <= kHeldLineLimit) {
    errLog.heldLine.append(text);
  } else {
    writeThrough(errLog, text, false);
  }
}

bool endDiagnosticsLog(DiagnosticsLog& errLog) {
  if (errLog.recording && !errLog.heldLine.empty()) writeThrough(errLog, {}, false);
  errLog.recording = false;
  return !errLog.linesLost;
}

void releaseDiagnosticsLog(DiagnosticsLog& errLog) {
  errLog.recording = false;
  if (errLog.file.native != -1) platform::closeFile(errLog.file);
}

void flushLogBatch(DiagnosticsLog& errLog, NarrowText& batch) {
  if (batch.empty()) return;
  writeLog(errLog, batch);
  batch.clear();
}

}  // namespace pairwick
