// What the Windows implementation files of the platform layer share: the system header, the
// extended-length form of paths, the sharing mode of the tool's opens and the failure they throw.
// Included only by the *_win32.cpp files; no portable code sees it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace pairwick::platform {

// The longest piece handed to one conversion or write call: their lengths are ints or DWORDs.
constexpr std::size_t kMaxCallLength = 1u << 30;

inline std::u16string_view u16View(const std::wstring& text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

[[noreturn]] void throwFileSystemError(const char* operation, const std::filesystem::path& path,
                                       DWORD error);

// Fills `text` through a call that writes into a buffer of a given size and returns the
// length written, or the size it needs when the buffer is too small, or 0 on failure.
template <typename Call>
bool fillGrowing(std::wstring& text, const Call& call) {
  text.assign(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = call(text.data(), static_cast<DWORD>(text.size()));
    if (length == 0) return false;
    const bool complete = length < text.size();
    text.resize(length);
    if (complete) return true;
  }
}

// The form in which a path goes to the system's file calls: absolute and extended-length, so that
// no call stops at 260 characters. The user never sees it: messages keep the path as given.
// A path the user wrote is made absolute by the rules for typed paths, which strip a trailing dot
// or blank from a name and read a device name ("aux", "con.txt") as the device.
std::wstring extendedLengthPath(const std::filesystem::path& path);

// The same for a path that a walk made: only its first `topLength` units, which name the folder
// the walk started at as the user wrote it, are read by those rules; every name after them is
// one a listing gave and goes to the system exactly as listed.
std::wstring extendedLengthPath(const std::filesystem::path& path, std::size_t topLength);

// Other users' writes and reads are never refused, nor the removal of the temporary log while
// its lock is held: a file of the tool's is opened with no sharing restriction.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens an existing file or folder, following links unless `flags` says otherwise, with no
// access to its data: that never conflicts with another program's sharing restrictions.
HANDLE openForQuery(const std::filesystem::path& path, DWORD flags = 0);

}  // namespace pairwick::platform
