// The console and log lines of one scan: its start, each entry, its failures and its end.
#pragma once

#include <cstddef>

#include <string_view>
#include <tuple>

#include "codec/text_types.h"
#include "log/diagnostics_log.h"

namespace pairwick {
namespace detail {

// What every line of one scan shares, and the log lines not yet written.
using ScanLines =
    std::tuple<WideText /*wide label*/, NarrowText /*conversion label*/, NarrowText /*log prefix*/,
               WideText /*console prefix*/, NarrowText /*log batch*/, WideText /*console line*/>;

// The start line and the shared pieces; the wide label is made after the start line, as its
// conversion failure (if any) is logged after it.
void startLines(ScanLines& lines, const NarrowText& folderPath, DiagnosticsLog& errLog,
                const NarrowText& label);

// The console and log lines of one entry.
void entryLines(ScanLines& lines, const NarrowText& pathStr, DiagnosticsLog& errLog);

// The lines of an entry whose own handling failed.
void entryFailureLines(ScanLines& lines, const NarrowText& pathStr, std::u16string_view widePath,
                       const NarrowText& message, DiagnosticsLog& errLog, const NarrowText& label);

void completionLine(ScanLines& lines, std::size_t count, DiagnosticsLog& errLog,
                    const NarrowText& label);

// The scan handler's lines.
void failureLines(ScanLines& lines, const NarrowText& message, DiagnosticsLog& errLog,
                  const NarrowText& folderPath, const NarrowText& label);

}  // namespace detail
}  // namespace pairwick
