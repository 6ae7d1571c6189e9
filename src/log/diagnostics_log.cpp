// The diagnostics log: opening the temporary log and writing lines with CR LF line ends.
#include "log/diagnostics_log.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace pairwick {

bool openDiagnosticsLog(DiagnosticsLog& errLog, const NarrowText& tempLogPath) {
  std::filesystem::path path;
  try {
    path = platform::pathFromNarrow(tempLogPath);
  } catch (const std::exception&) {
    // A name that cannot be a path is a log that cannot be opened.
    return false;
  }
  // Binary mode, so that the line ends are the ones writeLog writes on every platform.
  errLog.file.open(path, std::ios::binary | std::ios::app);
  return errLog.file.is_open();
}

void closeDiagnosticsLog(DiagnosticsLog& errLog) { errLog.file.close(); }

void writeLog(DiagnosticsLog& errLog, std::string_view text) {
  // Runs for every batch of a scan's lines: the text goes out in one write with its line ends
  // made CR LF, through a buffer that is reused and kept below a fixed size.
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  thread_local std::string bytes;
  while (!text.empty()) {
    const std::string_view piece = text.substr(0, std::min(text.size(), kPiece));
    bytes.clear();
    std::string_view::size_type start = 0;
    for (;;) {
      const void* found = std::memchr(piece.data() + start, '\n', piece.size() - start);
      if (found == nullptr) break;
      const auto lineFeed =
          static_cast<std::string_view::size_type>(static_cast<const char*>(found) - piece.data());
      bytes.append(piece.data() + start, lineFeed - start).append("\r\n", 2);
      start = lineFeed + 1;
    }
    bytes.append(piece.data() + start, piece.size() - start);
    errLog.file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    text.remove_prefix(piece.size());
  }
  // What is written reaches the file at once: a run that ends abruptly keeps its lines.
  errLog.file.flush();
}

void flushLogBatch(DiagnosticsLog& errLog, NarrowText& batch) {
  if (batch.empty()) return;
  writeLog(errLog, batch);
  batch.clear();
}

}  // namespace pairwick
