// Memory that runs out at a chosen allocation, for the tests of what a step keeps when it does:
// the unit test program's own operator new fails that one allocation with std::bad_alloc, as the
// library's does when memory is exhausted. No address-space limit can aim at one step of a run.
#pragma once

#include <cstddef>

namespace pairwick::testing_support {

// While it lives, the first allocation of `smallest` to `largest` bytes (operator new's size), on
// any thread, fails; every other allocation succeeds as before. One at a time.
class FailingAllocation {
 public:
  FailingAllocation(std::size_t smallest, std::size_t largest);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // Whether the allocation has failed yet.
  bool failed() const;
};

}  // namespace pairwick::testing_support
