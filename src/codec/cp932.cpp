// Table-driven code page 932 conversions that reproduce the target platform's results exactly.
#include "codec/cp932.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "codec/cp932_tables.h"

namespace pairwick {
namespace {

constexpr char16_t kNoSingleByte = 0xFFFF;
constexpr std::uint16_t kNoSequence = 0xFFFF;  // 0xFF is never a lead byte
// The platform's substitute for an undecodable unit in lenient decoding.
constexpr char16_t kSubstitute = 0x30FB;

// The character of lead followed by trail, or 0 when the pair has no mapping.
char16_t decodePair(unsigned char lead, unsigned char trail) {
  if (trail < cp932_tables::kFirstTrail || trail > cp932_tables::kLastTrail) return 0;
  return cp932_tables::kDoubleByte[cp932_tables::leadRow(lead) * cp932_tables::kTrailCount +
                                   (trail - cp932_tables::kFirstTrail)];
}

using EncodeTable = std::array<std::uint16_t, 0x10000>;

EncodeTable buildEncodeTable() {
  EncodeTable table;
  table.fill(kNoSequence);
  for (unsigned byte = 0; byte < 256; ++byte) {
    const char16_t unit = cp932_tables::kSingleByte[byte];
    if (unit != kNoSingleByte) table[unit] = static_cast<std::uint16_t>(byte);
  }
  for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
    if (!isCp932LeadByte(static_cast<unsigned char>(lead))) continue;
    for (unsigned trail = cp932_tables::kFirstTrail; trail <= cp932_tables::kLastTrail; ++trail) {
      const char16_t unit =
          decodePair(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
      if (unit != 0 && table[unit] == kNoSequence) {
        table[unit] = static_cast<std::uint16_t>(lead << 8 | trail);
      }
    }
  }
  // The platform encodes the four characters that 0xA0 and 0xFD-0xFF decode to leniently, and
  // they survive its no-best-fit check because they decode back to themselves.
  table[0xF8F0] = 0xA0;
  for (unsigned byte = 0xFD; byte <= 0xFF; ++byte) table[0xF8F1 + byte - 0xFD] = byte;
  // Characters with several sequences (NEC and IBM duplicates) take the platform's choice.
  for (std::size_t i = 0; i < cp932_tables::kPreferredCount; ++i) {
    const std::uint16_t sequence = cp932_tables::kPreferredSequences[i];
    const char16_t unit = sequence < 0x100
                              ? cp932_tables::kSingleByte[sequence]
                              : decodePair(static_cast<unsigned char>(sequence >> 8),
                                           static_cast<unsigned char>(sequence & 0xFF));
    table[unit] = sequence;
  }
  return table;
}

const EncodeTable& encodeTable() {
  static const EncodeTable table = buildEncodeTable();
  return table;
}

}  // namespace

bool endsWithWholeCp932Character(std::string_view bytes) {
  std::size_t i = 0;
  bool loneLead = false;
  while (i < bytes.size()) {
    i += asciiRunLength(bytes, i);
    if (i == bytes.size()) return true;
    const bool lead = isCp932LeadByte(static_cast<unsigned char>(bytes[i]));
    loneLead = lead && i + 1 == bytes.size();
    i += lead && i + 1 < bytes.size() && bytes[i + 1] != '\0' ? 2 : 1;
  }
  return !loneLead;
}

// Writes through a pointer into room made beforehand (never more units than bytes): it runs over
// every byte of the log and every path of a scan.
void appendCp932Lenient(std::string_view bytes, WideText& out) {
  const std::size_t size = bytes.size();
  const std::size_t start = out.size();
  out.resize(start + size);
  char16_t* o = &out[start];
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < size) {
    const std::size_t ascii = asciiRunLength(bytes, i);
    for (std::size_t k = 0; k < ascii; ++k) o[k] = in[i + k];
    o += ascii;
    i += ascii;
    if (i == size) break;
    const unsigned char byte = in[i];
    if (isCp932LeadByte(byte)) {
      if (i + 1 == size || in[i + 1] == 0) {
        // The lead byte stands alone; a 0x00 after it is decoded on its own next.
        *o++ = kSubstitute;
        ++i;
        continue;
      }
      const unsigned char trail = in[i + 1];
      const char16_t unit = decodePair(byte, trail);
      *o++ = unit != 0 ? unit : kSubstitute;
      i += 2;
      continue;
    }
    const char16_t unit = cp932_tables::kSingleByte[byte];
    if (unit != kNoSingleByte) {
      *o++ = unit;
    } else {
      // 0xA0, 0xFD, 0xFE, 0xFF: the platform's private-use characters.
      *o++ = byte == 0xA0 ? char16_t{0xF8F0} : static_cast<char16_t>(0xF8F1 + byte - 0xFD);
    }
    ++i;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

bool decodeCp932Strict(std::string_view bytes, WideText& out) {
  out.clear();
  out.reserve(bytes.size());
  const std::size_t size = bytes.size();
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (isCp932LeadByte(byte)) {
      if (i + 1 == size) return false;
      const char16_t unit = decodePair(byte, static_cast<unsigned char>(bytes[i + 1]));
      if (unit == 0) return false;
      out.push_back(unit);
      ++i;
      continue;
    }
    const char16_t unit = cp932_tables::kSingleByte[byte];
    if (unit == kNoSingleByte) return false;
    out.push_back(unit);
  }
  return true;
}

int encodeCp932Unit(char16_t unit) {
  const std::uint16_t sequence = encodeTable()[unit];
  return sequence == kNoSequence ? -1 : sequence;
}

bool encodeCp932Strict(std::u16string_view text, NarrowText& out) {
  out.clear();
  out.reserve(text.size() * 2);
  const EncodeTable& table = encodeTable();
  for (const char16_t unit : text) {
    const std::uint16_t sequence = table[unit];
    if (sequence == kNoSequence) return false;
    if (sequence >= 0x100) out.push_back(static_cast<char>(sequence >> 8));
    out.push_back(static_cast<char>(sequence & 0xFF));
  }
  return true;
}

NarrowText cp932(std::u16string_view text) {
  NarrowText out;
  if (!encodeCp932Strict(text, out)) {
    throw std::logic_error("program text without a code page 932 form");
  }
  return out;
}

}  // namespace pairwick
