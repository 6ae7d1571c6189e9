// Fuzz target: the configuration reader on arbitrary file bytes, checked against a plain model of
// the first line's rules (text mode, first line only, two comma-separated names, blanks trimmed).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "codec/cp932.h"
#include "config/config_reader.h"
#include "fuzz_support.h"

namespace {

using pairwick::NarrowText;

std::string_view trimmed(std::string_view name) {
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return name;
}

// The log bytes that the reader must write for a file of these bytes, and the names it returns.
std::pair<std::string, std::pair<NarrowText, NarrowText>> model(std::string_view file,
                                                                const NarrowText& configPath) {
  using pairwick::cp932;
  std::string log = cp932(u"[DEBUG] 設定ファイルを開きました: ") + configPath + "\r\n";
  const std::string_view text = file.substr(0, file.find('\x1A'));  // Ctrl-Z ends the text
  if (text.empty()) {
    log += cp932(u"[ERROR] Pairwick_config.csv が空です。") + "\r\n";
    return {log, {}};
  }
  const std::size_t lineFeed = text.find('\n');
  std::string_view line = text.substr(0, lineFeed);
  if (lineFeed != std::string_view::npos && !line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  std::string_view fields[2];
  std::string_view rest = line;
  for (std::string_view& field : fields) {
    const std::size_t comma = rest.find(',');
    field = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (comma == std::string_view::npos) break;
  }
  const std::string_view name1 = trimmed(fields[0]);
  const std::string_view name2 = trimmed(fields[1]);
  if (name1.empty() || name2.empty()) {
    log += cp932(u"[ERROR] Pairwick_config.csv の形式が無効です: ") + std::string(line) + "\r\n";
    return {log, {}};
  }
  log += cp932(u"[DEBUG] 読み込んだフォルダ: ") + std::string(name1) + ", " + std::string(name2) +
         "\r\n";
  return {log, {NarrowText(name1), NarrowText(name2)}};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pairwick::fuzz::silenceConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pairwick::fuzz;
  static const std::string configPath = scratchDirectory() + "/Pairwick_config.csv";
  // An input that begins with 0xFE and a length byte stands for a file whose first bytes are
  // almost 64 KiB of blanks (or of 'x'), so that what follows straddles the reader's pieces.
  std::string padded;
  if (size >= 2 && data[0] == 0xFE) {
    padded.assign(65536 - (data[1] & 0x7F), (data[1] & 0x80) != 0 ? 'x' : ' ');
    padded.append(reinterpret_cast<const char*>(data) + 2, size - 2);
  } else {
    padded.assign(reinterpret_cast<const char*>(data), size);
  }
  const std::string_view file(padded);
  writeFile(configPath, file);

  static const std::string logPath = scratchDirectory() + "/test.log";
  std::remove(logPath.c_str());
  pairwick::DiagnosticsLog errLog;
  pairwick::openDiagnosticsLog(errLog, logPath);
  const pairwick::ConfigNames config = pairwick::readConfig(configPath, errLog);
  const std::pair<std::string, std::string> names(config.folder1, config.folder2);
  pairwick::endDiagnosticsLog(errLog);
  pairwick::releaseDiagnosticsLog(errLog);
  const std::string logged = readFile(logPath);
  const auto expected = model(file, configPath);

  PAIRWICK_FUZZ_CHECK(names == expected.second, "file: " + hex(file.substr(0, 200)) +
                                                    "\nreturned: " + hex(names.first) + "| " +
                                                    hex(names.second));
  PAIRWICK_FUZZ_CHECK(logged == expected.first, "file: " + hex(file) + "\nlog: " + hex(logged) +
                                                    "\nexpected: " + hex(expected.first));
  return 0;
}
