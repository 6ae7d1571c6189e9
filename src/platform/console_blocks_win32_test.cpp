// The console's blocks: the text that reaches the console, and in how many writes.
#include "platform/console_blocks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "codec/cp932.h"
#include "platform/code_page.h"
#include "testing/bounded_wait.h"

namespace pairwick {
namespace {

using platform::ConsoleBlocks;

// What the console received, one element per write.
std::mutex writesMutex;
std::condition_variable writeSeen;
std::vector<WideText> writes;

std::error_code recordWrite(std::u16string_view text) {
  const std::lock_guard<std::mutex> lock(writesMutex);
  writes.emplace_back(text);
  writeSeen.notify_all();
  return {};
}

std::vector<WideText> takeWrites() {
  const std::lock_guard<std::mutex> lock(writesMutex);
  std::vector<WideText> taken;
  taken.swap(writes);
  return taken;
}

// Long enough that only the test's own calls write anything.
constexpr std::chrono::milliseconds kNever = std::chrono::hours(24);

// The blocks of one test. Flushing them and ending them wait for the writer thread: both fail the
// test, rather than hang it, when the thread never gets there.
class TestBlocks {
 public:
  TestBlocks(ConsoleBlocks::Write write, std::size_t blockUnits, std::chrono::milliseconds delay)
      : blocks_(std::make_unique<ConsoleBlocks>(write, blockUnits, delay)) {}
  ~TestBlocks() {
    testing_support::finishWithin("the console blocks to end", [this] { blocks_.reset(); });
  }
  TestBlocks(const TestBlocks&) = delete;
  TestBlocks& operator=(const TestBlocks&) = delete;

  ConsoleBlocks& operator*() { return *blocks_; }
  void flush() {
    testing_support::finishWithin("everything added to be written",
                                  [this] { platform::flushConsoleBlocks(*blocks_); });
  }

 private:
  std::unique_ptr<ConsoleBlocks> blocks_;
};

WideText decoded(std::string_view cp932Text) {
  WideText wide;
  EXPECT_TRUE(platform::decodeCp932Lenient(cp932Text, wide));
  return wide;
}

TEST(ConsoleBlocksTest, PendingTextIsWrittenOnFlushInOrderAndAsDecodedAlone) {
  takeWrites();
  TestBlocks testBlocks(recordWrite, platform::kConsoleBlockUnits, kNever);
  ConsoleBlocks& blocks = *testBlocks;
  // A piece that ends in a lead byte decodes to U+30FB there, whatever piece comes next.
  const std::string leadEnded = cp932(u"表") + "\x81";
  const std::string next = "@x\n";
  platform::addConsoleText(blocks, u"設定ファイルを開きました: a\n");
  EXPECT_TRUE(platform::addConsoleCp932(blocks, cp932(u"検出 (A): ソ\n")));
  EXPECT_TRUE(platform::addConsoleCp932(blocks, leadEnded));
  EXPECT_TRUE(platform::addConsoleCp932(blocks, next));
  platform::addConsoleText(blocks, u"\U0001F600\n");
  EXPECT_TRUE(platform::addConsoleCp932(blocks, std::string("\xA0z\x00\n", 4)));
  EXPECT_TRUE(takeWrites().empty());
  testBlocks.flush();
  const WideText expected = u"設定ファイルを開きました: a\n" + decoded(cp932(u"検出 (A): ソ\n")) +
                            decoded(leadEnded) + decoded(next) + u"\U0001F600\n" +
                            decoded(std::string("\xA0z\x00\n", 4));
  WideText received;
  for (const WideText& write : takeWrites()) received += write;
  EXPECT_EQ(received, expected);
  EXPECT_EQ(decoded(leadEnded).back(), u'\u30FB');
}

TEST(ConsoleBlocksTest, ABlockIsWrittenOnceItHoldsEnoughText) {
  // Written by the thread that adds the text (a file), and by a writer thread (a console).
  for (const std::chrono::milliseconds delay : {std::chrono::milliseconds(0), kNever}) {
    SCOPED_TRACE(delay.count());
    takeWrites();
    TestBlocks testBlocks(recordWrite, platform::kConsoleBlockUnits, delay);
    ConsoleBlocks& blocks = *testBlocks;
    // Lines of 100 units, and of 100 bytes that decode to 51 units.
    const WideText wideLine = WideText(99, u'a') + u"\n";
    const std::string cp932Line = cp932(WideText(49, u'表')) + "b\n";
    WideText expected;
    for (int i = 0; i < 400; ++i) {
      if (i % 2 == 0) {
        platform::addConsoleText(blocks, wideLine);
        expected += wideLine;
      } else {
        EXPECT_TRUE(platform::addConsoleCp932(blocks, cp932Line));
        expected += decoded(cp932Line);
      }
    }
    testBlocks.flush();
    std::vector<WideText> filled = takeWrites();
    ASSERT_FALSE(filled.empty());
    const WideText flushed = filled.back();
    filled.pop_back();
    // Every block holds at least a block's worth. Written at once, no more than that and one
    // line; by the writer thread, what filled while it wrote goes with the next.
    if (delay.count() == 0) {
      ASSERT_EQ(filled.size(), (expected.size() - flushed.size()) / platform::kConsoleBlockUnits);
    }
    WideText received;
    for (const WideText& write : filled) {
      EXPECT_GE(write.size(), platform::kConsoleBlockUnits);
      EXPECT_LT(write.size(), (delay.count() == 0 ? 1 : platform::kConsoleMostPending) *
                                      platform::kConsoleBlockUnits +
                                  100);
      received += write;
    }
    EXPECT_EQ(received + flushed, expected);
  }
}

// A console that takes its time over a block: the next ones are gathered meanwhile, and a flush
// returns only once everything has been written, in order.
std::mutex slowMutex;
std::condition_variable slowChanged;
bool slowWriteStarted = false;
bool slowWriteMayEnd = false;

std::error_code slowWrite(std::u16string_view text) {
  std::unique_lock<std::mutex> lock(slowMutex);
  slowWriteStarted = true;
  slowChanged.notify_all();
  // Bounded, so that a console written by the thread that adds the text shows as a failure.
  slowChanged.wait_for(lock, std::chrono::seconds(10), [] { return slowWriteMayEnd; });
  lock.unlock();
  return recordWrite(text);
}

TEST(ConsoleBlocksTest, TheNextBlocksAreGatheredWhileTheConsoleWritesOne) {
  takeWrites();
  {
    // As the test found the console, also when it runs again in the same program.
    const std::lock_guard<std::mutex> lock(slowMutex);
    slowWriteStarted = false;
    slowWriteMayEnd = false;
  }
  TestBlocks testBlocks(slowWrite, 4, kNever);
  ConsoleBlocks& blocks = *testBlocks;
  platform::addConsoleText(blocks, u"abcd\n");
  {
    std::unique_lock<std::mutex> lock(slowMutex);
    ASSERT_TRUE(slowChanged.wait_for(lock, testing_support::kPatience, [] {
      return slowWriteStarted;
    })) << "waited for the writer thread to start writing the first block";
  }
  // The console has not finished the first block: these return all the same, a block's worth
  // among them.
  platform::addConsoleText(blocks, u"e\n");
  EXPECT_TRUE(platform::addConsoleCp932(blocks, "g\n"));
  platform::addConsoleText(blocks, u"hij\n");
  EXPECT_TRUE(takeWrites().empty());
  {
    const std::lock_guard<std::mutex> lock(slowMutex);
    slowWriteMayEnd = true;
  }
  slowChanged.notify_all();
  testBlocks.flush();
  EXPECT_EQ(takeWrites(), (std::vector<WideText>{u"abcd\n", u"e\ng\nhij\n"}));
}

// A file on a disk that fills up: its first write succeeds, the second fails for want of space,
// and every later one fails for another reason. Only the test's own thread counts them.
int fillingDiskWrites = 0;

std::error_code fillingDiskWrite(std::u16string_view text) {
  recordWrite(text);
  ++fillingDiskWrites;
  if (fillingDiskWrites == 1) return {};
  if (fillingDiskWrites == 2) return std::make_error_code(std::errc::no_space_on_device);
  return std::make_error_code(std::errc::io_error);
}

TEST(ConsoleBlocksTest, TheFirstFailedWriteIsKeptAndTheTextAfterItStillWritten) {
  // Written by the thread that adds the text (a file), and by a writer thread (a console), whose
  // failure the thread that asks must learn of all the same.
  for (const std::chrono::milliseconds delay : {std::chrono::milliseconds(0), kNever}) {
    SCOPED_TRACE(delay.count());
    takeWrites();
    fillingDiskWrites = 0;
    TestBlocks testBlocks(fillingDiskWrite, 4, delay);
    ConsoleBlocks& blocks = *testBlocks;
    platform::addConsoleText(blocks, u"abcd\n");
    testBlocks.flush();
    EXPECT_EQ(platform::consoleBlocksFailure(blocks), std::error_code());
    platform::addConsoleText(blocks, u"efgh\n");
    testBlocks.flush();
    EXPECT_EQ(platform::consoleBlocksFailure(blocks),
              std::make_error_code(std::errc::no_space_on_device));
    EXPECT_TRUE(platform::addConsoleCp932(blocks, "ij\n"));
    testBlocks.flush();
    EXPECT_EQ(platform::consoleBlocksFailure(blocks),
              std::make_error_code(std::errc::no_space_on_device));
    EXPECT_EQ(takeWrites(), (std::vector<WideText>{u"abcd\n", u"efgh\n", u"ij\n"}));
  }
}

TEST(ConsoleBlocksTest, ALineWaitingAloneIsWrittenWithoutAnyFurtherCall) {
  takeWrites();
  TestBlocks testBlocks(recordWrite, platform::kConsoleBlockUnits, platform::kConsoleBlockDelay);
  ConsoleBlocks& blocks = *testBlocks;
  platform::addConsoleText(blocks, u"検出 (A): a\n");
  EXPECT_TRUE(platform::addConsoleCp932(blocks, "b\n"));
  // The timer writes them; no write, flush or exit comes from here.
  std::unique_lock<std::mutex> lock(writesMutex);
  ASSERT_TRUE(writeSeen.wait_for(lock, testing_support::kPatience, [] { return !writes.empty(); }))
      << "waited for the writer thread to write the line that waited alone";
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0], u"検出 (A): a\nb\n");
}

TEST(ConsoleBlocksTest, WhatIsPendingIsWrittenWhenTheBlocksEnd) {
  takeWrites();
  {
    TestBlocks blocks(recordWrite, platform::kConsoleBlockUnits, kNever);
    platform::addConsoleText(*blocks, u"比較が完了しました\n");
  }
  EXPECT_EQ(takeWrites(), std::vector<WideText>{u"比較が完了しました\n"});
}

}  // namespace
}  // namespace pairwick
