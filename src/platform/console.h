// Standard output and standard error: UTF-8 on POSIX (console_posix.cpp); wide text to a console
// and UTF-8 to a file or pipe on Windows (console_win32.cpp).
#pragma once

#include <string_view>
#include <system_error>

namespace pairwick::platform {

// Writes wide text to the console (standard output). Output is buffered, and written at the
// latest once its oldest line has waited a tenth of a second, before anything goes to standard
// error, on flushConsole and at exit; a terminal may be given each line at once.
void writeConsole(std::u16string_view text);

// Writes code page 932 text to the console, decoded as decodeCp932Lenient decodes it. False, with
// nothing written, only when the converter cannot be used at all.
bool writeConsoleCp932(std::string_view cp932Text);

// Writes code page 932 text to standard error, after flushing the console.
void writeStandardError(std::string_view cp932Text);

// Flushes the console's buffered output.
void flushConsole();

// The system's code for the first console write that failed for a reason other than a reader that
// has gone (a pipe closed at its reading end): a full disk, a failing device. The console output
// is then incomplete. Empty while no write has failed so; a closed console is no failure. It
// covers what has been written: text still buffered counts only once flushConsole has returned.
std::error_code consoleOutputFailure();

}  // namespace pairwick::platform
