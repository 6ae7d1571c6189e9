// The platform layer on POSIX: code page 932 through the tool's own tables, UTF-8 file names,
// UTF-8 console and standard error, and the C library's time functions.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/platform.h"
#include "text/cp932.h"
#include "text/utf8.h"

namespace pairwick::platform {
namespace {

[[noreturn]] void throwNoMapping() {
  throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence));
}

// Standard output is fully buffered with a large buffer unless it is a terminal, where the user
// watches progress line by line.
void prepareStandardOutput() {
  static const bool prepared = [] {
    if (!isatty(STDOUT_FILENO)) {
      std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    }
    return true;
  }();
  (void)prepared;
}

}  // namespace

bool decodeCp932Lenient(std::string_view bytes, WideText& out) {
  appendCp932Lenient(bytes, out);
  return true;
}

NarrowText narrowPath(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.empty()) return {};
  WideText wide;
  NarrowText narrow;
  if (!utf8ToUtf16Strict(native, wide) || !encodeCp932Strict(wide, narrow)) throwNoMapping();
  return narrow;
}

std::filesystem::path pathFromNarrow(std::string_view narrow) {
  if (narrow.empty()) return {};
  WideText wide;
  if (!decodeCp932Strict(narrow, wide)) throwNoMapping();
  return std::filesystem::path(utf16ToUtf8(wide));
}

WideText widePath(const std::filesystem::path& path) { return utf8ToUtf16Lenient(path.native()); }

NarrowText narrowMessage(const std::exception& failure) {
  // The file-system library quotes paths in their UTF-8 byte form; everything else that can be
  // caught here is already code page 932 (the tool's own messages) or plain ASCII.
  if (dynamic_cast<const std::filesystem::filesystem_error*>(&failure) != nullptr) {
    return utf8ToCp932Replacing(failure.what());
  }
  return failure.what();
}

std::int64_t currentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

NarrowText ctimeText(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  char buffer[26] = {};
  if (ctime_r(&t, buffer) == nullptr) return {};
  return buffer;
}

std::tm localTime(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

void writeConsole(std::u16string_view text) {
  prepareStandardOutput();
  const std::string bytes = utf16ToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void flushConsole() { std::fflush(stdout); }

void writeStandardError(std::string_view cp932Text) {
  flushConsole();
  WideText wide;
  appendCp932Lenient(cp932Text, wide);
  const std::string bytes = utf16ToUtf8(wide);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

bool pathExists(const std::filesystem::path& path) {
  // The throwing test reports "not found" and "not a directory" as absence and raises every
  // other failure, such as a denied search permission on the way.
  return std::filesystem::exists(path);
}

bool isLinkEntry(const std::filesystem::directory_entry& entry) {
  std::error_code error;
  return entry.is_symlink(error);
}

std::filesystem::path weaklyCanonical(const std::filesystem::path& path) {
  return std::filesystem::weakly_canonical(path);
}

}  // namespace pairwick::platform
