// The console's own share of the Windows benchmark: writes a UTF-8 text file to standard output
// and does nothing else. To a console, the text goes as UTF-16 through WriteConsoleW in blocks of
// 8,192 units, as pairwick writes it; to a file or pipe, as it is. Given the console lines of a
// run, it shows what the console costs by itself. Usage: console_floor.exe FILE
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <string>

namespace {

constexpr DWORD kBlockUnits = 8192;

bool readWhole(const wchar_t* name, std::string& bytes) {
  const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool read = GetFileSizeEx(file, &size) != 0;
  if (read) bytes.resize(static_cast<std::size_t>(size.QuadPart));
  for (std::size_t at = 0; read && at < bytes.size();) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 30));
    read = ReadFile(file, &bytes[at], want, &got, nullptr) != 0 && got > 0;
    at += got;
  }
  CloseHandle(file);
  return read;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string bytes;
  if (argc != 2 || !readWhole(argv[1], bytes)) return 1;
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetFileType(output) == FILE_TYPE_CHAR && GetConsoleMode(output, &mode) != 0) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], units);
    for (std::size_t at = 0; at < text.size();) {
      DWORD written = 0;
      const DWORD length = static_cast<DWORD>(std::min<std::size_t>(text.size() - at, kBlockUnits));
      if (WriteConsoleW(output, text.data() + at, length, &written, nullptr) == 0 || written == 0) {
        return 1;
      }
      at += written;
    }
    return 0;
  }
  for (std::size_t at = 0; at < bytes.size();) {
    DWORD written = 0;
    const DWORD length = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
    if (WriteFile(output, bytes.data() + at, length, &written, nullptr) == 0 || written == 0) {
      return 1;
    }
    at += written;
  }
  return 0;
}
