// Code page 932 mapping data shared by the converters; the data is generated from glibc's CP932.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pairwick::cp932_tables {

// Lead bytes 0x81-0x9F and 0xE0-0xFC, in that order; no trail byte outside 0x40-0xFC has a mapping.
constexpr std::size_t kLeadCount = 60;
constexpr unsigned kFirstTrail = 0x40;
constexpr unsigned kLastTrail = 0xFC;
constexpr std::size_t kTrailCount = kLastTrail - kFirstTrail + 1;

// Row of a lead byte in kDoubleByte.
constexpr std::size_t leadRow(unsigned char lead) {
  return lead <= 0x9F ? lead - 0x81u : lead - 0xE0u + 0x1Fu;
}

// Character of each single byte; 0xFFFF for lead bytes and bytes without a strict mapping.
extern const char16_t kSingleByte[256];

// Character of each two-byte sequence, row by lead byte, column trail - kFirstTrail; 0 when the
// sequence has no mapping (no two-byte sequence decodes to U+0000).
extern const char16_t kDoubleByte[kLeadCount * kTrailCount];

// For every character that more than one sequence decodes to, the sequence it encodes to
// (single byte, or lead << 8 | trail).
extern const std::uint16_t kPreferredSequences[];
extern const std::size_t kPreferredCount;

}  // namespace pairwick::cp932_tables
