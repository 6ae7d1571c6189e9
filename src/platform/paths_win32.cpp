// Paths on Windows: extended-length forms, the working directory, existence and final paths.
#include <algorithm>
#include <string>
#include <system_error>

#include "platform/paths.h"
#include "platform/support_win32.h"
#include "platform/windows_path.h"

namespace pairwick::platform {

namespace fs = std::filesystem;

namespace {

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

// The length of the root of an extended-length path, its separator included: \\?\C:\,
// \\?\UNC\server\share\ or \\?\Volume{...}\. No name above it can be cut off.
std::size_t rootLength(const std::wstring& system) {
  static const std::wstring kUncPrefix = L"\\\\?\\UNC\\";
  std::size_t at = 4;  // past the \\?\ prefix
  if (system.compare(0, kUncPrefix.size(), kUncPrefix) == 0) {
    at = system.find(L'\\', kUncPrefix.size());  // past the server
    if (at != std::wstring::npos) ++at;
  }
  if (at != std::wstring::npos) at = system.find(L'\\', at);
  return at == std::wstring::npos ? system.size() : at + 1;
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

// The final path of the existing entry at `system`, an extended-length path taken as it stands,
// links resolved. Returns the system's error code, 0 on success.
DWORD resolveExisting(const std::wstring& system, fs::path& resolved) {
  const HANDLE handle = CreateFileW(system.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
  const std::size_t name = system.find_last_of(L'\\');
  if (name == std::wstring::npos || name + 1 == system.size() || name < rootLength(system)) {
    return error;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(system.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return error;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return error;
  fs::path parent;
  const DWORD parentError =
      resolveExisting(system.substr(0, std::max(name, rootLength(system))), parent);
  if (parentError != 0) return parentError;
  resolved = parent / found.cFileName;
  return 0;
}

}  // namespace

fs::path systemPath(const fs::path& path) { return fs::path(extendedLengthPath(path)); }

fs::path joinPath(const fs::path& base, const fs::path& name) {
  // The library's operator/ gives "\\server\share" no root name, and so appends a share's path
  // to the base's drive.
  const std::u16string joined = appendWindowsPath(u16View(base.native()), u16View(name.native()));
  return fs::path(std::wstring(joined.begin(), joined.end()));
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

fs::path weaklyCanonical(const fs::path& path, std::size_t topLength) {
  // The longest leading part that can be opened is resolved; the parts below it are absent. The
  // parts are cut from the extended-length form, where the names below the top stand as listed.
  const std::wstring system = extendedLengthPath(path, topLength);
  const std::size_t root = rootLength(system);
  for (std::size_t end = system.size();;) {
    fs::path resolved;
    const DWORD error = resolveExisting(system.substr(0, end), resolved);
    if (error == 0) {
      if (end == system.size()) return resolved;
      return (resolved / fs::path(system.substr(end + (system[end] == L'\\' ? 1 : 0))))
          .lexically_normal();
    }
    if (!isAbsence(error)) throwFileSystemError("cannot make canonical path", path, error);
    if (end <= root) return path.lexically_normal();
    const std::size_t name = system.rfind(L'\\', end - 1);
    // Cut at the last separator; the root keeps its own.
    end = name == std::wstring::npos || name < root ? root : name;
  }
}

std::size_t pathLengthLimit() { return 32767; }

}  // namespace pairwick::platform
