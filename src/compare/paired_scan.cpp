// Scanning the two folders together: the second walk runs on a thread of its own while the first
// scan writes its lines, and its recorded lines are written after them.
#include "compare/folder_scanner.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <tuple>
#include <vector>

#include "compare/entry_walk.h"
#include "compare/path_order.h"
#include "compare/scan_record.h"
#include "compare/scan_with_lines.h"

namespace pairwick {

using detail::DepthHook;
using detail::kConcurrentDepth;
using detail::recordScan;
using detail::replayScan;
using detail::ScanRecord;
using detail::scanWithLines;
using detail::settleFound;

namespace {

// A walk started beside another scan: its record, the flag that asks it to stop, and its end.
using Recording = std::tuple<std::shared_ptr<ScanRecord>, std::shared_ptr<std::atomic<bool>>,
                             std::shared_future<void>>;

std::optional<Recording> startRecording(const NarrowText& basePath, const NarrowText& folderPath) {
  auto record = std::make_shared<ScanRecord>();
  auto stop = std::make_shared<std::atomic<bool>>(false);
  try {
    std::shared_future<void> walk =
        std::async(std::launch::async, [record, stop, &basePath, &folderPath] {
          recordScan(basePath, folderPath, *record, *stop);
        }).share();
    return Recording(record, stop, walk);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

// The second half of a scan that may have been recorded: the recorded lines written, or the
// whole scan done now when it could not be or was not finished beside the other.
std::function<bool()> finishRecording(const std::optional<Recording>& recording,
                                      const NarrowText& basePath, const NarrowText& folderPath,
                                      FolderContents& contents, DiagnosticsLog& errLog,
                                      const NarrowText& label) {
  return [recording, &basePath, &folderPath, &contents, &errLog, &label] {
    if (recording) {
      const auto& [record, stop, walk] = *recording;
      walk.wait();
      if (!std::get<6>(*record)) return replayScan(*record, folderPath, contents, errLog, label);
      *record = ScanRecord();
    }
    return scanFolder(basePath, folderPath, contents, errLog, label);
  };
}

}  // namespace

std::pair<bool, bool> scanFolders(const NarrowText& basePath1, const NarrowText& folderPath1,
                                  FolderContents& contents1, const NarrowText& label1,
                                  const NarrowText& basePath2, const NarrowText& folderPath2,
                                  FolderContents& contents2, const NarrowText& label2,
                                  DiagnosticsLog& errLog) {
  const std::optional<Recording> recording = startRecording(basePath2, folderPath2);
  // Deeper than the walk beside it may go, the first walk has it stop first, so that it finds
  // every descriptor that it would find alone.
  bool alone = !recording;
  const auto stopRecording = [&] {
    if (alone) return false;
    std::get<1>(*recording)->store(true);
    std::get<2>(*recording).wait();
    alone = true;
    return true;
  };
  const DepthHook beforeEntry = [&](std::size_t depth) {
    if (depth > kConcurrentDepth) stopRecording();
  };
  FolderContents found;
  std::vector<std::uint32_t> depths;
  // Where the process may open few descriptors, the walk beside this one may hold those that this
  // one would have found alone: it gives them up, and this walk goes on where it ran out.
  const bool completed1 = scanWithLines(basePath1, folderPath1, contents1, errLog, label1, found,
                                        depths, beforeEntry, stopRecording);
  // The first folder's paths are put in order while the second scan's lines are written.
  std::future<void> settle1;
  try {
    settle1 = std::async(std::launch::async,
                         [&found, &depths, &contents1] { settleFound(found, depths, contents1); });
  } catch (const std::system_error&) {
    settle1 = std::async(std::launch::deferred,
                         [&found, &depths, &contents1] { settleFound(found, depths, contents1); });
  }
  const bool completed2 =
      finishRecording(recording, basePath2, folderPath2, contents2, errLog, label2)();
  settle1.get();
  return {completed1, completed2};
}

std::function<bool()> startFolderScan(const NarrowText& basePath, const NarrowText& folderPath,
                                      FolderContents& contents, DiagnosticsLog& errLog,
                                      const NarrowText& label) {
  return finishRecording(startRecording(basePath, folderPath), basePath, folderPath, contents,
                         errLog, label);
}

}  // namespace pairwick
