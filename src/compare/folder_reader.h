// Reading the folders of the trees to scan ahead of the scan, many at once, on a pool of threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/text_types.h"
#include "platform/platform.h"

namespace pairwick {

struct FolderJob;

// One folder read: its entries and each one's relative path, as far as the scan can reach.
struct FolderRead {
  platform::FolderListing listing;
  std::string paths;                    // each entry's relative path (`pathStr`), one after another
  std::vector<std::uint32_t> pathEnds;  // where each path ends in `paths`
  std::vector<char> inTree;             // whether a path is its folder's path, '/' and its name
  std::vector<std::shared_ptr<FolderJob>> children;     // one per folder entry, in order
  std::size_t failedAt = static_cast<std::size_t>(-1);  // the entry that `failure` ends the scan at
  std::exception_ptr failure;  // what the sequential walk would throw on reaching that entry
};

struct FolderJob {
  std::size_t tree;
  std::vector<std::uint32_t> position;  // entry indices from the tree's top: pre-order
  std::filesystem::path path;           // as the walk joins it: shown, never resolved
  NarrowText namesPath;                 // the folder's relative path, where it is in the tree
  bool inTree;
  enum class State { waiting, reading, read } state;
  FolderRead read;
};

struct EarlierFirst {
  bool operator()(const std::shared_ptr<FolderJob>& a, const std::shared_ptr<FolderJob>& b) const {
    return a->position < b->position;
  }
};

struct TreeToRead {
  std::filesystem::path base;
  std::filesystem::path resolvedBase;  // set by the read of the top folder, before any other
  std::shared_ptr<FolderJob> top;
  std::set<std::shared_ptr<FolderJob>, EarlierFirst> waiting;
  std::size_t readAhead = 0;  // folders being read or read and not yet taken by the scan
  bool abandoned = false;
};

// The folders still to read come out earliest first, in the order in which the scans need them
// (the first tree's before the second's, as far as each may read ahead); each tree has a bounded
// number read ahead, so that memory stays bounded, and every folder is read whole and closed before
// the next, so that each thread holds at most one descriptor.
struct FolderReader {
  std::mutex mutex;
  std::condition_variable workToDo;  // the pool waits here
  std::condition_variable readDone;  // the scans, and reads short of descriptors, wait here
  std::vector<TreeToRead> trees;
  std::size_t listing = 0;  // threads inside platform::readFolder
  std::size_t listingsDone = 0;
  bool closing = false;
  std::vector<std::thread> threads;
};

// Starts reading the trees below `basePaths`: each tree is walked from its base path, against which
// its relative paths are computed.
void startReading(FolderReader& reader, const std::vector<NarrowText>& basePaths);

// The read of `job`, once done; read on this thread when no other has begun it. The job then no
// longer counts as read ahead.
FolderRead& takeRead(FolderReader& reader, const std::shared_ptr<FolderJob>& job);

// Reads nothing more of a tree whose scan has ended.
void abandonTree(FolderReader& reader, std::size_t tree);

// Ends the pool's threads.
void stopReading(FolderReader& reader);

}  // namespace pairwick
