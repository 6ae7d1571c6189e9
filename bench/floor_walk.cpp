// The floor of the Windows benchmark: the least a program must do to list two trees. A plain
// recursive walk with FindFirstFileExW (basic information, large fetch) that writes the full path
// of every entry as a UTF-8 line to standard output, in writes of 1 MB. Links and junctions are
// listed but not descended into. Usage: floor_walk.exe FOLDER...
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace {

constexpr std::size_t kWriteSize = 1 << 20;

struct Output {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string pending;

  void flush() {
    const char* data = pending.data();
    std::size_t left = pending.size();
    while (left > 0) {
      DWORD written = 0;
      if (WriteFile(handle, data, static_cast<DWORD>(left), &written, nullptr) == 0) break;
      data += written;
      left -= written;
    }
    pending.clear();
  }

  void line(const std::wstring& path) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                         nullptr, 0, nullptr, nullptr);
    const std::size_t at = pending.size();
    pending.resize(at + static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &pending[at], size,
                        nullptr, nullptr);
    pending.push_back('\n');
    if (pending.size() >= kWriteSize) flush();
  }
};

void walk(const std::wstring& folder, Output& output) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* name = found.cFileName;
    if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
    const std::wstring path = folder + L"\\" + name;
    output.line(path);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      walk(path, output);
    }
  } while (FindNextFileW(search, &found) != 0);
  FindClose(search);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Output output;
  output.pending.reserve(kWriteSize + 65536);
  for (int i = 1; i < argc; ++i) walk(argv[i], output);
  output.flush();
  return 0;
}
