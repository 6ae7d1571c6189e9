// Turns the temporary code page 932 log into the final UTF-8 log and removes the temporary file.
#include "log/log_finalisation.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "codec/cp932.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/files.h"

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

// Where memory has run out, as it may have for the run that ends, the log passes in pieces of
// this size through buffers that are always there.
constexpr std::size_t kReserveChunkSize = std::size_t{1} << 14;

// The temporary log's bytes on their way through: up to one chunk read after the lead byte
// carried over from the chunk before, and room for their conversion. Plain arrays, so that the
// hundreds of megabytes that pass are neither zero-filled nor copied twice.
struct Buffers {
  std::size_t chunkSize;
  char* input;   // chunkSize + 1 bytes
  char* output;  // 3 * (chunkSize + 1) bytes
};

// Reads up to a chunk more bytes of the log, from `offset` on, after the `kept` bytes that
// `input` holds; returns the new count, and sets `atEnd` at the end of the file.
std::size_t readChunk(platform::FileHandle file, std::uint64_t& offset, char* input,
                      std::size_t chunkSize, std::size_t kept, bool& atEnd) {
  std::size_t filled = 0;
  atEnd = false;
  while (filled < chunkSize) {
    std::size_t count = 0;
    // A read error must not pass for the end of the log, or lines would be dropped.
    if (!platform::readFile(file, offset, input + kept + filled, chunkSize - filled, count)) {
      fail(u"一時ログファイルを読み込めませんでした。");
    }
    if (count == 0) {
      atEnd = true;
      break;
    }
    filled += count;
    offset += count;
  }
  return kept + filled;
}

// Converts the complete units of input[0, count) into UTF-8 in `output`, whose length it
// returns, and moves the carried-over lead byte, if any, to the front of `input`, setting `kept`;
// at the end of the file everything is converted.
std::size_t convertPending(char* input, std::size_t count, bool atEnd, char* output,
                           std::size_t& kept) {
  const std::size_t length = atEnd ? count : completeUnitsLength(std::string_view(input, count));
  std::size_t written = 0;
  // The platform's own converter, as everywhere else that code page 932 is read leniently, so
  // that the final log shows the same substitute characters as the console and the report; each
  // unit is then written as UTF-8 on its own, as in every UTF-8 text file, in the same pass.
  // Converting unit-aligned pieces gives exactly what converting the whole log at once gives,
  // because the converter keeps no state from one unit to the next.
  if (length > 0 &&
      !platform::decodeCp932LenientToUtf8(std::string_view(input, length), output, written)) {
    fail(u"Shift-JIS から wstring への変換失敗。");
  }
  kept = count - length;
  if (kept > 0) input[0] = input[length];
  return written;
}

}  // namespace

void convertLogToUTF8(const NarrowText& tempLogPath, const NarrowText& finalLogPath,
                      DiagnosticsLog& errLog) {
  // errLog has ended by now, and its file is the one being converted: nothing that finalisation
  // could say about itself would be recorded, so it says nothing there.
  platform::FileHandle outFile;
  try {
    // The log is read back through the open file that the run wrote and still holds locked, once
    // it has passed the same checks as at its opening: still a plain file of the tool's own, and
    // still the one its name leads to.
    const std::filesystem::path tempPath = platform::pathFromNarrow(tempLogPath);
    if (!platform::isPlainFile(errLog.file) || !platform::isSameFile(errLog.file, tempPath)) {
      fail(u"一時ログファイルを開けませんでした。");
    }

    // The first piece is read and converted before the final log is opened, so that a log that
    // cannot be read or converted leaves the previous final log as it was.
    // At most one lead byte is carried over from one chunk to the next.
    static char reserveInput[kReserveChunkSize + 1];
    static char reserveOutput[3 * (kReserveChunkSize + 1)];
    const std::unique_ptr<char[]> input(new (std::nothrow) char[kChunkSize + 1]);
    const std::unique_ptr<char[]> output(new (std::nothrow) char[3 * (kChunkSize + 1)]);
    const Buffers buffers = input && output
                                ? Buffers{kChunkSize, input.get(), output.get()}
                                : Buffers{kReserveChunkSize, reserveInput, reserveOutput};
    std::uint64_t offset = 0;
    std::size_t kept = 0;
    bool atEnd = false;
    std::size_t count =
        readChunk(errLog.file, offset, buffers.input, buffers.chunkSize, kept, atEnd);
    std::size_t converted = convertPending(buffers.input, count, atEnd, buffers.output, kept);

    // Only a plain file of the tool's own is emptied and written: never a link's target, a file
    // with other names, a FIFO or a device.
    if (platform::openPlainFile(platform::pathFromNarrow(finalLogPath), platform::FileMode::replace,
                                outFile) != platform::OpenResult::opened) {
      fail(u"UTF-8 ログファイルを開けませんでした。");
    }
    // U+FEFF in UTF-8, as every UTF-8 text file of the tool begins.
    bool written = platform::writeFile(outFile, "\xEF\xBB\xBF");
    for (;;) {
      written =
          written && platform::writeFile(outFile, std::string_view(buffers.output, converted));
      if (atEnd || !written) break;
      count = readChunk(errLog.file, offset, buffers.input, buffers.chunkSize, kept, atEnd);
      converted = convertPending(buffers.input, count, atEnd, buffers.output, kept);
    }
    // A full disk shows here. The final log is then incomplete, and the temporary log must stay
    // for the next run to carry over.
    const bool closed = platform::closeFile(outFile);
    if (!written || !closed) fail(u"UTF-8 ログファイルに書き込めませんでした。");

    if (!platform::removeFile(tempPath)) {
      // A file share may refuse to remove a file that is open (Samba, for a client that opened it
      // without delete sharing): the log is let go and removed by name. One that still cannot be
      // removed is kept as it is, for the next run to carry over, as one that the folder
      // forbids removing is.
      if (!platform::closeFile(errLog.file) || !platform::removeFile(tempPath)) {
        fail(u"一時ログファイルを削除できませんでした。");
      }
    }
    // Where a removed file lives on while it is open (Windows), a run that opened it before the
    // removal takes the lock once this run lets go, and appends: it must find it empty, or these
    // lines would pass into a second final log.
    if (errLog.file.native != -1) platform::truncateFile(errLog.file, 0);
  } catch (const std::exception&) {
    if (outFile.native != -1) platform::closeFile(outFile);
    try {
      static const NarrowText notice =
          cp932(u"ログファイルの変換中にエラーが発生しました。一時ファイルを確認してください: ");
      platform::writeStandardError(notice + tempLogPath + "\n");
    } catch (const std::exception&) {
      // Nothing is left to report to: finalisation never lets a failure out.
    }
  }
}

}  // namespace pairwick
