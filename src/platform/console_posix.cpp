// Standard output and standard error on POSIX: UTF-8, through the C library's streams.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/code_page.h"
#include "platform/console.h"

namespace pairwick::platform {
namespace {

// Output whose reader has gone (the tool's output piped into a command that stopped reading)
// must fail its writes, as it does on the target platform, and not end the process before the
// report is written and the log finalised: console and standard error writes are not examined.
void ignoreBrokenPipes() {
  static const bool ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)ignored;
}

// Standard output is fully buffered with a large buffer unless it is a terminal, where the user
// watches progress line by line.
void prepareStandardOutput() {
  static const bool prepared = [] {
    ignoreBrokenPipes();
    if (!isatty(STDOUT_FILENO)) {
      // glibc ignores the size unless it is given the buffer itself.
      static char buffer[1 << 20];
      std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
    return true;
  }();
  (void)prepared;
}

// The bytes of one console line, kept from line to line so that a line needs no allocation of
// its own. Not thread_local: a thread's first use of one registers a destructor, and glibc aborts
// the process when memory has run out for that.
std::mutex consoleBytesMutex;
std::string consoleBytes;

}  // namespace

void writeConsole(std::u16string_view text) {
  prepareStandardOutput();
  const std::lock_guard<std::mutex> lock(consoleBytesMutex);
  consoleBytes.clear();
  appendUtf8(text, consoleBytes);
  std::fwrite(consoleBytes.data(), 1, consoleBytes.size(), stdout);
}

bool writeConsoleCp932(std::string_view cp932Text) {
  prepareStandardOutput();
  // Straight to UTF-8 through the table: the console receives a line per entry.
  const std::lock_guard<std::mutex> lock(consoleBytesMutex);
  consoleBytes.resize(cp932Text.size() * 3);
  std::size_t written = 0;
  decodeCp932LenientToUtf8(cp932Text, consoleBytes.data(), written);
  std::fwrite(consoleBytes.data(), 1, written, stdout);
  return true;
}

void flushConsole() { std::fflush(stdout); }

void writeStandardError(std::string_view cp932Text) {
  ignoreBrokenPipes();
  flushConsole();
  WideText wide;
  appendCp932Lenient(cp932Text, wide);
  const std::string bytes = utf16ToUtf8(wide);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

}  // namespace pairwick::platform
