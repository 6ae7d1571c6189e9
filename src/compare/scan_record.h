// A walk done beside another scan: what it found, kept until its lines may be written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <tuple>
#include <vector>

#include "codec/text_types.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"

namespace pairwick {
namespace detail {

// The deepest level that a walk beside another scan goes to.
constexpr std::size_t kConcurrentDepth = 32;

// A walk's findings, kept until its lines may be written: the paths in the order found with
// their tree depths, the entries whose handling failed (how many paths came before, the path,
// the full path for the console, the message), the message of the failure that ended the walk
// if one did, and the order of the distinct paths.
using EntryFailure = std::tuple<std::size_t, NarrowText, WideText, NarrowText>;
using ScanRecord = std::tuple<FolderContents, std::vector<std::uint32_t>, std::vector<EntryFailure>,
                              std::optional<NarrowText>, std::vector<std::uint32_t>,
                              bool /*ordered*/, bool /*to be scanned again*/>;

// Walks folderPath into `record` without writing a line. A walk that goes deeper than
// kConcurrentDepth, is asked to `stop`, or runs out of descriptors is marked to be done again.
void recordScan(const NarrowText& basePath, const NarrowText& folderPath, ScanRecord& record,
                const std::atomic<bool>& stop);

// Writes a recorded scan's lines and fills `contents`, as scanFolder would have.
bool replayScan(ScanRecord& record, const NarrowText& folderPath, FolderContents& contents,
                DiagnosticsLog& errLog, const NarrowText& label);

}  // namespace detail
}  // namespace pairwick
