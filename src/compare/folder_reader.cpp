// Each tree's reader: its own threads read that tree's folders ahead of the walk, and work out each
// entry's relative path.
#include "compare/folder_reader.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

#include "codec/separators.h"
#include "platform/code_page.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace pairwick {

namespace fs = std::filesystem;

namespace {

// Enough reads in flight to hide the latency of a file share (that answers each listing in 10 ms,
// 32 threads take half the time of 16); bounded, as each holds a descriptor while it reads. While
// reads are slow (kSlowRead) and every thread is busy, the pool grows to kSlowReaderThreads: where
// each request is a round trip, twice the reads in flight take little more than half the time,
// and on a warm cache, where they would only contend for the processors, it never does.
constexpr std::size_t kReaderThreads = 32;
constexpr std::size_t kSlowReaderThreads = 64;
// Folders read ahead of each walk. Sleeping threads are woken again once the walk has taken
// kRefill of them, one for every kBatch folders waiting: on a warm cache a wake-up per folder
// would cost more than the read. While the walk waits, and while reads take kSlowRead or longer
// on average (round trips to a file share, a cold disk), every folder gets a thread: against such
// reads a wake-up costs nothing, and a thread per kBatch folders would leave a tree that is read
// ahead of its walk with an eighth of the reads in flight that the share could answer.
constexpr std::size_t kReadAhead = 4096;
constexpr std::size_t kRefill = 128;
constexpr std::size_t kBatch = 8;
constexpr std::chrono::microseconds kSlowRead{1000};

}  // namespace

struct FolderJob {
  std::vector<std::uint32_t> position;  // entry indices from the top: the walk's order
  bool pathFollowsNames = true;         // its relative path is its parent's, '/' and its name
  // Below the top: how its parent's listing gave it, and the folders on the way above it.
  std::shared_ptr<const platform::ListedFolder> listed;
  enum class State { waiting, reading, read } state = State::waiting;
  FolderRead read;  // its path and prefix set when the job is made
};

namespace {

// Whether the walk reaches `a` after `b`: the heap of waiting jobs keeps the earliest on top.
bool walksLater(const std::shared_ptr<FolderJob>& a, const std::shared_ptr<FolderJob>& b) {
  return a->position > b->position;
}

// The descriptors that the readers' threads hold at once, a listing's while it reads and a
// resolution's while it walks its path, shared by every reader of the process. A sequential walk
// holds one at a time; here, one holder that the system refuses a descriptor while others of the
// reader's hold theirs (or gave one back meanwhile) would have had one alone. It waits for them,
// and the budget shrinks to what they held: at a budget of one, a refusal is the walk's own, as a
// sequential walk would meet it, and ends the listing instead of waiting for ever.
class DescriptorBudget {
 public:
  // What the holder passes back to `crowdedOut`: the count of descriptors given back when it took
  // its own.
  struct Taken {
    std::uint64_t givenBackBefore = 0;
  };

  // The whole budget again, once nothing is held: a new walk may find descriptors that an
  // earlier one lacked.
  void renew() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (held_ == 0) limit_ = kUnbounded;
    }
    givenBack_.notify_all();
  }

  Taken take() {
    std::unique_lock<std::mutex> lock(mutex_);
    givenBack_.wait(lock, [this] { return held_ < limit_; });
    ++held_;
    return Taken{givenBackCount_};
  }

  void giveBack() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      --held_;
      ++givenBackCount_;
    }
    givenBack_.notify_one();
  }

  // The system refused a descriptor to a holder: true, with the budget shrunk to what the others
  // hold, when the reader's own descriptors may have taken its place; it may then try again.
  bool crowdedOut(Taken taken) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t others = held_ - 1;
    if (others == 0 && givenBackCount_ == taken.givenBackBefore) return false;
    limit_ = std::max<std::size_t>(1, std::min(limit_, others));
    return true;
  }

 private:
  static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);
  std::mutex mutex_;
  std::condition_variable givenBack_;
  std::size_t held_ = 0;
  std::size_t limit_ = kUnbounded;
  std::uint64_t givenBackCount_ = 0;
};

DescriptorBudget descriptorBudget;

// One descriptor of the budget, held while it lives.
class HeldDescriptor {
 public:
  HeldDescriptor() : taken_(descriptorBudget.take()) {}
  ~HeldDescriptor() { descriptorBudget.giveBack(); }
  HeldDescriptor(const HeldDescriptor&) = delete;
  HeldDescriptor& operator=(const HeldDescriptor&) = delete;
  bool crowdedOut() const { return descriptorBudget.crowdedOut(taken_); }

 private:
  DescriptorBudget::Taken taken_;
};

}  // namespace

struct FolderReader {
  std::mutex mutex;
  std::condition_variable workToDo;  // the pool sleeps here
  std::condition_variable readDone;  // the walk waits here for `awaited`
  fs::path base;
  fs::path resolvedBase;  // set by the read of the top, before any other is read
  // What a read that runs out of memory fails with, made while memory was there: every failed
  // read holds its failure until the walk reaches it, and the exceptions that the system makes
  // when memory is exhausted come from a small reserve that thousands of them would use up.
  std::exception_ptr outOfMemory;
  std::shared_ptr<FolderJob> top;
  std::vector<std::shared_ptr<FolderJob>> waiting;  // a heap, the earliest in the walk first
  std::size_t readAhead = 0;                        // begun and not yet taken by the walk
  const FolderJob* awaited = nullptr;
  std::chrono::microseconds recentRead{0};  // the time a read takes, on a moving average
  std::size_t sleeping = 0;
  bool closing = false;
  std::vector<std::thread> threads;
};

namespace {

// The listing, retried while the reader's own descriptors stand in its way. Nothing of a listing
// is used before it is whole.
platform::FolderListing listFolder(const FolderJob& job) {
  for (;;) {
    const HeldDescriptor held;
    try {
      return platform::readFolder(fs::path(job.read.path), job.listed.get());
    } catch (const fs::filesystem_error& error) {
      if (error.code() != std::errc::too_many_files_open || !held.crowdedOut()) throw;
    }
  }
}

// The weakly canonical form of `path`, whose first `topLength` units name the walk's first folder
// and the rest names as listed. Resolving may hold a descriptor for a moment; without one it walks
// the path name by name instead.
fs::path resolve(const fs::path& path, std::size_t topLength) {
  const HeldDescriptor held;
  return platform::weaklyCanonical(path, topLength);
}

// The narrow form of the relative path of the entry at `fullPath`. The platform's text for a
// failed conversion names no path: among tens of thousands of entries, the one that ended the scan
// could not be found. The message names it as the walk joins it.
NarrowText narrowRelativePath(const fs::path& relative, const fs::path::string_type& fullPath) {
  try {
    return platform::narrowPath(relative);
  } catch (const std::system_error& failure) {
    throw std::runtime_error(platform::narrowMessage(failure) + " [" +
                             platform::narrowPathReplacing(fs::path(fullPath)) + "]");
  }
}

// The folder's path as the walk joins it, with a separator after it for its entries' names.
fs::path::string_type withSeparator(fs::path::string_type folder) {
  if (!folder.empty() && folder.back() != '/' && folder.back() != fs::path::preferred_separator) {
    folder.push_back(fs::path::preferred_separator);
  }
  return folder;
}

// The narrow names of a whole listing, made in one conversion and handed out in order: one by
// one only when some name has no narrow form.
struct NarrowNames {
  NarrowText bytes;  // each name followed by a 0x00 byte
  std::size_t at = 0;
  bool whole = false;  // every name converted
};

NarrowNames narrowNamesOf(const FolderJob& job) {
  NarrowNames narrow;
  narrow.whole =
      job.pathFollowsNames &&
      platform::appendNarrowName(
          std::basic_string_view<fs::path::value_type>(job.read.listing.names), narrow.bytes);
  return narrow;
}

// The next entry's narrow name into `name`, when all of them were converted at once.
void takeNarrowName(NarrowNames& narrow, NarrowText& name) {
  const std::size_t end = narrow.bytes.find('\0', narrow.at);
  name.assign(narrow.bytes, narrow.at, end - narrow.at);
  narrow.at = end + 1;
}

// What decides whether an entry's path may be too long for the system to resolve: the entry's
// path begins with the base's and, resolved, with the resolved base's.
struct PathLengths {
  std::size_t folder;  // the folder's path and its separator
  std::size_t base;
  std::size_t resolvedBase;
  std::size_t limit;
};

bool withinLimit(const PathLengths& lengths, std::size_t nameLength) {
  const std::size_t length = lengths.folder + nameLength;
  const std::size_t resolvedLength = length - lengths.base + lengths.resolvedBase;
  return length < lengths.limit && resolvedLength < lengths.limit;
}

// The relative path of the entry at `fullPath` as the file system resolves it, '/'-separated. An
// entry that resolves to another drive or share has no path relative to the base: it is named by
// the whole path it resolves to ("D:/data", "//server/share/data"), never by an empty one.
NarrowText resolvedRelativePath(const FolderReader& reader, const fs::path::string_type& fullPath) {
  const fs::path resolved = resolve(fs::path(fullPath), reader.base.native().size());
  fs::path relative = resolved.lexically_relative(reader.resolvedBase);
  if (relative.empty()) relative = resolved;
  NarrowText path = narrowRelativePath(relative, fullPath);
  normaliseSeparators(path, static_cast<char>(fs::path::preferred_separator));
  return path;
}

bool isPrefixAndName(std::string_view path, std::string_view prefix, std::string_view name) {
  return path.size() == prefix.size() + name.size() &&
         path.compare(0, prefix.size(), prefix) == 0 &&
         path.compare(prefix.size(), name.size(), name) == 0;
}

// The job of the folder entry `index` of `parent`, at `fullPath`, whose text is `text`: its name
// when `isName`, otherwise its whole relative path.
std::shared_ptr<FolderJob> subfolderJob(const FolderJob& parent, std::uint32_t index,
                                        std::size_t baseLength,
                                        const fs::path::string_type& fullPath, bool isName,
                                        std::string_view text) {
  const FolderRead& read = parent.read;
  const auto child = std::make_shared<FolderJob>();
  child->position.reserve(parent.position.size() + 1);
  child->position = parent.position;
  child->position.push_back(index);
  child->pathFollowsNames = isName;
  child->listed = std::make_shared<const platform::ListedFolder>(platform::ListedFolder{
      baseLength, read.listing.subfolders[read.subfolders.size()], parent.listed});
  child->read.path = fullPath;
  child->read.prefix.assign(isName ? std::string_view(read.prefix) : std::string_view());
  child->read.prefix.append(text);
  child->read.prefix.push_back('/');
  return child;
}

// Each entry's text and, for a folder entry, its job. An entry's relative path is its weakly
// canonical path relative to the weakly canonical base. For an entry that is no link, in a folder
// whose path follows the names, that is the folder's relative path, '/' and the entry's name, and
// the file system need not be asked when it could resolve the path (the folder can be searched,
// the path is not too long).
void nameEntries(FolderReader& reader, FolderJob& job) {
  FolderRead& read = job.read;
  const platform::FolderListing& listing = read.listing;
  fs::path::string_type fullPath = withSeparator(read.path);
  const PathLengths lengths{fullPath.size(), reader.base.native().size(),
                            reader.resolvedBase.native().size(), platform::pathLengthLimit()};
  const std::basic_string_view<fs::path::value_type> names(listing.names);
  read.texts.bytes.reserve(listing.names.size());
  read.texts.ends.reserve(listing.kinds.size());
  read.isName.reserve(listing.kinds.size());
  NarrowText name;
  NarrowText wholePath;
  NarrowNames narrow = narrowNamesOf(job);
  auto unresolved = listing.unresolved.begin();
  for (std::uint32_t i = 0, at = 0; i < listing.kinds.size(); ++i) {
    const std::size_t end = names.find(fs::path::value_type(0), at);
    const auto native = names.substr(at, end - at);
    at = static_cast<std::uint32_t>(end + 1);
    const bool folder = listing.kinds[i] == platform::EntryKind::folder;
    name.clear();
    if (narrow.whole) takeNarrowName(narrow, name);
    const bool named = job.pathFollowsNames && listing.kinds[i] != platform::EntryKind::link &&
                       (narrow.whole || platform::appendNarrowName(native, name));
    const bool unvouched = unresolved != listing.unresolved.end() && *unresolved == i;
    if (unvouched) ++unresolved;
    bool isName =
        named && listing.namesResolve && !unvouched && withinLimit(lengths, native.size());
    // The full path is needed only where the entry is resolved, or read as a folder.
    if (!isName || folder) {
      fullPath.resize(lengths.folder);
      fullPath.append(native);
    }
    if (!isName) {
      wholePath = resolvedRelativePath(reader, fullPath);
      isName = named && isPrefixAndName(wholePath, read.prefix, name);
    }
    const std::string_view text = isName ? std::string_view(name) : std::string_view(wholePath);
    // A folder entry's job is made first: the entry counts as read only once all of it is.
    if (folder) {
      read.subfolders.push_back(subfolderJob(job, i, lengths.base, fullPath, isName, text));
    }
    appendText(read.texts, text);
    read.isName.push_back(isName);
  }
}

// The folder's listing and its entries' texts; a failure is kept at the entry it ends the walk at.
void fillRead(FolderReader& reader, FolderJob& job) {
  FolderRead& read = job.read;
  try {
    read.listing = listFolder(job);
    if (job.position.empty() && !read.listing.kinds.empty()) {
      reader.resolvedBase = resolve(reader.base, reader.base.native().size());
    }
    nameEntries(reader, job);
  } catch (const std::bad_alloc&) {
    read.failedAt = read.isName.size();
    read.failure = reader.outOfMemory;
  } catch (...) {
    read.failedAt = read.isName.size();
    read.failure = std::current_exception();
  }
}

void readerThread(FolderReader& reader);

// Wakes sleeping threads for the folders that may be read now, and adds one when none sleeps and
// reads are slow; the lock is held.
void wakeReaders(FolderReader& reader) {
  const std::size_t work = reader.readAhead + kRefill <= kReadAhead
                               ? std::min(reader.waiting.size(), kReadAhead - reader.readAhead)
                               : 0;
  const std::size_t batch =
      reader.awaited != nullptr || reader.recentRead >= kSlowRead ? 1 : kBatch;
  const std::size_t wanted = std::min(reader.threads.size(), (work + batch - 1) / batch);
  for (std::size_t awake = reader.threads.size() - reader.sleeping; awake < wanted; ++awake) {
    reader.workToDo.notify_one();
  }
  if (reader.sleeping == 0 && work > 0 && reader.recentRead >= kSlowRead && !reader.closing &&
      reader.threads.size() < kSlowReaderThreads) {
    try {
      reader.threads.emplace_back(readerThread, std::ref(reader));
    } catch (const std::exception&) {
      // The threads there are read on.
    }
  }
}

// Reads `job`, which is waiting, and offers its subfolders to the pool; the lock is held.
void runJob(FolderReader& reader, FolderJob& job, std::unique_lock<std::mutex>& lock) {
  job.state = FolderJob::State::reading;
  ++reader.readAhead;
  lock.unlock();
  const auto begun = std::chrono::steady_clock::now();
  fillRead(reader, job);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - begun);
  lock.lock();
  reader.recentRead += (took - reader.recentRead) / 8;
  job.state = FolderJob::State::read;
  try {
    for (const std::shared_ptr<FolderJob>& child : job.read.subfolders) {
      reader.waiting.push_back(child);
      std::push_heap(reader.waiting.begin(), reader.waiting.end(), walksLater);
    }
  } catch (const std::bad_alloc&) {
    // A subfolder that cannot be offered to the pool is read by the walk when it gets there.
  }
  wakeReaders(reader);
  if (reader.awaited == &job) reader.readDone.notify_one();
}

// The earliest waiting folder, as far as the reader may read ahead. Those the walk has begun to
// read itself are dropped on the way.
std::shared_ptr<FolderJob> nextJob(FolderReader& reader) {
  while (reader.readAhead < kReadAhead && !reader.waiting.empty()) {
    std::pop_heap(reader.waiting.begin(), reader.waiting.end(), walksLater);
    std::shared_ptr<FolderJob> job = std::move(reader.waiting.back());
    reader.waiting.pop_back();
    if (job->state == FolderJob::State::waiting) return job;
  }
  return nullptr;
}

void readerThread(FolderReader& reader) {
  // The walk's own thread, which writes every line, goes first; the pool has the rest.
  platform::lowerThreadPriority();
  std::unique_lock<std::mutex> lock(reader.mutex);
  while (!reader.closing) {
    if (const std::shared_ptr<FolderJob> job = nextJob(reader)) {
      runJob(reader, *job, lock);
    } else {
      ++reader.sleeping;
      reader.workToDo.wait(lock);
      --reader.sleeping;
    }
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

std::shared_ptr<FolderReader> startReading(const NarrowText& basePath) {
  std::shared_ptr<FolderReader> reader(new FolderReader, stopReading);
  reader->base = platform::pathFromNarrow(basePath);
  descriptorBudget.renew();
  reader->top = std::make_shared<FolderJob>();
  reader->top->read.path = reader->base.native();
  reader->outOfMemory = std::make_exception_ptr(std::bad_alloc());
  reader->waiting.push_back(reader->top);
  // Fewer threads, or none, where the system allows no more (or memory runs short): the walk
  // reads what it needs itself.
  const std::lock_guard<std::mutex> lock(reader->mutex);
  try {
    while (reader->threads.size() < kReaderThreads) {
      reader->threads.emplace_back(readerThread, std::ref(*reader));
    }
  } catch (const std::exception&) {
  }
  return reader;
}

FolderRead awaitRead(FolderReader& reader, const std::shared_ptr<FolderJob>& subfolder) {
  const std::shared_ptr<FolderJob>& folder = subfolder ? subfolder : reader.top;
  std::unique_lock<std::mutex> lock(reader.mutex);
  if (folder->state == FolderJob::State::waiting) runJob(reader, *folder, lock);
  reader.awaited = folder.get();
  if (folder->state != FolderJob::State::read) wakeReaders(reader);
  // While a thread of the pool reads it, the walk reads the next waiting folder rather than idle.
  while (folder->state != FolderJob::State::read) {
    if (const std::shared_ptr<FolderJob> job = nextJob(reader)) {
      runJob(reader, *job, lock);
    } else {
      reader.readDone.wait(lock);
    }
  }
  reader.awaited = nullptr;
  --reader.readAhead;
  wakeReaders(reader);
  return std::move(folder->read);
}

}  // namespace pairwick
