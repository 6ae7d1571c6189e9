// The pool of threads that reads folders ahead of the scans, and the relative path of each entry.
#include "compare/folder_reader.h"

#include <chrono>
#include <string_view>
#include <system_error>
#include <utility>

#include "codec/separators.h"

namespace pairwick {

namespace fs = std::filesystem;

namespace {

// Enough reads in flight to hide the latency of a slow disk or a file share; bounded, as each
// holds a descriptor.
constexpr std::size_t kReaderThreads = 16;
// Folders read ahead per tree.
constexpr std::size_t kReadAhead = 256;

// The listing, retried while other reads hold the descriptors that this one lacks: alone, it
// would have had them.
platform::FolderListing readListing(FolderReader& reader, const FolderJob& job) {
  std::unique_lock<std::mutex> lock(reader.mutex);
  for (;;) {
    ++reader.listing;
    lock.unlock();
    platform::FolderListing listing;
    std::exception_ptr failure;
    try {
      listing = platform::readFolder(job.path, !job.position.empty());
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    --reader.listing;
    ++reader.listingsDone;
    if (!failure) return listing;
    try {
      std::rethrow_exception(failure);
    } catch (const fs::filesystem_error& error) {
      if (error.code() != std::errc::too_many_files_open || reader.listing == 0) throw;
    }
    const std::size_t done = reader.listingsDone;
    reader.readDone.wait_for(lock, std::chrono::milliseconds(10),
                             [&] { return reader.listingsDone != done || reader.listing == 0; });
  }
}

// Each entry's relative path, by the rule: its weakly canonical path relative to the weakly
// canonical base. For an entry that is no link, in a folder that is in the tree of names, that is
// the folder's relative path, '/' and the entry's name, and the file system need not be asked
// when it could resolve the path (the folder can be searched, the path is not too long).
void readJob(FolderReader& reader, FolderJob& job) {
  FolderRead& read = job.read;
  TreeToRead& tree = reader.trees[job.tree];
  try {
    read.listing = readListing(reader, job);
    const platform::FolderListing& listing = read.listing;
    if (job.position.empty() && !listing.kinds.empty()) {
      tree.resolvedBase = platform::weaklyCanonical(tree.base);
    }
    using Native = fs::path::string_type;
    const std::basic_string_view<fs::path::value_type> names(listing.names);
    Native fullPath = job.path.native();
    if (!fullPath.empty() && fullPath.back() != '/' &&
        fullPath.back() != fs::path::preferred_separator) {
      fullPath.push_back(fs::path::preferred_separator);
    }
    const std::size_t folderLength = fullPath.size();
    const std::size_t limit = platform::pathLengthLimit();
    const std::size_t baseLength = tree.base.native().size();
    const std::size_t resolvedLength = tree.resolvedBase.native().size();
    NarrowText namesPath = job.namesPath;
    if (!job.position.empty()) namesPath.push_back('/');
    const std::size_t prefixLength = namesPath.size();
    NarrowText pathStr;
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < listing.kinds.size(); ++i) {
      const std::size_t end = names.find(fs::path::value_type(0), at);
      const auto name = names.substr(at, end - at);
      at = end + 1;
      fullPath.resize(folderLength);
      fullPath.append(name);
      const platform::EntryKind kind = listing.kinds[i];
      namesPath.resize(prefixLength);
      const bool namesKnown = job.inTree && kind != platform::EntryKind::link &&
                              platform::appendNarrowName(name, namesPath);
      if (namesKnown && listing.namesResolve && fullPath.size() < limit &&
          fullPath.size() - baseLength + resolvedLength < limit) {
        pathStr = namesPath;
      } else {
        const fs::path resolved = platform::weaklyCanonical(fs::path(fullPath));
        pathStr = platform::narrowPath(resolved.lexically_relative(tree.resolvedBase));
        normaliseSeparators(pathStr, static_cast<char>(fs::path::preferred_separator));
      }
      const bool inTree = namesKnown && pathStr == namesPath;
      read.paths.append(pathStr);
      read.pathEnds.push_back(static_cast<std::uint32_t>(read.paths.size()));
      read.inTree.push_back(inTree);
      if (kind == platform::EntryKind::folder) {
        auto child = std::make_shared<FolderJob>();
        child->tree = job.tree;
        child->position = job.position;
        child->position.push_back(i);
        child->path = fs::path(fullPath);
        if (inTree) child->namesPath = pathStr;
        child->inTree = inTree;
        child->state = FolderJob::State::waiting;
        read.children.push_back(std::move(child));
      }
    }
  } catch (...) {
    read.failedAt = read.inTree.size();
    read.failure = std::current_exception();
  }
}

// Marks `job` read and queues its subfolders; the lock is held.
void finishJob(FolderReader& reader, FolderJob& job) {
  job.state = FolderJob::State::read;
  TreeToRead& tree = reader.trees[job.tree];
  if (!tree.abandoned) {
    tree.waiting.insert(job.read.children.begin(), job.read.children.end());
    for (std::size_t i = 0; i < job.read.children.size() && i < kReaderThreads; ++i) {
      reader.workToDo.notify_one();
    }
  }
  reader.readDone.notify_all();
}

// The earliest waiting folder of the first tree that may read ahead; null when there is none.
std::shared_ptr<FolderJob> nextJob(FolderReader& reader) {
  for (const TreeToRead& tree : reader.trees) {
    if (tree.readAhead < kReadAhead && !tree.waiting.empty()) return *tree.waiting.begin();
  }
  return nullptr;
}

void beginJob(FolderReader& reader, const std::shared_ptr<FolderJob>& job) {
  reader.trees[job->tree].waiting.erase(job);
  job->state = FolderJob::State::reading;
  ++reader.trees[job->tree].readAhead;
}

void readerThread(FolderReader& reader) {
  std::unique_lock<std::mutex> lock(reader.mutex);
  for (;;) {
    std::shared_ptr<FolderJob> job;
    reader.workToDo.wait(lock,
                         [&] { return reader.closing || (job = nextJob(reader)) != nullptr; });
    if (reader.closing) return;
    beginJob(reader, job);
    lock.unlock();
    readJob(reader, *job);
    lock.lock();
    finishJob(reader, *job);
  }
}

}  // namespace

void startReading(FolderReader& reader, const std::vector<NarrowText>& basePaths) {
  for (std::size_t t = 0; t < basePaths.size(); ++t) {
    TreeToRead tree;
    tree.base = platform::pathFromNarrow(basePaths[t]);
    tree.top = std::make_shared<FolderJob>();
    tree.top->tree = t;
    tree.top->path = tree.base;
    tree.top->inTree = true;
    tree.top->state = FolderJob::State::waiting;
    tree.waiting.insert(tree.top);
    reader.trees.push_back(std::move(tree));
  }
  // Fewer threads, or none, where the system allows no more: the scan reads what it needs itself.
  try {
    while (reader.threads.size() < kReaderThreads) {
      reader.threads.emplace_back(readerThread, std::ref(reader));
    }
  } catch (const std::system_error&) {
  }
}

FolderRead& takeRead(FolderReader& reader, const std::shared_ptr<FolderJob>& job) {
  std::unique_lock<std::mutex> lock(reader.mutex);
  if (job->state == FolderJob::State::waiting) {
    beginJob(reader, job);
    lock.unlock();
    readJob(reader, *job);
    lock.lock();
    finishJob(reader, *job);
  }
  reader.readDone.wait(lock, [&] { return job->state == FolderJob::State::read; });
  --reader.trees[job->tree].readAhead;
  reader.workToDo.notify_one();
  return job->read;
}

void abandonTree(FolderReader& reader, std::size_t tree) {
  const std::lock_guard<std::mutex> lock(reader.mutex);
  reader.trees[tree].abandoned = true;
  reader.trees[tree].waiting.clear();
}

void stopReading(FolderReader& reader) {
  {
    const std::lock_guard<std::mutex> lock(reader.mutex);
    reader.closing = true;
    reader.workToDo.notify_all();
  }
  for (std::thread& thread : reader.threads) thread.join();
}

}  // namespace pairwick
