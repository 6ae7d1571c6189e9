// Helpers shared by the unit tests: the log's form of a text, a whole file's bytes, small files and
// a fresh scratch folder of each test's own. Header only, so that it stays out of the library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <vector>

#include "codec/text_types.h"
#include "compare/folder_contents.h"
#include "log/diagnostics_log.h"
#include "platform/code_page.h"
#include "platform/files.h"

namespace pairwick::testing_support {

// The log's form of a text: every line feed written as CR LF, as writeLog writes it.
inline NarrowText crlf(const NarrowText& text) {
  NarrowText out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// What a test reads back of a file at most, unless it says otherwise: a file that grew past it
// holds writes in the wrong place (at an offset of 4 GiB), which must fail the test rather than
// fill the machine's memory.
constexpr std::uintmax_t kReadBackLimit = 16u << 20;

// The whole file's bytes, as written (empty for a file that cannot be opened). A file longer than
// `limit` fails the test and gives only its first KiB, to be shown as what was found.
inline std::string readFile(const std::filesystem::path& path,
                            std::uintmax_t limit = kReadBackLimit) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    const auto count = static_cast<std::uintmax_t>(in.gcount());
    if (bytes.size() + count > limit) {
      ADD_FAILURE() << path.u8string() << " holds more than the " << limit
                    << " bytes read back of it";
      bytes.append(buffer, static_cast<std::size_t>(count));
      bytes.resize(1024);
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  return bytes;
}

// Writes `bytes` as the whole of the file `path`.
inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A small file of one byte, for tests that only need an entry to exist.
inline void touch(const std::filesystem::path& path) {
  std::ofstream(path, std::ios::binary) << "x";
}

// A folder below the temporary directory (or `parent`) that did not exist before: a random number
// after `prefix`, drawn again while the name is taken, so that no test sees another's leftovers.
inline std::filesystem::path makeScratchFolder(
    const std::string& prefix,
    const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
  std::random_device random;
  std::filesystem::path folder;
  do {
    folder = parent / (prefix + std::to_string(random()));
  } while (!std::filesystem::create_directory(folder));
  return folder;
}

// Opens errLog on a new, empty file at `path`. Every line reaches the file as it is written, so
// readFile(path) shows what a step has logged so far.
inline void openTestLog(DiagnosticsLog& errLog, const std::filesystem::path& path) {
  std::filesystem::remove(path);
  openDiagnosticsLog(errLog, platform::narrowPath(path));
}

// The paths of a FolderContents, in its order.
inline std::vector<NarrowText> pathsOf(const FolderContents& contents) {
  std::vector<NarrowText> paths(pathCount(contents));
  NarrowText path;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    advanceToPath(contents, i, path);
    paths[i] = path;
  }
  return paths;
}

// A FolderContents holding `paths`, which are in order.
inline FolderContents contentsOf(const std::vector<NarrowText>& paths) {
  FolderContents contents;
  for (const NarrowText& path : paths) addInOrder(contents, path);
  return contents;
}

}  // namespace pairwick::testing_support
