// Turns the temporary code page 932 log into the final UTF-8 log and removes the temporary file.
#include "log/log_finalisation.h"

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/platform.h"
#include "text/cp932.h"
#include "text/utf8_file.h"

namespace pairwick {
namespace {

// The temporary log holds every run since the last successful finalisation and may be large;
// it passes through in pieces of this size, so memory stays bounded whatever its length.
constexpr std::size_t kChunkSize = std::size_t{1} << 20;

[[noreturn]] void fail(std::u16string_view message) { throw std::runtime_error(cp932(message)); }

// Length of the longest prefix of `bytes` that ends on a unit boundary, when more bytes follow.
// Only a lead byte in the last position can begin a unit that the next chunk completes. Any byte
// outside the lead range ends a unit (as a character of its own, as a trail byte, or as the 0x00
// after a lone lead byte), so a boundary follows the last such byte; from there on, the bytes in
// the lead range pair up, and the last byte begins a unit exactly when their number is odd. The
// chunk's start is itself a boundary.
std::size_t completeUnitsLength(std::string_view bytes) {
  std::size_t run = 0;
  while (run < bytes.size() &&
         isCp932LeadByte(static_cast<unsigned char>(bytes[bytes.size() - 1 - run]))) {
    ++run;
  }
  return run % 2 == 1 ? bytes.size() - 1 : bytes.size();
}

// Reads up to `chunkSize` more bytes after what `pending` holds. True at the end of the file.
bool readChunk(std::ifstream& inFile, std::string& pending, std::size_t chunkSize) {
  const std::size_t kept = pending.size();
  pending.resize(kept + chunkSize);
  inFile.read(&pending[kept], static_cast<std::streamsize>(chunkSize));
  pending.resize(kept + static_cast<std::size_t>(inFile.gcount()));
  // A read error (on POSIX a directory opens as a file and fails here) must not pass for the
  // end of an empty log, or the temporary "log" would be removed.
  if (inFile.bad() || (inFile.fail() && !inFile.eof())) {
    fail(u"一時ログファイルを読み込めませんでした。");
  }
  return inFile.eof();
}

// Converts the complete units of `pending` into UTF-8 in `converted` and keeps only the
// carried-over lead byte in `pending`; at the end of the file everything is converted.
void decodePending(std::string& pending, bool atEnd, std::string& converted) {
  const std::size_t length = atEnd ? pending.size() : completeUnitsLength(pending);
  converted.clear();
  // The platform's own converter, as everywhere else that code page 932 is read leniently, so
  // that the final log shows the same substitute characters as the console and the report; each
  // unit is then written as UTF-8 on its own, as in every UTF-8 text file, in the same pass.
  // Converting unit-aligned pieces gives exactly what converting the whole log at once gives,
  // because the converter keeps no state from one unit to the next.
  if (length > 0 &&
      !platform::decodeCp932LenientToUtf8(std::string_view(pending).substr(0, length), converted)) {
    fail(u"Shift-JIS から wstring への変換失敗。");
  }
  pending.erase(0, length);
}

void removeTemporaryLog(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::remove(path, error);
  // A file that is already gone counts as removed: remove() reports that as no error.
  if (error) throw std::filesystem::filesystem_error("remove", path, error);
}

}  // namespace

namespace detail {

// convertLogToUTF8 with the chunk size as a parameter, so that the tests can put chunk
// boundaries anywhere.
void convertLogToUTF8InChunks(const NarrowText& tempLogPath, const NarrowText& finalLogPath,
                              std::size_t chunkSize) {
  try {
    const std::filesystem::path tempPath = platform::pathFromNarrow(tempLogPath);
    std::ifstream inFile(tempPath, std::ios::binary);
    if (!inFile.is_open()) fail(u"一時ログファイルを開けませんでした。");

    // The first piece is read and converted before the final log is opened, so that a log that
    // cannot be read or converted leaves the previous final log as it was.
    std::string pending;
    std::string converted;
    bool atEnd = readChunk(inFile, pending, chunkSize);
    decodePending(pending, atEnd, converted);

    std::ofstream outFile;
    openUtf8TextFile(outFile, finalLogPath);
    if (!outFile.is_open()) fail(u"UTF-8 ログファイルを開けませんでした。");
    writeUtf8(outFile, u"\uFEFF");
    for (;;) {
      outFile.write(converted.data(), static_cast<std::streamsize>(converted.size()));
      if (atEnd || !outFile) break;
      atEnd = readChunk(inFile, pending, chunkSize);
      decodePending(pending, atEnd, converted);
    }
    inFile.close();

    // A full disk shows only here, as a failed write or a failed flush at close. The final log is
    // then incomplete, and the temporary log must stay for the next run to carry over.
    outFile.close();
    if (outFile.fail()) fail(u"UTF-8 ログファイルに書き込めませんでした。");

    removeTemporaryLog(tempPath);
  } catch (const std::exception&) {
    try {
      static const NarrowText notice =
          cp932(u"ログファイルの変換中にエラーが発生しました。一時ファイルを確認してください: ");
      platform::writeStandardError(notice + tempLogPath + "\n");
    } catch (const std::exception&) {
      // Nothing is left to report to: finalisation never lets a failure out.
    }
  }
}

}  // namespace detail

void convertLogToUTF8(const NarrowText& tempLogPath, const NarrowText& finalLogPath,
                      std::ostream& errLog) {
  // errLog is closed by now, and its file is the one being converted: nothing that finalisation
  // could say about itself would be recorded, so it says nothing there.
  (void)errLog;
  detail::convertLogToUTF8InChunks(tempLogPath, finalLogPath, kChunkSize);
}

}  // namespace pairwick
