// The calendar clock and local time, through the C runtime's 64-bit time functions on Windows
// (clock_win32.cpp) and the C library's on POSIX (clock_posix.cpp).
#pragma once

#include <cstdint>
#include <ctime>

#include "codec/text_types.h"

namespace pairwick::platform {

// The current calendar time, in seconds since 1970.
std::int64_t currentTime();

// The C library's time text of `time`: its 24 characters ("Fri Jan 05 12:34:56 2024") and a line
// feed.
NarrowText ctimeText(std::int64_t time);

// The broken-down local time of `time`, zero-filled before the conversion.
std::tm localTime(std::int64_t time);

}  // namespace pairwick::platform
