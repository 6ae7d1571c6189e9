// Direct conversions between code page 932 and UTF-8, each through a table made once.
#include "codec/cp932_utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/cp932.h"
#include "codec/utf8.h"

namespace pairwick {
namespace {

// The code page 932 form of every ASCII character, looked up once.
const int* asciiSequences() {
  static const std::vector<int> table = [] {
    std::vector<int> sequences(0x80);
    for (char16_t unit = 0; unit < 0x80; ++unit) sequences[unit] = encodeCp932Unit(unit);
    return sequences;
  }();
  return table.data();
}

// The UTF-8 bytes (count in the last byte) of what the lenient decoder gives for every single
// byte (index 0-255; a lead byte standing alone) and every lead byte followed by another byte
// (index lead << 8 | trail). Made once from the decoder itself, so the two always agree: the
// decoder keeps nothing from one unit to the next.
using Utf8Unit = std::array<char, 4>;

const std::vector<Utf8Unit>& utf8Units() {
  static const std::vector<Utf8Unit> table = [] {
    std::vector<Utf8Unit> units(0x10000);
    const auto fill = [&units](std::size_t index, std::string_view bytes) {
      WideText wide;
      appendCp932Lenient(bytes, wide);
      std::string utf8;
      appendUtf8PerUnit(wide, utf8);
      Utf8Unit& unit = units[index];
      std::copy(utf8.begin(), utf8.end(), unit.begin());
      unit[3] = static_cast<char>(utf8.size());
    };
    for (unsigned byte = 0; byte < 0x100; ++byte)
      fill(byte, std::string(1, static_cast<char>(byte)));
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      if (!isCp932LeadByte(static_cast<unsigned char>(lead))) continue;
      for (unsigned trail = 1; trail < 0x100; ++trail) {
        const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
        fill(lead << 8 | trail, std::string_view(pair, 2));
      }
    }
    return units;
  }();
  return table;
}

}  // namespace

std::size_t cp932LenientToUtf8(std::string_view bytes, char* out) {
  const Utf8Unit* units = utf8Units().data();
  const std::size_t size = bytes.size();
  char* o = out;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < size) {
    // Eight ASCII bytes at a time, and one at a time elsewhere: a log line's Japanese words and
    // the ASCII between them alternate too often for a run to be worth measuring first.
    if (i + 8 <= size) {
      std::uint64_t block;
      std::memcpy(&block, in + i, 8);
      if ((block & 0x8080808080808080u) == 0) {
        std::memcpy(o, &block, 8);
        o += 8;
        i += 8;
        continue;
      }
    }
    while (i < size && in[i] < 0x80) *o++ = static_cast<char>(in[i++]);
    if (i == size) break;
    const unsigned char byte = in[i];
    std::size_t index = byte;
    if (isCp932LeadByte(byte) && i + 1 < size && in[i + 1] != 0) {
      index = static_cast<std::size_t>(byte) << 8 | in[i + 1];
      ++i;
    }
    ++i;
    // Three bytes are copied whatever the length: the room for three bytes per byte allows it.
    const Utf8Unit& unit = units[index];
    std::memcpy(o, unit.data(), 3);
    o += static_cast<unsigned char>(unit[3]);
  }
  return static_cast<std::size_t>(o - out);
}

bool appendUtf8NameAsCp932(std::string_view utf8, NarrowText& out) {
  // utf8ToUtf16Strict and encodeCp932Strict in one pass, with nothing allocated per name.
  const int* ascii = asciiSequences();
  const std::size_t size = utf8.size();
  for (std::size_t i = 0; i < size;) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    int sequence;
    if (lead < 0x80) {
      if (lead >= 0x01 && lead <= 0x1F) return false;
      sequence = ascii[lead];
      ++i;
    } else {
      char32_t value;
      const std::size_t length = decodeUtf8Char(utf8, i, value);
      // Characters beyond U+FFFF lie outside the 16-bit units that code page 932 can hold.
      if (length == 0 || value > 0xFFFF) return false;
      sequence = encodeCp932Unit(static_cast<char16_t>(value));
      i += length;
    }
    if (sequence < 0) return false;
    if (sequence >= 0x100) out.push_back(static_cast<char>(sequence >> 8));
    out.push_back(static_cast<char>(sequence & 0xFF));
  }
  return true;
}

}  // namespace pairwick
