// The descriptors that the readers' threads hold at once, a listing's while it reads and a
// resolution's while it walks its path, shared by every reader of the process.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace pairwick {

// A sequential walk holds one descriptor at a time; here, one holder that the system refuses a
// descriptor while others of the reader's hold theirs (or gave one back meanwhile) would have had
// one alone. It waits for them, and the budget shrinks to what they held: at a budget of one, a
// refusal is the walk's own, as a sequential walk would meet it, and ends the listing instead of
// waiting for ever.
class DescriptorBudget {
 public:
  // What the holder passes back to `crowdedOut`: the count of descriptors given back when it took
  // its own.
  struct Taken {
    std::uint64_t givenBackBefore = 0;
  };

  // The whole budget again, once nothing is held: a new walk may find descriptors that an
  // earlier one lacked.
  void renew();
  Taken take();
  void giveBack();
  // The system refused a descriptor to a holder: true, with the budget shrunk to what the others
  // hold, when the reader's own descriptors may have taken its place; it may then try again.
  bool crowdedOut(Taken taken);

 private:
  static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);
  std::mutex mutex_;
  std::condition_variable givenBack_;
  std::size_t held_ = 0;
  std::size_t limit_ = kUnbounded;
  std::uint64_t givenBackCount_ = 0;
};

// The budget of every reader of the process.
DescriptorBudget& readersDescriptorBudget();

// One descriptor of the readers' budget, held while it lives.
class HeldDescriptor {
 public:
  HeldDescriptor() : taken_(readersDescriptorBudget().take()) {}
  ~HeldDescriptor() { readersDescriptorBudget().giveBack(); }
  HeldDescriptor(const HeldDescriptor&) = delete;
  HeldDescriptor& operator=(const HeldDescriptor&) = delete;
  bool crowdedOut() const { return readersDescriptorBudget().crowdedOut(taken_); }

 private:
  DescriptorBudget::Taken taken_;
};

}  // namespace pairwick
