// Recursive scan of one folder tree into its set of relative paths, shown and logged entry by
// entry as the walk goes.
#include "compare/folder_scanner.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>

#include "compare/entry_walk.h"
#include "compare/path_order.h"
#include "compare/scan_lines.h"
#include "compare/scan_with_lines.h"
#include "platform/platform.h"

namespace pairwick {

namespace fs = std::filesystem;

namespace detail {

bool scanWithLines(const NarrowText& basePath, const NarrowText& folderPath,
                   FolderContents& contents, DiagnosticsLog& errLog, const NarrowText& label,
                   FolderContents& found, std::vector<std::uint32_t>& depths,
                   const DepthHook& beforeEntry, const std::function<bool()>& releaseDescriptors) {
  ScanLines lines;
  try {
    startLines(lines, folderPath, errLog, label);
    std::size_t visited = 0;
    std::size_t done = 0;
    const EntrySink sink = [&](const NarrowText& pathStr, const fs::path::string_type& fullPath,
                               std::uint32_t treeDepth) {
      if (visited++ < done) return;
      try {
        entryLines(lines, pathStr, errLog);
        found.push_back(pathStr);
        depths.push_back(treeDepth);
      } catch (const std::exception& failure) {
        found.resize(depths.size());
        entryFailureLines(lines, pathStr, platform::widePath(fs::path(fullPath)),
                          platform::narrowMessage(failure), errLog, label);
      }
    };
    for (;;) {
      try {
        walkEntries(basePath, folderPath, sink, beforeEntry);
        break;
      } catch (const fs::filesystem_error& failure) {
        if (failure.code() != std::errc::too_many_files_open || !releaseDescriptors ||
            !releaseDescriptors()) {
          throw;
        }
        done = std::max(done, visited);
        visited = 0;
      }
    }
    // The count is the number of distinct paths that `contents` will hold.
    std::size_t count;
    if (contents.empty()) {
      count = distinctCount(found, depths);
    } else {
      settleFound(found, depths, contents);
      count = contents.size();
    }
    completionLine(lines, count, errLog, label);
    return true;
  } catch (const std::exception& failure) {
    failureLines(lines, platform::narrowMessage(failure), errLog, folderPath, label);
    return false;
  }
}

}  // namespace detail

bool scanFolder(const NarrowText& basePath, const NarrowText& folderPath, FolderContents& contents,
                DiagnosticsLog& errLog, const NarrowText& label) {
  FolderContents found;
  std::vector<std::uint32_t> depths;
  const bool completed =
      detail::scanWithLines(basePath, folderPath, contents, errLog, label, found, depths);
  detail::settleFound(found, depths, contents);
  return completed;
}

}  // namespace pairwick
