// The pool's size: 32 threads that grow, while reads are slow and every thread is busy, to 64 and
// no further. Its threads are counted in /proc/self/task by the reads themselves.
#include "compare/reader_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <thread>

#include "testing/bounded_wait.h"

namespace pairwick {
namespace {

// The threads of this process.
std::size_t threadsNow() {
  std::size_t threads = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ++threads;
  }
  return threads;
}

// A top folder of 300 subfolders, each read in 5 ms as over a file share: the pool, found with
// more folders waiting than threads, every one busy, grows to its bound.
TEST(ReaderPoolPosixTest, SlowReadsGrowThePoolToItsBoundAndNoFurther) {
  constexpr std::uint32_t kSubfolders = 300;
  const std::size_t before = threadsNow();
  std::atomic<std::size_t> most{0};
  std::atomic<std::uint32_t> reads{0};
  const auto top = std::make_shared<FolderJob>();
  const auto readJob = [&](FolderJob& job) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::size_t now = threadsNow();
    for (std::size_t seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    if (job.position.empty()) {
      for (std::uint32_t i = 0; i < kSubfolders; ++i) {
        const auto child = std::make_shared<FolderJob>();
        child->position.push_back(i);
        job.read.subfolders.push_back(child);
      }
    }
    ++reads;
  };
  // The walk's thread, which finishWithin adds, reads as well.
  const std::size_t walked = testing_support::finishWithin("the walk of 301 slow folders", [&] {
    ReaderPool pool(top, readJob);
    const FolderRead read = pool.awaitRead(top);
    std::size_t count = 1;
    for (const std::shared_ptr<FolderJob>& subfolder : read.subfolders) {
      pool.awaitRead(subfolder);
      ++count;
    }
    return count;
  });
  EXPECT_EQ(walked, kSubfolders + 1);
  EXPECT_EQ(reads.load(), kSubfolders + 1);
  EXPECT_EQ(most.load(), before + 1 + 64);
}

}  // namespace
}  // namespace pairwick
