// The pool of threads that reads folders ahead of the scans, and the relative path of each entry.
#include "compare/folder_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "codec/separators.h"

namespace pairwick {

namespace fs = std::filesystem;

namespace {

// Enough reads in flight to hide the latency of a slow disk or a file share (on a share that
// answers each listing in 10 ms, 32 threads take half the time of 16); bounded, as each holds a
// descriptor.
constexpr std::size_t kReaderThreads = 32;
// Folders read ahead per tree, and how many of them the scan must take before sleeping threads
// are woken again: on a warm cache, a wake-up per folder would cost more than the read itself.
constexpr std::size_t kReadAhead = 256;
constexpr std::size_t kRefill = 128;
// Folders waiting to be read for every thread woken to read them.
constexpr std::size_t kFoldersPerThread = 8;

struct Job {
  std::vector<std::uint32_t> position;  // entry indices from the tree's top: the walk's order
  fs::path path;
  NarrowText namesPath;  // the folder's relative path, where it is in the tree of names
  bool inTree = true;
  enum class State { waiting, reading, read } state = State::waiting;
  FolderRead read;
  std::vector<std::unique_ptr<Job>> children;  // one per folder entry, until they are queued
};

// The scan takes the folders in the walk's order, and each is found (its parent read) before it
// is taken: the folder it takes next is always the earliest found and not yet taken, and the
// earliest waiting to be read when it has not been read.
struct Tree {
  fs::path base;
  fs::path resolvedBase;                      // set by the read of the top folder, before any other
  std::vector<std::unique_ptr<Job>> untaken;  // heaps, the earliest in the walk's order first
  std::vector<Job*> waiting;
  std::size_t readAhead = 0;  // folders being read or read and not yet taken by the scan
  bool abandoned = false;
};

template <typename Pointer>
bool later(const Pointer& a, const Pointer& b) {
  return a->position > b->position;
}

// Takes the earliest out of one of a tree's heaps.
template <typename Pointer>
Pointer popEarliest(std::vector<Pointer>& heap) {
  std::pop_heap(heap.begin(), heap.end(), later<Pointer>);
  Pointer earliest = std::move(heap.back());
  heap.pop_back();
  return earliest;
}

}  // namespace

struct FolderReader {
  std::mutex mutex;
  std::condition_variable workToDo;  // the pool sleeps here
  std::condition_variable readDone;  // the scan waits here for `awaited`
  std::vector<Tree> trees;
  const Job* awaited = nullptr;
  std::size_t sleeping = 0;
  std::atomic<std::size_t> listing{0};  // threads inside platform::readFolder
  bool closing = false;
  std::vector<std::thread> threads;
};

namespace {

// The listing, retried while other reads hold the descriptors that this one lacks: alone, it
// would have had them.
platform::FolderListing readListing(FolderReader& reader, const Job& job) {
  for (;;) {
    ++reader.listing;
    try {
      platform::FolderListing listing = platform::readFolder(job.path, !job.position.empty());
      --reader.listing;
      return listing;
    } catch (const fs::filesystem_error& error) {
      if (--reader.listing == 0 || error.code() != std::errc::too_many_files_open) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Each entry's relative path: its weakly canonical path relative to the weakly
// canonical base. For an entry that is no link, in a folder that is in the tree of names, that is
// the folder's relative path, '/' and the entry's name, and the file system need not be asked
// when it could resolve the path (the folder can be searched, the path is not too long).
void readJob(Tree& tree, FolderReader& reader, Job& job) {
  FolderRead& read = job.read;
  read.path = job.path;
  try {
    read.listing = readListing(reader, job);
    const platform::FolderListing& listing = read.listing;
    if (job.position.empty() && !listing.kinds.empty())
      tree.resolvedBase = platform::weaklyCanonical(tree.base);
    const std::basic_string_view<fs::path::value_type> names(listing.names);
    fs::path::string_type fullPath = job.path.native();
    if (!fullPath.empty() && fullPath.back() != '/' &&
        fullPath.back() != fs::path::preferred_separator) {
      fullPath.push_back(fs::path::preferred_separator);
    }
    const std::size_t folderLength = fullPath.size();
    const std::size_t limit = platform::pathLengthLimit();
    const std::size_t lengthChange = tree.resolvedBase.native().size() - tree.base.native().size();
    NarrowText namesPath = job.namesPath;
    if (!job.position.empty()) namesPath.push_back('/');
    const std::size_t prefixLength = namesPath.size();
    // Grown once: the reads are made on one thread and freed on another, where every allocation
    // is shared work.
    read.paths.reserve(listing.names.size() + listing.kinds.size() * (prefixLength + 1));
    read.pathEnds.reserve(listing.kinds.size());
    read.inTree.reserve(listing.kinds.size());
    NarrowText pathStr;
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < listing.kinds.size(); ++i) {
      const platform::EntryKind kind = listing.kinds[i];
      const std::size_t end = names.find(fs::path::value_type(0), at);
      fullPath.resize(folderLength);
      fullPath.append(names.substr(at, end - at));
      namesPath.resize(prefixLength);
      const bool namesKnown = job.inTree && kind != platform::EntryKind::link &&
                              platform::appendNarrowName(names.substr(at, end - at), namesPath);
      at = end + 1;
      if (namesKnown && listing.namesResolve && fullPath.size() < limit &&
          fullPath.size() + lengthChange < limit) {
        pathStr = namesPath;
      } else {
        const fs::path resolved = platform::weaklyCanonical(fs::path(fullPath));
        pathStr = platform::narrowPath(resolved.lexically_relative(tree.resolvedBase));
        normaliseSeparators(pathStr, static_cast<char>(fs::path::preferred_separator));
      }
      const bool inTree = namesKnown && pathStr == namesPath;
      if (kind == platform::EntryKind::folder) {
        auto child = std::make_unique<Job>();
        child->position = job.position;
        child->position.push_back(i);
        child->path = fs::path(fullPath);
        if (inTree) child->namesPath = pathStr;
        child->inTree = inTree;
        job.children.push_back(std::move(child));
      }
      read.paths.append(pathStr);
      read.pathEnds.push_back(static_cast<std::uint32_t>(read.paths.size()));
      read.inTree.push_back(inTree);
    }
  } catch (...) {
    read.failedAt = read.inTree.size();
    read.failure = std::current_exception();
  }
}

// Wakes sleeping threads for the folders that may be read now; the lock is held. Those already
// awake go on reading without being woken. While the scan waits for a read, reads are slow (a cold
// disk, a file share) and every folder gets a thread; otherwise a batch of folders does.
void wakeReaders(FolderReader& reader) {
  std::size_t work = 0;
  for (const Tree& tree : reader.trees) {
    const std::size_t room = kReadAhead - tree.readAhead;
    if (!tree.abandoned && room >= kRefill) {
      work += std::min(tree.waiting.size(), room);
    }
  }
  const std::size_t awake = reader.threads.size() - reader.sleeping;
  const std::size_t perThread = reader.awaited != nullptr ? 1 : kFoldersPerThread;
  const std::size_t wanted = (work + perThread - 1) / perThread;
  for (std::size_t i = awake; i < wanted && i < reader.threads.size(); ++i) {
    reader.workToDo.notify_one();
  }
}

// Reads `job`, which the caller has just taken out of the waiting ones, with the lock held.
void readTaken(FolderReader& reader, Tree& tree, Job& job, std::unique_lock<std::mutex>& lock) {
  job.state = Job::State::reading;
  ++tree.readAhead;
  lock.unlock();
  readJob(tree, reader, job);
  lock.lock();
  job.state = Job::State::read;
  if (!tree.abandoned) {
    for (std::unique_ptr<Job>& child : job.children) {
      tree.waiting.push_back(child.get());
      std::push_heap(tree.waiting.begin(), tree.waiting.end(), later<Job*>);
      tree.untaken.push_back(std::move(child));
      std::push_heap(tree.untaken.begin(), tree.untaken.end(), later<std::unique_ptr<Job>>);
    }
    wakeReaders(reader);
  }
  if (reader.awaited == &job) reader.readDone.notify_one();
}

// The next folder to read: the first tree's before the second's, as far as each may read ahead.
std::pair<Tree*, Job*> nextJob(FolderReader& reader) {
  for (Tree& tree : reader.trees) {
    if (tree.abandoned || tree.readAhead >= kReadAhead) continue;
    if (!tree.waiting.empty()) return {&tree, popEarliest(tree.waiting)};
  }
  return {nullptr, nullptr};
}

void readerThread(FolderReader& reader) {
  std::unique_lock<std::mutex> lock(reader.mutex);
  for (;;) {
    std::pair<Tree*, Job*> next;
    while (!reader.closing && (next = nextJob(reader)).second == nullptr) {
      ++reader.sleeping;
      reader.workToDo.wait(lock);
      --reader.sleeping;
    }
    if (reader.closing) return;
    readTaken(reader, *next.first, *next.second, lock);
  }
}

void stopReading(FolderReader* reader) {
  {
    const std::lock_guard<std::mutex> lock(reader->mutex);
    reader->closing = true;
    reader->workToDo.notify_all();
  }
  for (std::thread& thread : reader->threads) thread.join();
  delete reader;
}

}  // namespace

std::shared_ptr<FolderReader> startReading(const std::vector<NarrowText>& basePaths) {
  std::shared_ptr<FolderReader> reader(new FolderReader, stopReading);
  for (const NarrowText& basePath : basePaths) {
    Tree tree;
    tree.base = platform::pathFromNarrow(basePath);
    tree.untaken.push_back(std::make_unique<Job>());
    tree.untaken[0]->path = tree.base;
    tree.waiting.push_back(tree.untaken[0].get());
    reader->trees.push_back(std::move(tree));
  }
  // Fewer threads, or none, where the system allows no more: the scan reads what it needs itself.
  const std::lock_guard<std::mutex> lock(reader->mutex);
  try {
    while (reader->threads.size() < kReaderThreads) {
      reader->threads.emplace_back(readerThread, std::ref(*reader));
    }
  } catch (const std::system_error&) {
  }
  return reader;
}

FolderRead takeRead(FolderReader& reader, std::size_t tree) {
  std::unique_lock<std::mutex> lock(reader.mutex);
  Tree& walked = reader.trees[tree];
  const std::unique_ptr<Job> job = popEarliest(walked.untaken);
  if (job->state == Job::State::waiting) {
    popEarliest(walked.waiting);
    readTaken(reader, walked, *job, lock);
  }
  reader.awaited = job.get();
  if (job->state != Job::State::read) wakeReaders(reader);
  reader.readDone.wait(lock, [&job] { return job->state == Job::State::read; });
  reader.awaited = nullptr;
  --walked.readAhead;
  wakeReaders(reader);
  return std::move(job->read);
}

void abandonTree(FolderReader& reader, std::size_t tree) {
  const std::lock_guard<std::mutex> lock(reader.mutex);
  reader.trees[tree].abandoned = true;
  reader.trees[tree].waiting.clear();
}

}  // namespace pairwick
