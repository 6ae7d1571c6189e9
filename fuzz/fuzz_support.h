// Shared pieces of the fuzz targets: a scratch directory per process, a quiet console and a check
// that stops the fuzzer with a readable report when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick::fuzz {

// A directory of this process's own (made on first use), with a name that is plain ASCII, so
// that it has a code page 932 form.
const std::string& scratchDirectory();

// Sends the tool's console output to /dev/null: the fuzzer's own report goes to standard error.
void silenceConsole();

// Writes `bytes` to `path`, replacing what was there; aborts when that fails.
void writeFile(const std::string& path, std::string_view bytes);
std::string readFile(const std::string& path);

// The input's bytes taken two at a time as UTF-16 units (little-endian); an odd last byte is
// dropped.
WideText unitsOf(const std::uint8_t* data, std::size_t size);

// The lead bytes of code page 932 as the reference sees them, kept apart from the code under test.
inline bool isLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// glibc's strict CP932 decoding of one unit (one or two bytes): the reference the converters are
// checked against. False when glibc refuses it.
bool glibcDecodeUnit(std::string_view piece, char16_t& unit);

// Bytes shown as hexadecimal, for failure reports.
std::string hex(std::string_view bytes);
std::string hex(std::u16string_view units);

// Reports `what` with the failing values and aborts, which the fuzzer records as a crash.
[[noreturn]] void fail(const char* property, const std::string& details);

}  // namespace pairwick::fuzz

// Checks a property of the code under test; on failure reports it with `details` and aborts.
#define PAIRWICK_FUZZ_CHECK(condition, details)                                 \
  do {                                                                          \
    if (!(condition)) ::pairwick::fuzz::fail(#condition, std::string(details)); \
  } while (false)
