// A scan that writes its lines as the walk goes, leaving its found paths to be settled.
#pragma once

#include <cstdint>
#include <functional>

#include <vector>

#include "codec/text_types.h"
#include "compare/entry_walk.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"

namespace pairwick {
namespace detail {

// scanFolder up to its last line: walks and writes every line, the completion line included,
// and leaves the paths found, in the order found, in `found` and `depths` for settleFound.
// `releaseDescriptors`, when given, is asked to free the descriptors that another walk holds when
// this one runs out of them; when it did, the walk is done again from the start, passing over the
// entries whose lines were already written, as the unchanged tree gives them in the same order.
bool scanWithLines(const NarrowText& basePath, const NarrowText& folderPath,
                   FolderContents& contents, DiagnosticsLog& errLog, const NarrowText& label,
                   FolderContents& found, std::vector<std::uint32_t>& depths,
                   const DepthHook& beforeEntry = nullptr,
                   const std::function<bool()>& releaseDescriptors = nullptr);

}  // namespace detail
}  // namespace pairwick
