// Standard output and standard error: UTF-8 on POSIX (console_posix.cpp); wide text to a console
// and UTF-8 to a file or pipe on Windows (console_win32.cpp).
#pragma once

#include <string_view>

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

}  // namespace pairwick::platform
