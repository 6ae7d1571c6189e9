// The tool's own files on Windows: handles opened with no sharing restriction, never through a
// reparse point.
#include <algorithm>
#include <cstdint>

#include "platform/files.h"
#include "platform/support_win32.h"

namespace pairwick::platform {

namespace fs = std::filesystem;

namespace {

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
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD length = static_cast<DWORD>(std::min(bytes.size(), kMaxCallLength));
    // Each write goes to the end of the file, as an append does, without a seek of its own: on a
    // file share, a seek before every write would be one more round trip each.
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    if (WriteFile(handle, bytes.data(), length, &written, &atEnd) == 0 || written == 0) {
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
