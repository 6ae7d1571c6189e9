// Console text gathered into blocks, written by the thread that adds it or, once the oldest
// pending line has waited long enough, by a timer thread of its own.
#include "platform/console_blocks.h"

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

// Writes all that is pending; the lock is held.
void writePending(ConsoleBlocks& blocks) {
  decodePending(blocks);
  if (blocks.wide.empty()) return;
  blocks.write(blocks.wide);
  blocks.wide.clear();
  ++blocks.blocksWritten;
}

// Notes the time of the first pending text since the last write; the lock is held.
void notePending(ConsoleBlocks& blocks) {
  if (!blocks.wide.empty() || !blocks.cp932.empty()) return;
  blocks.oldest = std::chrono::steady_clock::now();
  blocks.changed.notify_one();
}

void timerThread(ConsoleBlocks& blocks) {
  std::unique_lock<std::mutex> lock(blocks.mutex);
  while (!blocks.closing) {
    if (blocks.wide.empty() && blocks.cp932.empty()) {
      blocks.changed.wait(lock);
      continue;
    }
    const std::uint64_t block = blocks.blocksWritten;
    const bool written = blocks.changed.wait_until(
        lock, blocks.oldest + blocks.delay,
        [&blocks, block] { return blocks.closing || blocks.blocksWritten != block; });
    if (!written) writePending(blocks);
  }
}

}  // namespace

ConsoleBlocks::ConsoleBlocks(Write writeText, std::size_t units, std::chrono::milliseconds waiting)
    : write(writeText), blockUnits(units), delay(waiting) {
  wide.reserve(2 * blockUnits);
  if (delay.count() > 0) timer = std::thread(timerThread, std::ref(*this));
}

ConsoleBlocks::~ConsoleBlocks() {
  {
    const std::lock_guard<std::mutex> lock(mutex);
    closing = true;
    writePending(*this);
  }
  changed.notify_one();
  if (timer.joinable()) timer.join();
}

void addConsoleText(ConsoleBlocks& blocks, std::u16string_view text) {
  if (text.empty()) return;
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  notePending(blocks);
  decodePending(blocks);
  blocks.wide.append(text);
  if (blocks.wide.size() >= blocks.blockUnits) writePending(blocks);
}

bool addConsoleCp932(ConsoleBlocks& blocks, std::string_view cp932Text) {
  if (cp932Text.empty()) return true;
  const std::lock_guard<std::mutex> lock(blocks.mutex);
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
  if (blocks.wide.size() >= blocks.blockUnits) writePending(blocks);
  return true;
}

void flushConsoleBlocks(ConsoleBlocks& blocks) {
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  writePending(blocks);
}

}  // namespace pairwick::platform
