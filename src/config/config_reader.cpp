// Reads the two folder names from the first line of the configuration file.
#include "config/config_reader.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "codec/cp932.h"
#include "log/diagnostics_log.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/files.h"
#include "text/shift_jis.h"

namespace pairwick {
namespace {

// Ctrl-Z: the end of the text, as the platform's text mode reads a file.
constexpr char kEndOfText = '\x1A';

// The first line may be very long; it is read in pieces of this size, and never further than
// its end.
constexpr std::size_t kChunkSize = 64 * 1024;

// Lines are written in pieces, so that a very long first line or name is never copied into a
// second, even longer line just to be shown.
void showLine(std::initializer_list<std::u16string_view> pieces) {
  for (const std::u16string_view piece : pieces) platform::writeConsole(piece);
}

void logLine(DiagnosticsLog& errLog, std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) writeLog(errLog, piece);
}

// The configuration file while it is read: closed however the reading ends.
struct OpenConfiguration {
  platform::FileHandle file;
  ~OpenConfiguration() {
    if (file.native != -1) platform::closeFile(file);
  }
};

// Reads the first line of the file named `configPath` as the platform's text mode delivers it:
// CR LF is one LF, a lone CR stays, Ctrl-Z ends the text. The file is read as bytes so that
// every platform gets the same ones. Returns false when the file cannot be opened or read
// (anything but a regular file among them, and one reached through a link of another user);
// `hasText` tells whether the text holds any byte at all, a line feed included.
//
// The line is measured first and then read once into a string of exactly its size: a hostile
// first line of hundreds of megabytes then costs its own size in memory, not the twice as much
// that growing a string piece by piece needs at the moment it moves.
bool readFirstLine(const NarrowText& configPath, NarrowText& line, bool& hasText) {
  line.clear();
  hasText = false;
  std::filesystem::path path;
  try {
    path = platform::pathFromNarrow(configPath);
  } catch (const std::system_error&) {
    return false;  // A name that cannot be a path names no file that could be opened.
  }
  // Only a regular file is a configuration file. Some platforms open a directory for reading
  // and then deliver no bytes, which would pass for an empty file; a device such as /dev/zero
  // has no end, and a FIFO blocks its reader until someone writes to it.
  OpenConfiguration configFile;
  if (!platform::openFileToRead(path, configFile.file)) return false;

  std::size_t length = 0;
  bool endsInLineFeed = false;
  {
    std::string chunk(kChunkSize, '\0');
    for (;;) {
      std::size_t count = 0;
      // A read error: the text cannot be trusted.
      if (!platform::readFile(configFile.file, length, &chunk[0], chunk.size(), count)) {
        return false;
      }
      if (count == 0) break;  // End of file.
      const char* const begin = chunk.data();
      const char* const end = begin + count;
      const char* const stop =
          std::find_if(begin, end, [](char byte) { return byte == '\n' || byte == kEndOfText; });
      length += static_cast<std::size_t>(stop - begin);
      if (stop != end) {
        endsInLineFeed = *stop == '\n';
        break;
      }
    }
  }

  line.resize(length);
  std::size_t filled = 0;
  while (filled < length) {
    std::size_t count = 0;
    if (!platform::readFile(configFile.file, filled, &line[filled], length - filled, count)) {
      return false;
    }
    // A file that shrank in between gives what it still holds.
    if (count == 0) break;
    filled += count;
  }
  line.resize(filled);
  // Only the CR right before the first LF can belong to a CR LF pair within the line.
  if (endsInLineFeed && !line.empty() && line.back() == '\r') line.pop_back();
  hasText = endsInLineFeed || !line.empty();
  return true;
}

// Narrows `name` past the spaces and tabs at both ends, and nothing else.
void trimBlanks(std::string_view& name) {
  static constexpr std::string_view kBlanks = " \t";
  const std::size_t first = name.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    name = {};
    return;
  }
  name = name.substr(first, name.find_last_not_of(kBlanks) - first + 1);
}

// The lines for a file that could not be opened or read.
void reportNotOpened(const NarrowText& configPath, DiagnosticsLog& errLog) {
  static const NarrowText kNotOpened = cp932(u"[ERROR] 設定ファイルを開けませんでした: ");
  showLine({u"設定ファイル (Pairwick_config.csv) が見つかりませんでした。\n"});
  logLine(errLog, {kNotOpened, configPath, "\n"});
}

// The lines for a file that was opened; false, after the lines for its failure, when its path
// cannot be shown.
bool announceOpened(const NarrowText& configPath, DiagnosticsLog& errLog) {
  try {
    static const NarrowText kOpened = cp932(u"[DEBUG] 設定ファイルを開きました: ");
    // The prefix goes out before the conversion, which may log a failure line of its own.
    platform::writeConsole(u"設定ファイルを開きました: ");
    platform::writeConsole(shiftJISToWstring(configPath, errLog, "config path"));
    platform::writeConsole(u"\n");
    logLine(errLog, {kOpened, configPath, "\n"});
    return true;
  } catch (const std::exception& failure) {
    static const NarrowText kPathError = cp932(u"[ERROR] ファイルパス変換エラー: ");
    const NarrowText message = platform::narrowMessage(failure);
    showLine({u"[WARNING] ファイルパス変換エラー: ", widenMessage(message), u"\n"});
    logLine(errLog, {kPathError, configPath, " (", message, ")\n"});
    return false;
  }
}

void reportEmpty(DiagnosticsLog& errLog) {
  static const NarrowText kEmpty = cp932(u"[ERROR] Pairwick_config.csv が空です。\n");
  showLine({u"[ERROR] Pairwick_config.csv が空です。\n"});
  logLine(errLog, {kEmpty});
}

// The two names of the first line, trimmed; views into the line, so that a malformed line of any
// length is never copied.
struct NameViews {
  std::string_view folder1;
  std::string_view folder2;
};

// Every comma separates: no quoting, no escaping; a second comma ends the second name.
NameViews splitNames(std::string_view line) {
  NameViews names{line, {}};
  const std::size_t comma = line.find(',');
  if (comma != std::string_view::npos) {
    names.folder1 = line.substr(0, comma);
    names.folder2 = line.substr(comma + 1);
    names.folder2 = names.folder2.substr(0, names.folder2.find(','));
  }
  trimBlanks(names.folder1);
  trimBlanks(names.folder2);
  return names;
}

void reportMalformed(const NarrowText& line, DiagnosticsLog& errLog) {
  static const NarrowText kMalformed = cp932(u"[ERROR] Pairwick_config.csv の形式が無効です: ");
  showLine(
      {u"[ERROR] Pairwick_config.csv の形式が無効です。2つのフォルダ名をカンマ区切りで指定"
       u"してください。\n"});
  logLine(errLog, {kMalformed, line, "\n"});
}

// The lines that show the names read. Only showing them can fail here: the names are still
// returned, and the driver decides.
void showNames(const ConfigNames& names, const NarrowText& line, DiagnosticsLog& errLog) {
  try {
    static const NarrowText kRead = cp932(u"[DEBUG] 読み込んだフォルダ: ");
    const WideText wFolder1 = shiftJISToWstring(names.folder1, errLog, "folder1");
    const WideText wFolder2 = shiftJISToWstring(names.folder2, errLog, "folder2");
    showLine({u"読み込んだフォルダ: ", wFolder1, u", ", wFolder2, u"\n"});
    logLine(errLog, {kRead, names.folder1, ", ", names.folder2, "\n"});
  } catch (const std::exception& failure) {
    static const NarrowText kNamesError = cp932(u"[ERROR] フォルダ名変換エラー: ");
    const NarrowText message = platform::narrowMessage(failure);
    showLine({u"[WARNING] フォルダ名変換エラー: ", widenMessage(message), u"\n"});
    logLine(errLog, {kNamesError, line, " (", message, ")\n"});
  }
}

}  // namespace

ConfigNames readConfig(const NarrowText& configPath, DiagnosticsLog& errLog) {
  NarrowText line;
  bool hasText = false;
  if (!readFirstLine(configPath, line, hasText)) {
    reportNotOpened(configPath, errLog);
    return {};
  }
  if (!announceOpened(configPath, errLog)) return {};
  if (!hasText) {
    reportEmpty(errLog);
    return {};
  }
  const NameViews views = splitNames(line);
  if (views.folder1.empty() || views.folder2.empty()) {
    reportMalformed(line, errLog);
    return {{}, {}, foreignEncodingOf(line)};
  }
  ConfigNames names{NarrowText(views.folder1), NarrowText(views.folder2)};
  showNames(names, line, errLog);
  names.savedAs = foreignEncodingOf(line);
  return names;
}

}  // namespace pairwick
