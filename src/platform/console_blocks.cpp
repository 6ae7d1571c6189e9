// Console text gathered into blocks, written by the thread that adds it or, with a writer thread,
// by that thread: each block while the next is gathered, and a block whose oldest line has waited
// long enough.
#include "platform/console_blocks.h"

#include <utility>

#include "codec/cp932.h"
#include "platform/code_page.h"

namespace pairwick::platform {

namespace {

// The pending code page 932 text, decoded; the lock is held.
void decodePending(ConsoleBlocks& blocks) {
  if (blocks.cp932.empty()) return;
  decodeCp932Lenient(blocks.cp932, blocks.wide);
  blocks.cp932.clear();
}

// Keeps the first failure; the lock is held.
void noteFailure(ConsoleBlocks& blocks, std::error_code failure) {
  if (failure && !blocks.failure) blocks.failure = failure;
}

// Decided by the blocks' settings alone, which the writer thread may read while it is started.
bool hasWriter(const ConsoleBlocks& blocks) { return blocks.delay.count() > 0; }

bool nothingPending(const ConsoleBlocks& blocks) {
  return blocks.wide.empty() && blocks.cp932.empty();
}

// Hands all that is pending to the writer thread, which is idle; the lock is held.
void handOver(ConsoleBlocks& blocks) {
  decodePending(blocks);
  if (blocks.wide.empty()) return;
  std::swap(blocks.wide, blocks.writing);
  blocks.handedOver = true;
  blocks.changed.notify_all();
}

// Sends all that is pending on its way; the lock is held. With a writer thread, it is handed to
// that thread once the block before it is written; otherwise it is written here.
void writePending(ConsoleBlocks& blocks, std::unique_lock<std::mutex>& lock) {
  if (hasWriter(blocks)) {
    blocks.changed.wait(lock, [&blocks] { return !blocks.handedOver; });
    handOver(blocks);
    return;
  }
  decodePending(blocks);
  if (blocks.wide.empty()) return;
  noteFailure(blocks, blocks.write(blocks.wide));
  blocks.wide.clear();
}

// A block's worth is pending; the lock is held. While the writer thread is busy, the text stays
// pending and goes with the next block, up to kConsoleMostPending blocks: only then does the
// thread that adds text wait for the console.
void blockFilled(ConsoleBlocks& blocks, std::unique_lock<std::mutex>& lock) {
  if (hasWriter(blocks) && blocks.handedOver &&
      blocks.wide.size() < kConsoleMostPending * blocks.blockUnits) {
    return;
  }
  writePending(blocks, lock);
}

// Notes the time of the first pending text since the last block; the lock is held.
void notePending(ConsoleBlocks& blocks) {
  if (!nothingPending(blocks)) return;
  blocks.oldest = std::chrono::steady_clock::now();
  blocks.changed.notify_all();
}

void writerThread(ConsoleBlocks& blocks) {
  std::unique_lock<std::mutex> lock(blocks.mutex);
  for (;;) {
    if (blocks.handedOver) {
      lock.unlock();
      const std::error_code failure = blocks.write(blocks.writing);
      lock.lock();
      noteFailure(blocks, failure);
      blocks.writing.clear();
      blocks.handedOver = false;
      blocks.changed.notify_all();
      // What filled a block meanwhile goes at once.
      decodePending(blocks);
      if (blocks.wide.size() >= blocks.blockUnits) handOver(blocks);
      continue;
    }
    if (blocks.closing) return;
    if (nothingPending(blocks)) {
      blocks.changed.wait(lock);
      continue;
    }
    // Pending text gets a time of its own only after a hand-over, which wakes this wait: a wait
    // that times out has seen the oldest line wait long enough.
    const bool woken = blocks.changed.wait_until(lock, blocks.oldest + blocks.delay, [&blocks] {
      return blocks.closing || blocks.handedOver;
    });
    if (!woken) writePending(blocks, lock);
  }
}

}  // namespace

ConsoleBlocks::ConsoleBlocks(Write writeText, std::size_t units, std::chrono::milliseconds waiting)
    : write(writeText), blockUnits(units), delay(waiting) {
  wide.reserve(2 * blockUnits);
  if (hasWriter(*this)) {
    writing.reserve(2 * blockUnits);
    writer = std::thread(writerThread, std::ref(*this));
  }
}

ConsoleBlocks::~ConsoleBlocks() {
  flushConsoleBlocks(*this);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    closing = true;
  }
  changed.notify_all();
  if (writer.joinable()) writer.join();
}

void addConsoleText(ConsoleBlocks& blocks, std::u16string_view text) {
  if (text.empty()) return;
  std::unique_lock<std::mutex> lock(blocks.mutex);
  notePending(blocks);
  decodePending(blocks);
  blocks.wide.append(text);
  if (blocks.wide.size() >= blocks.blockUnits) blockFilled(blocks, lock);
}

bool addConsoleCp932(ConsoleBlocks& blocks, std::string_view cp932Text) {
  if (cp932Text.empty()) return true;
  std::unique_lock<std::mutex> lock(blocks.mutex);
  if (!endsWithWholeCp932Character(cp932Text)) {
    // Decoded on its own, so that its last byte stays a character by itself.
    WideText wide;
    if (!decodeCp932Lenient(cp932Text, wide)) return false;
    notePending(blocks);
    decodePending(blocks);
    blocks.wide.append(wide);
  } else {
    notePending(blocks);
    blocks.cp932.append(cp932Text);
    // Two bytes make at least one unit: decoded once there is surely a block's worth.
    if (blocks.wide.size() + blocks.cp932.size() / 2 >= blocks.blockUnits) decodePending(blocks);
  }
  if (blocks.wide.size() >= blocks.blockUnits) blockFilled(blocks, lock);
  return true;
}

void flushConsoleBlocks(ConsoleBlocks& blocks) {
  std::unique_lock<std::mutex> lock(blocks.mutex);
  writePending(blocks, lock);
  blocks.changed.wait(lock, [&blocks] { return !blocks.handedOver; });
}

std::error_code consoleBlocksFailure(ConsoleBlocks& blocks) {
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  return blocks.failure;
}

}  // namespace pairwick::platform
