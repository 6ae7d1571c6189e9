// The readers' shared budget of descriptors, shrunk to what the system lets them hold at once.
#include "compare/descriptor_budget.h"

#include <algorithm>

namespace pairwick {

void DescriptorBudget::renew() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (held_ == 0) limit_ = kUnbounded;
  }
  givenBack_.notify_all();
}

DescriptorBudget::Taken DescriptorBudget::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  givenBack_.wait(lock, [this] { return held_ < limit_; });
  ++held_;
  return Taken{givenBackCount_};
}

void DescriptorBudget::giveBack() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    --held_;
    ++givenBackCount_;
  }
  givenBack_.notify_one();
}

bool DescriptorBudget::crowdedOut(Taken taken) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t others = held_ - 1;
  if (others == 0 && givenBackCount_ == taken.givenBackBefore) return false;
  limit_ = std::max<std::size_t>(1, std::min(limit_, others));
  return true;
}

DescriptorBudget& readersDescriptorBudget() {
  static DescriptorBudget budget;
  return budget;
}

}  // namespace pairwick
