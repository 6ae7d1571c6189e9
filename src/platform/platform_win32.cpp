// The platform layer on Windows: code page conversions through the system's own converters, wide
// paths, the console through WriteConsoleW, and the C runtime's 64-bit time functions.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"
#include "platform/console_blocks.h"
#include "platform/platform.h"
#include "platform/windows_path.h"

namespace pairwick::platform {
namespace {

namespace fs = std::filesystem;

constexpr UINT kCodePage932 = 932;
// The longest piece handed to one conversion or write call: their lengths are ints or DWORDs.
constexpr std::size_t kMaxCallLength = 1u << 30;

[[noreturn]] void throwNoMapping() {
  throw std::system_error(ERROR_NO_UNICODE_TRANSLATION, std::system_category());
}

const wchar_t* wideData(std::u16string_view text) {
  return reinterpret_cast<const wchar_t*>(text.data());
}

std::u16string_view u16View(const std::wstring& text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
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

// The errors with which the file system reports that a name leads nowhere.
bool isAbsence(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NETNAME_DELETED:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void throwFileSystemError(const char* operation, const fs::path& path, DWORD error) {
  throw fs::filesystem_error(operation, path,
                             std::error_code(static_cast<int>(error), std::system_category()));
}

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
std::wstring extendedLengthPath(const fs::path& path) {
  const std::wstring& native = path.native();
  if (native.empty()) return native;
  std::wstring full;
  // A name the system cannot make absolute goes as it is, to fail as it would have.
  if (!fillGrowing(full, [&native](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(native.c_str(), size, buffer, nullptr);
      })) {
    return native;
  }
  const std::u16string extended = extendedLengthForm(u16View(full));
  return std::wstring(extended.begin(), extended.end());
}

// Other users' writes and reads are never refused, nor the removal of the temporary log while
// its lock is held: a file of the tool's is opened with no sharing restriction.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a walk treats as a link: a symbolic link or junction, never descended into. Wine marks a
// Unix symbolic link to a folder as a reparse point but gives it no tag; no real reparse point
// has the tag 0. Other reparse points are the files and folders they stand for.
bool isLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT || tag == 0);
}

// Standard output's blocks when it is a file or pipe: each of them at least 64 KB of UTF-8.
constexpr std::size_t kFileBlockUnits = 1 << 16;

// The size of one listing call's buffer: the most that a file share returns in one answer.
constexpr std::size_t kListingBufferBytes = 64 * 1024;

// Opens an existing file or folder, following links unless `flags` says otherwise, with no
// access to its data: that never conflicts with another program's sharing restrictions.
HANDLE openForQuery(const fs::path& path, DWORD flags = 0) {
  return CreateFileW(extendedLengthPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The final path of an open handle, in its usual drive-letter or UNC spelling. Returns the
// system's error code, 0 on success.
DWORD finalPathOf(HANDLE handle, fs::path& result) {
  std::wstring buffer;
  if (!fillGrowing(buffer, [handle](wchar_t* text, DWORD size) {
        return GetFinalPathNameByHandleW(handle, text, size,
                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      })) {
    return GetLastError();
  }
  static const std::wstring kUncPrefix = L"\\\\?\\UNC\\";
  static const std::wstring kLocalPrefix = L"\\\\?\\";
  if (buffer.compare(0, kUncPrefix.size(), kUncPrefix) == 0) {
    result = fs::path(L"\\\\" + buffer.substr(kUncPrefix.size()));
  } else if (buffer.compare(0, kLocalPrefix.size(), kLocalPrefix) == 0) {
    result = fs::path(buffer.substr(kLocalPrefix.size()));
  } else {
    result = fs::path(std::move(buffer));
  }
  return 0;
}

// The final path of an existing entry, links resolved. Returns the system's error code, 0 on
// success.
DWORD resolveExisting(const fs::path& existing, fs::path& resolved) {
  const HANDLE handle = openForQuery(existing);
  DWORD error = 0;
  if (handle != INVALID_HANDLE_VALUE) {
    error = finalPathOf(handle, resolved);
    CloseHandle(handle);
    if (error == 0) return 0;
  } else {
    error = GetLastError();
  }
  // A folder whose contents are denied can be denied as a whole, too (Wine must open the host's
  // folder to open it), and Wine gives no final path longer than about 270 characters
  // (ERROR_MORE_DATA). When the entry is no link, its final path is its parent's followed by its
  // name as stored, and the scan that meets it must still record it before failing to enter it.
  if (error != ERROR_ACCESS_DENIED && error != ERROR_MORE_DATA) return error;
  const fs::path normal = existing.lexically_normal();
  if (!normal.has_relative_path() || !normal.has_filename()) return error;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(extendedLengthPath(normal).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return error;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return error;
  fs::path parent;
  const DWORD parentError = resolveExisting(normal.parent_path(), parent);
  if (parentError != 0) return parentError;
  resolved = parent / found.cFileName;
  return 0;
}

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

void writeAll(HANDLE handle, std::string_view bytes) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD length = static_cast<DWORD>(std::min(bytes.size(), kMaxCallLength));
    if (WriteFile(handle, bytes.data(), length, &written, nullptr) == 0 || written == 0) return;
    bytes.remove_prefix(written);
  }
}

// Writes a block of console text: the console takes the wide text itself.
void writeToConsole(std::u16string_view text) {
  const HANDLE console = consoleOutput();
  while (!text.empty()) {
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 15));
    DWORD written = 0;
    if (WriteConsoleW(console, wideData(text), length, &written, nullptr) == 0 || written == 0) {
      return;
    }
    text.remove_prefix(written);
  }
}

// Writes a block of output for a file or pipe as UTF-8, straight to the handle, so that the C
// runtime's text mode adds no CR.
void writeToFile(std::u16string_view text) {
  writeAll(GetStdHandle(STD_OUTPUT_HANDLE), utf16ToUtf8(text));
}

void flushOutputAtExit();

// Standard output's blocks, for a console or a file alike. Never destroyed: its timer thread may
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

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file.native); }

// What makes an entry something other than a plain file: a folder, a reparse point of any kind
// (symbolic link, junction, or anything a file system driver puts there), a device.
constexpr DWORD kNotPlainAttributes =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

// Whether the file has been removed while another handle still holds it open: it stays, waiting
// for deletion.
bool isDeletePending(HANDLE handle) {
  FILE_STANDARD_INFO standard;
  return GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) != 0 &&
         standard.DeletePending != FALSE;
}

bool isPlainHandle(HANDLE handle) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information) == 0) return false;
  if ((information.dwFileAttributes & kNotPlainAttributes) != 0 ||
      information.nNumberOfLinks != 1) {
    return false;
  }
  return !isDeletePending(handle);
}

bool truncateHandle(HANDLE handle, std::uint64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
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

fs::path systemPath(const fs::path& path) { return fs::path(extendedLengthPath(path)); }

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

std::int64_t currentTime() { return static_cast<std::int64_t>(_time64(nullptr)); }

NarrowText ctimeText(std::int64_t time) {
  const __time64_t t = static_cast<__time64_t>(time);
  char buffer[26] = {};
  _ctime64_s(buffer, sizeof buffer, &t);
  return buffer;
}

std::tm localTime(std::int64_t time) {
  const __time64_t t = static_cast<__time64_t>(time);
  std::tm local{};
  _localtime64_s(&local, &t);
  return local;
}

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

void writeStandardError(std::string_view cp932Text) {
  flushConsole();
  writeAll(GetStdHandle(STD_ERROR_HANDLE), cp932Text);
}

fs::path currentDirectory() {
  // The C runtime's getcwd, which the library's current_path calls, stops at 260 characters.
  std::wstring buffer;
  if (!fillGrowing(buffer,
                   [](wchar_t* text, DWORD size) { return GetCurrentDirectoryW(size, text); })) {
    throw fs::filesystem_error(
        "cannot get current path",
        std::error_code(static_cast<int>(GetLastError()), std::system_category()));
  }
  return fs::path(std::move(buffer));
}

bool pathExists(const fs::path& path) {
  // A name that holds a 0x00 unit cannot exist: the system would read it only up to that unit
  // and find another entry (with "\0x", the working directory itself).
  if (path.native().find(L'\0') != std::wstring::npos) return false;
  const DWORD attributes = GetFileAttributesW(extendedLengthPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (isAbsence(error)) return false;
    throwFileSystemError("status", path, error);
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  // A link exists when its target does.
  const HANDLE handle = openForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (isAbsence(error)) return false;
    throwFileSystemError("status", path, error);
  }
  CloseHandle(handle);
  return true;
}

fs::path weaklyCanonical(const fs::path& path) {
  // The longest leading part that can be opened is resolved; the parts below it are absent.
  fs::path existing = path;
  fs::path rest;
  for (;;) {
    fs::path resolved;
    const DWORD error =
        existing.empty() ? ERROR_PATH_NOT_FOUND : resolveExisting(existing, resolved);
    if (error == 0) return rest.empty() ? resolved : (resolved / rest).lexically_normal();
    if (!isAbsence(error)) throwFileSystemError("cannot make canonical path", path, error);
    if (!existing.has_relative_path()) return path.lexically_normal();
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
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

namespace {

FolderIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  return {
      information.dwVolumeSerialNumber,
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

// The way from the walk's first folder to `folder`, one name at a time, each opened as it stands:
// the first that is a link or no folder is the path where the walk's way has been changed.
void checkWayFromTop(const fs::path& folder, std::size_t topLength) {
  const std::wstring& native = folder.native();
  for (std::size_t at = topLength; at < native.size();) {
    at = native.find_first_of(L"\\/", at + 1);
    if (at == std::wstring::npos) at = native.size();
    const fs::path way(native.substr(0, at));
    const HANDLE handle = CreateFileW(
        extendedLengthPath(way).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      throwFileSystemError("cannot increment recursive directory iterator", way, GetLastError());
    }
    FILE_ATTRIBUTE_TAG_INFO self;
    DWORD error = ERROR_SUCCESS;
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &self, sizeof self) == 0) {
      error = GetLastError();
    } else if ((self.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
               isLink(self.FileAttributes, self.ReparseTag)) {
      error = ERROR_DIRECTORY;
    }
    CloseHandle(handle);
    if (error != ERROR_SUCCESS) {
      throwFileSystemError("cannot increment recursive directory iterator", way, error);
    }
  }
}

}  // namespace

FolderListing readFolder(const fs::path& folder, const ListedFolder* listed) {
  // The folder is listed through a handle of its own. A folder met during the walk was no link
  // when its parent was listed: it is opened as it stands now, never through a link, and refused
  // unless it is still a folder that is no link. The top may be reached through links.
  const bool descending = listed != nullptr;
  const HANDLE handle = CreateFileW(
      extendedLengthPath(folder).c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (descending ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  // The message names the folder in its ordinary form, with the system's own text for the error.
  const auto fail = [&](DWORD error) {
    throwFileSystemError(descending ? "cannot increment recursive directory iterator"
                                    : "recursive directory iterator cannot open directory",
                         folder, error);
  };
  if (handle == INVALID_HANDLE_VALUE) fail(GetLastError());
  FolderListing listing;
  // An entry that is no reparse point, in a folder in the tree of names, resolves to the folder's
  // final path followed by its name as stored; the listing tells every reparse point.
  listing.namesResolve = true;
  DWORD error = ERROR_NO_MORE_FILES;
  try {
    FILE_ATTRIBUTE_TAG_INFO self;
    BY_HANDLE_FILE_INFORMATION own;
    if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &self, sizeof self) == 0 ||
        GetFileInformationByHandle(handle, &own) == 0) {
      error = GetLastError();
    } else if ((self.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
               isLink(self.FileAttributes, self.ReparseTag)) {
      error = ERROR_DIRECTORY;
    } else {
      listing.identity = identityOf(own);
      // Opened by its path, the folder may lie behind a link that has taken the place of a folder
      // on the way. Another folder than the one listed shows that something on the way has
      // changed, or that the listing numbers folders otherwise (some file systems and shares):
      // the way is looked at again, one name at a time.
      if (descending && listed->identity.node != 0 &&
          (listed->identity.device != listing.identity.device ||
           listed->identity.node != listing.identity.node)) {
        checkWayFromTop(folder, listed->topLength);
      }
    }
    // One call returns as many entries as fit: on a file share, one round trip each.
    thread_local std::vector<std::uint64_t> buffer(kListingBufferBytes / sizeof(std::uint64_t));
    const DWORD bufferBytes = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    while (error == ERROR_NO_MORE_FILES) {
      if (GetFileInformationByHandleEx(handle, FileIdBothDirectoryInfo, buffer.data(),
                                       bufferBytes) == 0) {
        error = GetLastError();
        // A drive's root holds no "." or "..": an empty one has nothing to list at all.
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_NO_MORE_FILES;
        break;
      }
      const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
      for (std::size_t at = 0;;) {
        const auto* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
        const std::wstring_view name(found->FileName, found->FileNameLength / sizeof(wchar_t));
        if (name != L"." && name != L"..") {
          const DWORD attributes = found->FileAttributes;
          // With a reparse point, the field of the extended attributes' size holds its tag.
          const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
          const bool link = reparse && isLink(attributes, found->EaSize);
          if (reparse && !link) {
            listing.unresolved.push_back(static_cast<std::uint32_t>(listing.kinds.size()));
          }
          listing.names.append(name).push_back(L'\0');
          listing.kinds.push_back(link                                           ? EntryKind::link
                                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::folder
                                                                                 : EntryKind::file);
          if (listing.kinds.back() == EntryKind::folder) {
            listing.subfolders.push_back(
                {listing.identity.device, static_cast<std::uint64_t>(found->FileId.QuadPart)});
          }
        }
        if (found->NextEntryOffset == 0) break;
        at += found->NextEntryOffset;
      }
    }
  } catch (...) {
    CloseHandle(handle);
    throw;
  }
  CloseHandle(handle);
  if (error != ERROR_NO_MORE_FILES) fail(error);
  return listing;
}

std::size_t pathLengthLimit() { return 32767; }

void lowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written) {
  WideText wide;
  if (!decodeCp932Lenient(bytes, wide)) return false;
  std::string utf8;
  appendUtf8PerUnit(wide, utf8);
  std::copy(utf8.begin(), utf8.end(), out);
  written = utf8.size();
  return true;
}

OpenResult openPlainFile(const fs::path& path, FileMode mode, FileHandle& file) {
  const std::wstring name = extendedLengthPath(path);
  if (mode != FileMode::createNew) {
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotPlainAttributes) != 0) {
      return OpenResult::failed;
    }
  }
  const DWORD access = mode == FileMode::append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  const DWORD disposition = mode == FileMode::createNew ? CREATE_NEW : OPEN_ALWAYS;
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which the check below then refuses.
  const HANDLE handle = CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (mode != FileMode::createNew) return OpenResult::failed;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return OpenResult::nameTaken;
    // A folder under the name refuses the creation as a denied access.
    if (error == ERROR_ACCESS_DENIED &&
        GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return OpenResult::nameTaken;
    }
    return OpenResult::failed;
  }
  if (!isPlainHandle(handle) || (mode == FileMode::replace && !truncateHandle(handle, 0))) {
    const bool removed = GetFileType(handle) == FILE_TYPE_DISK && isDeletePending(handle);
    CloseHandle(handle);
    return removed ? OpenResult::removed : OpenResult::failed;
  }
  file.native = reinterpret_cast<std::intptr_t>(handle);
  return OpenResult::opened;
}

bool openFileToRead(const fs::path& path, FileHandle& file) {
  const HANDLE handle = CreateFileW(extendedLengthPath(path).c_str(), GENERIC_READ, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      GetFileInformationByHandle(handle, &information) == 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return false;
  }
  file.native = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

bool isPlainFile(FileHandle file) { return isPlainHandle(handleOf(file)); }

bool isSameFile(FileHandle file, const fs::path& path) {
  const HANDLE named = openForQuery(path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION opened;
  BY_HANDLE_FILE_INFORMATION found;
  const bool same = GetFileInformationByHandle(handleOf(file), &opened) != 0 &&
                    GetFileInformationByHandle(named, &found) != 0 &&
                    opened.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
                    opened.nFileIndexHigh == found.nFileIndexHigh &&
                    opened.nFileIndexLow == found.nFileIndexLow;
  CloseHandle(named);
  return same;
}

bool writeFile(FileHandle file, std::string_view bytes) {
  const HANDLE handle = handleOf(file);
  LARGE_INTEGER none{};
  if (SetFilePointerEx(handle, none, nullptr, FILE_END) == 0) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD length = static_cast<DWORD>(std::min(bytes.size(), kMaxCallLength));
    if (WriteFile(handle, bytes.data(), length, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool readFile(FileHandle file, std::uint64_t offset, char* out, std::size_t size,
              std::size_t& count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  const DWORD length = static_cast<DWORD>(std::min(size, kMaxCallLength));
  if (ReadFile(handleOf(file), out, length, &read, &at) == 0) {
    if (GetLastError() != ERROR_HANDLE_EOF) return false;
    read = 0;
  }
  count = read;
  return true;
}

bool fileLength(FileHandle file, std::uint64_t& length) {
  LARGE_INTEGER size;
  if (GetFileSizeEx(handleOf(file), &size) == 0) return false;
  length = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool truncateFile(FileHandle file, std::uint64_t length) {
  return truncateHandle(handleOf(file), length);
}

LockResult lockFile(FileHandle file) {
  // Locks on Windows keep other handles from reading and writing the bytes they cover: the lock
  // covers one byte far beyond any log's end, so that it restricts nothing but other lockers.
  OVERLAPPED at{};
  at.OffsetHigh = 0x40000000;
  if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &at) != 0) {
    return LockResult::locked;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? LockResult::heldElsewhere : LockResult::failed;
}

bool closeFile(FileHandle& file) {
  const HANDLE handle = handleOf(file);
  file.native = -1;
  return CloseHandle(handle) != 0;
}

bool removeFile(const fs::path& path) {
  if (DeleteFileW(extendedLengthPath(path).c_str()) != 0) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace pairwick::platform
