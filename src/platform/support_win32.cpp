// The helpers that the Windows implementation files share.
#include "platform/support_win32.h"

#include <system_error>

#include "platform/windows_path.h"

namespace pairwick::platform {

namespace fs = std::filesystem;

[[noreturn]] void throwFileSystemError(const char* operation, const fs::path& path, DWORD error) {
  throw fs::filesystem_error(operation, path,
                             std::error_code(static_cast<int>(error), std::system_category()));
}

std::wstring extendedLengthPath(const fs::path& path) {
  const std::wstring& native = path.native();
  // An extended-length path goes as written: the system reads it without the rules for typed
  // paths, and so must this.
  if (native.empty() || isExtendedLength(u16View(native))) return native;
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

std::wstring extendedLengthPath(const fs::path& path, std::size_t topLength) {
  const std::wstring& native = path.native();
  if (topLength >= native.size()) return extendedLengthPath(path);
  std::wstring extended = extendedLengthPath(fs::path(native.substr(0, topLength)));
  // Made absolute, the top keeps a separator at its end where it was written with one, and the
  // walk joins the first name without another there.
  extended.append(native, topLength, std::wstring::npos);
  return extended;
}

HANDLE openForQuery(const fs::path& path, DWORD flags) {
  return CreateFileW(extendedLengthPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

}  // namespace pairwick::platform
