// The unit test program's operator new and delete: malloc and free, as the library's are, except
// for the one allocation that a FailingAllocation makes fail. The whole family is replaced, so that
// whatever allocates a block (a sanitizer's allocator among them) also frees it.
#include "testing/failing_allocation.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace pairwick::testing_support {
namespace {

// Set before `armed`, and read only once it is seen set.
std::atomic<std::size_t> smallestToFail{0};
std::atomic<std::size_t> largestToFail{0};
std::atomic<bool> armed{false};
std::atomic<bool> hasFailed{false};

// Whether the allocation of `size` bytes is the one that fails: true once.
bool failsNow(std::size_t size) {
  if (!armed.load(std::memory_order_acquire)) return false;
  if (size < smallestToFail.load(std::memory_order_relaxed) ||
      size > largestToFail.load(std::memory_order_relaxed)) {
    return false;
  }
  bool stillArmed = true;
  if (!armed.compare_exchange_strong(stillArmed, false)) return false;
  hasFailed.store(true);
  return true;
}

}  // namespace

FailingAllocation::FailingAllocation(std::size_t smallest, std::size_t largest) {
  smallestToFail.store(smallest, std::memory_order_relaxed);
  largestToFail.store(largest, std::memory_order_relaxed);
  hasFailed.store(false);
  armed.store(true, std::memory_order_release);
}

FailingAllocation::~FailingAllocation() { armed.store(false); }

bool FailingAllocation::failed() const { return hasFailed.load(); }

}  // namespace pairwick::testing_support

namespace {

void* allocate(std::size_t size) {
  if (pairwick::testing_support::failsNow(size)) throw std::bad_alloc();
  for (;;) {
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* allocateOrNull(std::size_t size) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocateOrNull(size);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
