// The pool of one tree's reader: threads that read the earliest waiting folders, a bounded number
// ahead of the walk, and that grow in number while listings are slow.
#include "compare/reader_pool.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include "platform/process.h"

namespace pairwick {

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

// Whether the walk reaches `a` after `b`: the heap of waiting jobs keeps the earliest on top.
bool walksLater(const std::shared_ptr<FolderJob>& a, const std::shared_ptr<FolderJob>& b) {
  return a->position > b->position;
}

}  // namespace

ReaderPool::ReaderPool(std::shared_ptr<FolderJob> top, ReadJob readJob)
    : readJob_(std::move(readJob)) {
  waiting_.push_back(std::move(top));
  const std::lock_guard<std::mutex> lock(mutex_);
  try {
    while (threads_.size() < kReaderThreads) threads_.emplace_back(&ReaderPool::readerThread, this);
  } catch (const std::exception&) {
  }
}

ReaderPool::~ReaderPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    workToDo_.notify_all();
  }
  for (std::thread& thread : threads_) thread.join();
}

// Wakes sleeping threads for the folders that may be read now, and adds one when none sleeps and
// reads are slow; the lock is held.
void ReaderPool::wakeReaders() {
  const std::size_t work =
      readAhead_ + kRefill <= kReadAhead ? std::min(waiting_.size(), kReadAhead - readAhead_) : 0;
  const std::size_t batch = awaited_ != nullptr || recentRead_ >= kSlowRead ? 1 : kBatch;
  const std::size_t wanted = std::min(threads_.size(), (work + batch - 1) / batch);
  for (std::size_t awake = threads_.size() - sleeping_; awake < wanted; ++awake) {
    workToDo_.notify_one();
  }
  if (sleeping_ == 0 && work > 0 && recentRead_ >= kSlowRead && !closing_ &&
      threads_.size() < kSlowReaderThreads) {
    try {
      threads_.emplace_back(&ReaderPool::readerThread, this);
    } catch (const std::exception&) {
      // The threads there are read on.
    }
  }
}

// Reads `job`, which is waiting, and offers its subfolders to the pool; the lock is held.
void ReaderPool::runJob(FolderJob& job, std::unique_lock<std::mutex>& lock) {
  job.state = FolderJob::State::reading;
  ++readAhead_;
  lock.unlock();
  const auto begun = std::chrono::steady_clock::now();
  readJob_(job);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - begun);
  lock.lock();
  recentRead_ += (took - recentRead_) / 8;
  job.state = FolderJob::State::read;
  try {
    for (const std::shared_ptr<FolderJob>& child : job.read.subfolders) {
      waiting_.push_back(child);
      std::push_heap(waiting_.begin(), waiting_.end(), walksLater);
    }
  } catch (const std::bad_alloc&) {
    // A subfolder that cannot be offered to the pool is read by the walk when it gets there.
  }
  wakeReaders();
  if (awaited_ == &job) readDone_.notify_one();
}

// The earliest waiting folder, as far as the pool may read ahead. Those the walk has begun to
// read itself are dropped on the way.
std::shared_ptr<FolderJob> ReaderPool::nextJob() {
  while (readAhead_ < kReadAhead && !waiting_.empty()) {
    std::pop_heap(waiting_.begin(), waiting_.end(), walksLater);
    std::shared_ptr<FolderJob> job = std::move(waiting_.back());
    waiting_.pop_back();
    if (job->state == FolderJob::State::waiting) return job;
  }
  return nullptr;
}

void ReaderPool::readerThread() {
  // The walk's own thread, which writes every line, goes first; the pool has the rest.
  platform::lowerThreadPriority();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!closing_) {
    if (const std::shared_ptr<FolderJob> job = nextJob()) {
      runJob(*job, lock);
    } else {
      ++sleeping_;
      workToDo_.wait(lock);
      --sleeping_;
    }
  }
}

FolderRead ReaderPool::awaitRead(const std::shared_ptr<FolderJob>& folder) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (folder->state == FolderJob::State::waiting) runJob(*folder, lock);
  awaited_ = folder.get();
  if (folder->state != FolderJob::State::read) wakeReaders();
  // While a thread of the pool reads it, the walk reads the next waiting folder rather than idle.
  while (folder->state != FolderJob::State::read) {
    if (const std::shared_ptr<FolderJob> job = nextJob()) {
      runJob(*job, lock);
    } else {
      readDone_.wait(lock);
    }
  }
  awaited_ = nullptr;
  --readAhead_;
  wakeReaders();
  return std::move(folder->read);
}

}  // namespace pairwick
