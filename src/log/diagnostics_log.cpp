// The diagnostics log: opening the temporary log and writing lines with CR LF line ends.
#include "log/diagnostics_log.h"

#include <exception>
#include <filesystem>

#include "platform/platform.h"

namespace pairwick {

void openDiagnosticsLog(std::ofstream& errLog, const NarrowText& tempLogPath) {
  std::filesystem::path path;
  try {
    path = platform::pathFromNarrow(tempLogPath);
  } catch (const std::exception&) {
    // A name that cannot be a path is a log that cannot be opened: the caller sees a closed
    // stream and reports it, as for any other failed open.
    return;
  }
  // Binary mode, so that the line ends are the ones writeLog writes on every platform.
  errLog.open(path, std::ios::binary | std::ios::app);
}

void writeLog(std::ostream& errLog, std::string_view text) {
  // Runs for every entry of a scan: whole runs between line feeds go out in one write each.
  std::string_view::size_type start = 0;
  for (;;) {
    const std::string_view::size_type lineFeed = text.find('\n', start);
    if (lineFeed == std::string_view::npos) break;
    errLog.write(text.data() + start, static_cast<std::streamsize>(lineFeed - start));
    errLog.write("\r\n", 2);
    start = lineFeed + 1;
  }
  if (start < text.size()) {
    errLog.write(text.data() + start, static_cast<std::streamsize>(text.size() - start));
  }
}

}  // namespace pairwick
