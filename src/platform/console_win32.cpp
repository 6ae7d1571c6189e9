// Standard output and standard error on Windows: wide text to a console through WriteConsoleW,
// UTF-8 to a file or pipe, both in blocks.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

#include "codec/utf8.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/console_blocks.h"
#include "platform/support_win32.h"

namespace pairwick::platform {

namespace fs = std::filesystem;

namespace {

const wchar_t* wideData(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

// Standard output's blocks when it is a file or pipe: each of them at least 64 KB of UTF-8.
constexpr std::size_t kFileBlockUnits = 1 << 16;

// The console, when standard output is one; null when output goes to a file or a pipe.
HANDLE consoleOutput() {
  static const HANDLE console = [] {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == nullptr || output == INVALID_HANDLE_VALUE ||
        GetFileType(output) != FILE_TYPE_CHAR || GetConsoleMode(output, &mode) == 0) {
      return HANDLE{nullptr};
    }
    return output;
  }();
  return console;
}

// Writes all of `bytes`; returns the system's error code of the write that failed, or 0. With no
// handle (a process started without the stream) there is nothing to write to and no failure.
DWORD writeAll(HANDLE handle, std::string_view bytes) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD length = static_cast<DWORD>(std::min(bytes.size(), kMaxCallLength));
    if (WriteFile(handle, bytes.data(), length, &written, nullptr) == 0) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes.remove_prefix(written);
  }
  return 0;
}

// The failure of a write of standard output; none when its reader has gone (a pipe closed, or
// being closed, at its reading end, or whose other end has disconnected) or when there was no
// stream (a handle that is no handle: the process was started with its standard output closed),
// which loses nothing anyone would read.
std::error_code outputFailure(DWORD error) {
  if (error == 0 || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
      error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE) {
    return {};
  }
  return std::error_code(static_cast<int>(error), std::system_category());
}

// Writes a block of console text: the console takes the wide text itself.
std::error_code writeToConsole(std::u16string_view text) {
  const HANDLE console = consoleOutput();
  while (!text.empty()) {
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 15));
    DWORD written = 0;
    if (WriteConsoleW(console, wideData(text), length, &written, nullptr) == 0) {
      return outputFailure(GetLastError());
    }
    if (written == 0) return outputFailure(ERROR_WRITE_FAULT);
    text.remove_prefix(written);
  }
  return {};
}

// Writes a block of output for a file or pipe as UTF-8, straight to the handle, so that the C
// runtime's text mode adds no CR.
std::error_code writeToFile(std::u16string_view text) {
  return outputFailure(writeAll(GetStdHandle(STD_OUTPUT_HANDLE), utf16ToUtf8(text)));
}

void flushOutputAtExit();

// Standard output's blocks, for a console or a file alike. Never destroyed: its writer thread may
// still be waiting while the process ends; what is pending is written at exit.
ConsoleBlocks& outputBlocks() {
  static ConsoleBlocks* const blocks = [] {
    // A file or pipe is written in large blocks when they are full, and takes no timer.
    auto* const made =
        consoleOutput() != nullptr
            ? new ConsoleBlocks(writeToConsole, kConsoleBlockUnits, kConsoleBlockDelay)
            : new ConsoleBlocks(writeToFile, kFileBlockUnits, {});
    std::atexit(flushOutputAtExit);
    return made;
  }();
  return *blocks;
}

void flushOutputAtExit() { flushConsoleBlocks(outputBlocks()); }

}  // namespace

void writeConsole(std::u16string_view text) { addConsoleText(outputBlocks(), text); }

bool writeConsoleCp932(std::string_view cp932Text) {
  // The blocks decode the text only when they are written: the converter must be known to work
  // before the text is taken.
  static const bool usable = [] {
    WideText probe;
    return decodeCp932Lenient("a", probe);
  }();
  return usable && addConsoleCp932(outputBlocks(), cp932Text);
}

void flushConsole() { flushConsoleBlocks(outputBlocks()); }

std::error_code consoleOutputFailure() { return consoleBlocksFailure(outputBlocks()); }

void writeStandardError(std::string_view cp932Text) {
  flushConsole();
  // Nothing is left to report a failure of standard error to.
  writeAll(GetStdHandle(STD_ERROR_HANDLE), cp932Text);
}

}  // namespace pairwick::platform
