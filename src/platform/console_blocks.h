// Console text gathered into blocks. A console repaints on every write: one write per line would
// make a million lines a million round trips to it. Lines are kept until they fill a block, or
// until the oldest of them has waited kConsoleBlockDelay, so that a long scan still shows its
// progress; the same text reaches the console in the same order. A console takes its time over
// every character it shows: with a writer thread, blocks are written while the next are gathered,
// so that the run does not wait for the console.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "codec/text_types.h"

namespace pairwick::platform {

// For a console: the fewest UTF-16 units in one write, unless the oldest pending line has waited
// kConsoleBlockDelay.
constexpr std::size_t kConsoleBlockUnits = 8192;
constexpr std::chrono::milliseconds kConsoleBlockDelay{100};
// With a writer thread, the most blocks' worth of text that waits while the console writes: 16 MB.
// A console is slower than the scan at times and faster at others; with less room, the scan waits
// for it (a third of a second more in a terminal under Wine with 2 x 100,000 entries at 64).
constexpr std::size_t kConsoleMostPending = 1024;

struct ConsoleBlocks {
  // Writes text; returns the system's code for a failure that left some of it unwritten, and
  // nothing when the text was written or its reader has gone.
  using Write = std::error_code (*)(std::u16string_view text);

  // Blocks of at least `blockUnits` UTF-16 units. Unless `delay` is zero, starts the writer
  // thread, which writes every block, one at a time, and a block whose oldest line has waited
  // `delay`; with no delay, the thread that fills a block writes it.
  ConsoleBlocks(Write write, std::size_t blockUnits, std::chrono::milliseconds delay);
  // Writes what is pending and stops the writer thread.
  ~ConsoleBlocks();
  ConsoleBlocks(const ConsoleBlocks&) = delete;
  ConsoleBlocks& operator=(const ConsoleBlocks&) = delete;

  const Write write;
  const std::size_t blockUnits;
  const std::chrono::milliseconds delay;
  std::mutex mutex;
  std::condition_variable changed;
  // Code page 932 text not yet decoded, every piece of it ending at a whole character, followed
  // by nothing: it is decoded into `wide` before any wide text is added.
  NarrowText cp932;
  WideText wide;
  std::chrono::steady_clock::time_point oldest;  // when the oldest pending text came
  // The block handed to the writer thread, while `handedOver`; the thread writes it without the
  // lock.
  WideText writing;
  bool handedOver = false;
  bool closing = false;
  std::error_code failure;  // the first write's failure
  std::thread writer;
};

// Adds wide text; once it fills a block, sends all that is pending to be written.
void addConsoleText(ConsoleBlocks& blocks, std::u16string_view text);

// Adds code page 932 text, to be decoded as decodeCp932Lenient decodes it on its own. False,
// with nothing added, only when the converter cannot be used at all.
bool addConsoleCp932(ConsoleBlocks& blocks, std::string_view cp932Text);

// Writes all that is pending at once and returns once everything added has been written.
void flushConsoleBlocks(ConsoleBlocks& blocks);

// The failure of the first write that failed, by whichever thread wrote it; empty while none has.
// Text still pending counts once flushConsoleBlocks has returned.
std::error_code consoleBlocksFailure(ConsoleBlocks& blocks);

}  // namespace pairwick::platform
