// The threads that read one tree's folders ahead of its walk: how many there are, how the pool
// grows while listings are slow, and which folder each takes next.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "compare/folder_job.h"
#include "compare/folder_reader.h"

namespace pairwick {

class ReaderPool {
 public:
  // Fills a waiting job's read, its subfolders' jobs included, on a thread of the pool or on the
  // walk's; a failure is kept in the read, never thrown.
  using ReadJob = std::function<void(FolderJob&)>;

  // Starts the threads, which read `top` first. Fewer threads, or none, where the system allows
  // no more (or memory runs short): the walk reads what it needs itself.
  ReaderPool(std::shared_ptr<FolderJob> top, ReadJob readJob);
  // Each thread ends after the read it is in.
  ~ReaderPool();
  ReaderPool(const ReaderPool&) = delete;
  ReaderPool& operator=(const ReaderPool&) = delete;

  // The read of `folder`, the top or a subfolder of a read, taken in the walk's order, which is
  // the order they are read in; read here when no thread has begun it.
  FolderRead awaitRead(const std::shared_ptr<FolderJob>& folder);

 private:
  void wakeReaders();
  void runJob(FolderJob& job, std::unique_lock<std::mutex>& lock);
  std::shared_ptr<FolderJob> nextJob();
  void readerThread();

  const ReadJob readJob_;
  std::mutex mutex_;
  std::condition_variable workToDo_;                 // the pool sleeps here
  std::condition_variable readDone_;                 // the walk waits here for `awaited_`
  std::vector<std::shared_ptr<FolderJob>> waiting_;  // a heap, the earliest in the walk first
  std::size_t readAhead_ = 0;                        // begun and not yet taken by the walk
  const FolderJob* awaited_ = nullptr;
  std::chrono::microseconds recentRead_{0};  // the time a read takes, on a moving average
  std::size_t sleeping_ = 0;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace pairwick
