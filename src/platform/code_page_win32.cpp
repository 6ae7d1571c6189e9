// Code page conversions on Windows through the system's own converters.
#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/code_page.h"
#include "platform/support_win32.h"

namespace pairwick::platform {

namespace fs = std::filesystem;

namespace {

constexpr UINT kCodePage932 = 932;

[[noreturn]] void throwNoMapping() {
  throw std::system_error(ERROR_NO_UNICODE_TRANSLATION, std::system_category());
}

// Where a lenient conversion of `bytes` may stop at or before `limit` without cutting a unit that
// MultiByteToWideChar would read as one: a lead byte and any byte but 0x00 after it.
std::size_t lenientUnitBoundary(std::string_view bytes, std::size_t limit) {
  std::size_t i = 0;
  while (i < limit) {
    const bool pair = isCp932LeadByte(static_cast<unsigned char>(bytes[i])) &&
                      i + 1 < bytes.size() && bytes[i + 1] != '\0';
    const std::size_t next = i + (pair ? 2 : 1);
    if (next > limit) break;
    i = next;
  }
  return i;
}

// Wide text in the ANSI code page, each character without an exact mapping written as '?'.
NarrowText ansiReplacing(const std::wstring& wide) {
  if (wide.empty() || wide.size() > kMaxCallLength) return {};
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                       0, "?", nullptr);
  if (size <= 0) return {};
  NarrowText narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, narrow.data(), size, "?",
                      nullptr);
  return narrow;
}

// UTF-8 text (invalid bytes included) recoded to the ANSI code page.
NarrowText utf8ToAnsiReplacing(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > kMaxCallLength) return {};
  const int length = static_cast<int>(utf8.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), size);
  return ansiReplacing(wide);
}

// The system's message texts end in CR LF.
std::string withoutTrailingSpace(std::string text) {
  const std::size_t end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

// libstdc++ composes a file-system failure's text from the operation, the error's message and the
// paths; the paths are UTF-8, while the message is already ANSI text (the system's message
// table) or ASCII (the C runtime's). Each part is brought to the ANSI code page on its own.
NarrowText narrowFileSystemMessage(const fs::filesystem_error& failure) {
  const std::string what = failure.what();
  const std::string message = failure.code().message();
  const std::size_t at = message.empty() ? std::string::npos : what.find(message);
  if (at == std::string::npos) return utf8ToAnsiReplacing(what);
  return utf8ToAnsiReplacing(what.substr(0, at)) + withoutTrailingSpace(message) +
         utf8ToAnsiReplacing(what.substr(at + message.size()));
}

}  // namespace

bool decodeCp932Lenient(std::string_view bytes, WideText& out) {
  while (!bytes.empty()) {
    const std::size_t length =
        bytes.size() <= kMaxCallLength ? bytes.size() : lenientUnitBoundary(bytes, kMaxCallLength);
    const int size =
        MultiByteToWideChar(kCodePage932, 0, bytes.data(), static_cast<int>(length), nullptr, 0);
    if (size <= 0) return false;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(size));
    MultiByteToWideChar(kCodePage932, 0, bytes.data(), static_cast<int>(length),
                        reinterpret_cast<wchar_t*>(out.data() + start), size);
    bytes.remove_prefix(length);
  }
  return true;
}

bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written) {
  WideText wide;
  if (!decodeCp932Lenient(bytes, wide)) return false;
  std::string utf8;
  appendUtf8PerUnit(wide, utf8);
  std::copy(utf8.begin(), utf8.end(), out);
  written = utf8.size();
  return true;
}

NarrowText narrowPath(const fs::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  if (wide.size() > kMaxCallLength) throwNoMapping();
  const int length = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                       0, nullptr, &usedDefault);
  if (size <= 0 || usedDefault) throwNoMapping();
  NarrowText narrow(static_cast<std::size_t>(size), '\0');
  const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length,
                                          narrow.data(), size, nullptr, &usedDefault);
  if (written != size || usedDefault) throwNoMapping();
  return narrow;
}

NarrowText narrowPathReplacing(const fs::path& path) {
  // One character at a time: a surrogate pair is one character, and one '?'.
  const std::wstring& wide = path.native();
  NarrowText narrow;
  for (std::size_t i = 0; i < wide.size();) {
    const bool pair =
        i + 1 < wide.size() && IS_HIGH_SURROGATE(wide[i]) && IS_LOW_SURROGATE(wide[i + 1]);
    char bytes[4];
    BOOL usedDefault = FALSE;
    const int size = pair ? 0
                          : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &wide[i], 1, bytes,
                                                sizeof bytes, nullptr, &usedDefault);
    if (size > 0 && !usedDefault) {
      narrow.append(bytes, static_cast<std::size_t>(size));
    } else {
      narrow.push_back('?');
    }
    i += pair ? 2 : 1;
  }
  return narrow;
}

fs::path pathFromNarrow(std::string_view narrow) {
  if (narrow.empty()) return {};
  if (narrow.size() > kMaxCallLength) throwNoMapping();
  const int length = static_cast<int>(narrow.size());
  const int size =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
  if (size <= 0) throwNoMapping();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.data(), length, wide.data(), size) !=
      size) {
    throwNoMapping();
  }
  return fs::path(std::move(wide));
}

WideText widePath(const fs::path& path) { return WideText(u16View(path.native())); }

unsigned ansiCodePage() { return GetACP(); }

NarrowText narrowMessage(const std::exception& failure) {
  if (const auto* fileSystemFailure = dynamic_cast<const fs::filesystem_error*>(&failure)) {
    return narrowFileSystemMessage(*fileSystemFailure);
  }
  if (dynamic_cast<const std::system_error*>(&failure) != nullptr) {
    return withoutTrailingSpace(failure.what());
  }
  return failure.what();
}

bool appendNarrowName(std::basic_string_view<fs::path::value_type> native, NarrowText& out) {
  if (native.empty()) return true;
  if (native.size() > kMaxCallLength / 2) return false;
  // One call: no UTF-16 unit takes more than two bytes in code page 932.
  const std::size_t start = out.size();
  out.resize(start + 2 * native.size());
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, native.data(),
                                       static_cast<int>(native.size()), &out[start],
                                       static_cast<int>(2 * native.size()), nullptr, &usedDefault);
  if (size <= 0 || usedDefault) return false;
  out.resize(start + static_cast<std::size_t>(size));
  return true;
}

}  // namespace pairwick::platform
