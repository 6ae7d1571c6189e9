// Waiting with a deadline in a unit test: code under test that hangs (a wait that nothing ends, a
// read loop that never advances) fails its test within seconds, naming what the test waited for,
// instead of holding it until ctest's time limit.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>

namespace pairwick::testing_support {

// How long a test waits for a step that takes milliseconds on an idle machine: enough for a
// loaded one, and for the sanitizers' slower code.
#ifdef PAIRWICK_SANITIZED
constexpr std::chrono::seconds kPatience{30};
#else
constexpr std::chrono::seconds kPatience{10};
#endif

// Fails the test for `what`, which it waited for in vain, and ends the test program: the thread
// that hangs still uses the test's objects, so the test cannot go on. Said on standard output
// and standard error both, as a test may be capturing either.
[[noreturn]] inline void giveUpWaiting(const std::string& what, std::chrono::seconds waited) {
  const std::string message =
      "gave up after " + std::to_string(waited.count()) + " s waiting for " + what;
  ADD_FAILURE() << message;
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(nullptr);
  std::_Exit(1);
}

// The steps of a long action that a test waits for: the wait gives up only once no step has been
// made for a whole patience, however many steps the action takes on a busy machine.
class Progress {
 public:
  void step() { steps_.fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t steps() const { return steps_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> steps_{0};
};

// Runs `action` on a thread of its own and returns what it returns (or throws what it throws),
// waiting for it as long as it makes `progress`, and `patience` at most for each step; `what`
// says what that wait is for. A result that refers into the action's objects (an element of a
// std::vector<bool> it made) would dangle: the action returns plain values.
template <typename Action>
auto finishWithin(const std::string& what, const Progress& progress, Action&& action,
                  std::chrono::seconds patience = kPatience) {
  using Result = decltype(action());
  std::packaged_task<Result()> task(std::forward<Action>(action));
  std::future<Result> done = task.get_future();
  std::thread worker(std::move(task));
  for (std::uint64_t steps = progress.steps();
       done.wait_for(patience) != std::future_status::ready;) {
    if (progress.steps() == steps) {
      giveUpWaiting(steps == 0 ? what : what + " (no step after " + std::to_string(steps) + ")",
                    patience);
    }
    steps = progress.steps();
  }
  worker.join();
  return done.get();
}

// The same for an action of one step, which gets `patience` at most.
template <typename Action>
auto finishWithin(const std::string& what, Action&& action,
                  std::chrono::seconds patience = kPatience) {
  const Progress oneStep;
  return finishWithin(what, oneStep, std::forward<Action>(action), patience);
}

}  // namespace pairwick::testing_support
