// Recording a walk's findings off the console, and replaying them as scanFolder's lines.
#include "compare/scan_record.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "compare/entry_walk.h"
#include "compare/path_order.h"
#include "compare/scan_lines.h"
#include "platform/platform.h"

namespace pairwick {
namespace detail {

namespace fs = std::filesystem;

void recordScan(const NarrowText& basePath, const NarrowText& folderPath, ScanRecord& record,
                const std::atomic<bool>& stop) {
  // Named references rather than structured bindings: C++17 lambdas cannot capture bindings.
  auto& found = std::get<0>(record);
  auto& depths = std::get<1>(record);
  auto& failures = std::get<2>(record);
  auto& endFailure = std::get<3>(record);
  auto& order = std::get<4>(record);
  auto& ordered = std::get<5>(record);
  auto& again = std::get<6>(record);
  try {
    walkEntries(
        basePath, folderPath,
        [&](const NarrowText& pathStr, const fs::path::string_type& fullPath,
            std::uint32_t treeDepth) {
          try {
            found.push_back(pathStr);
            depths.push_back(treeDepth);
          } catch (const std::exception& failure) {
            found.resize(depths.size());
            failures.emplace_back(found.size(), pathStr, platform::widePath(fs::path(fullPath)),
                                  platform::narrowMessage(failure));
          }
        },
        [&stop](std::size_t depth) {
          if (depth > kConcurrentDepth || stop.load(std::memory_order_relaxed)) {
            throw fs::filesystem_error("folder depth",
                                       std::make_error_code(std::errc::too_many_files_open));
          }
        });
  } catch (const fs::filesystem_error& failure) {
    // Each folder open on the way down holds a descriptor, in this walk and in the other scan's:
    // deep trees might run out of them only because two walks run at once. A walk beside
    // another stops when it goes deeper than kConcurrentDepth, when the other one does, or when
    // it runs out, and is done again, alone, when its lines are due.
    if (failure.code() == std::errc::too_many_files_open) again = true;
    endFailure = platform::narrowMessage(failure);
  } catch (const std::exception& failure) {
    endFailure = platform::narrowMessage(failure);
  }
  if (again) return;
  // The paths' order is found here, beside the other scan; the paths themselves stay in the
  // order found until their lines are written.
  try {
    order = sortedOrder(found, depths);
    ordered = true;
  } catch (const std::exception&) {
    ordered = false;
  }
  depths = std::vector<std::uint32_t>();
}

bool replayScan(ScanRecord& record, const NarrowText& folderPath, FolderContents& contents,
                DiagnosticsLog& errLog, const NarrowText& label) {
  auto& found = std::get<0>(record);
  auto& failures = std::get<2>(record);
  auto& endFailure = std::get<3>(record);
  auto& order = std::get<4>(record);
  auto& ordered = std::get<5>(record);
  ScanLines lines;
  std::size_t nextFailure = 0;
  const auto failuresUpTo = [&](std::size_t position) {
    for (; nextFailure < failures.size() && std::get<0>(failures[nextFailure]) <= position;
         ++nextFailure) {
      const auto& [at, pathStr, widePath, message] = failures[nextFailure];
      entryFailureLines(lines, pathStr, widePath, message, errLog, label);
    }
  };
  std::optional<NarrowText> failed = endFailure;
  try {
    startLines(lines, folderPath, errLog, label);
    for (std::size_t i = 0; i < found.size(); ++i) {
      failuresUpTo(i);
      try {
        entryLines(lines, found[i], errLog);
      } catch (const std::exception& failure) {
        entryFailureLines(lines, found[i], u"", platform::narrowMessage(failure), errLog, label);
      }
    }
    failuresUpTo(found.size());
  } catch (const std::exception& failure) {
    if (!failed) failed = platform::narrowMessage(failure);
  }
  fillContents(found, order, ordered, contents);

  try {
    if (failed) {
      failureLines(lines, *failed, errLog, folderPath, label);
      return false;
    }
    completionLine(lines, contents.size(), errLog, label);
    return true;
  } catch (const std::exception& failure) {
    // As scanFolder: a failure of the completion line is the scan handler's.
    failureLines(lines, platform::narrowMessage(failure), errLog, folderPath, label);
    return false;
  }
}

}  // namespace detail
}  // namespace pairwick
