// Standard output and standard error on POSIX: UTF-8, through the C library's streams.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/code_page.h"
#include "platform/console.h"

namespace pairwick::platform {
namespace {

// Output whose reader has gone (the tool's output piped into a command that stopped reading)
// must fail its writes, as it does on the target platform, and not end the process before the
// report is written and the log finalised; such a failure costs the run nothing.
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
// the process when memory has run out for that. The mutex also guards every use of the standard
// output stream, so that the error state each use leaves, and errno with it, is that use's own.
std::mutex consoleBytesMutex;
std::string consoleBytes;
std::error_code outputFailure;

// Takes note of a failure of the standard output stream's last use, before which errno was
// cleared; the lock is held. The stream reports a failed write only through its error state, not
// always through the count it returns.
void noteOutcome() {
  if (std::ferror(stdout) == 0) return;
  // A write that failed without a reason (one that took no byte) is a failing device.
  const int error = errno != 0 ? errno : EIO;
  std::clearerr(stdout);
  if (error != EPIPE && !outputFailure)
    outputFailure = std::error_code(error, std::generic_category());
}

}  // namespace

void writeConsole(std::u16string_view text) {
  prepareStandardOutput();
  const std::lock_guard<std::mutex> lock(consoleBytesMutex);
  consoleBytes.clear();
  appendUtf8(text, consoleBytes);
  errno = 0;
  std::fwrite(consoleBytes.data(), 1, consoleBytes.size(), stdout);
  noteOutcome();
}

bool writeConsoleCp932(std::string_view cp932Text) {
  prepareStandardOutput();
  // Straight to UTF-8 through the table: the console receives a line per entry.
  const std::lock_guard<std::mutex> lock(consoleBytesMutex);
  consoleBytes.resize(cp932Text.size() * 3);
  std::size_t written = 0;
  decodeCp932LenientToUtf8(cp932Text, consoleBytes.data(), written);
  errno = 0;
  std::fwrite(consoleBytes.data(), 1, written, stdout);
  noteOutcome();
  return true;
}

void flushConsole() {
  const std::lock_guard<std::mutex> lock(consoleBytesMutex);
  errno = 0;
  std::fflush(stdout);
  noteOutcome();
}

std::error_code consoleOutputFailure() {
  const std::lock_guard<std::mutex> lock(consoleBytesMutex);
  return outputFailure;
}

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
