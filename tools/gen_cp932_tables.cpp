// Generates src/text/cp932_tables.cpp, the code page 932 mapping data, from glibc's CP932 iconv
// converter.
//
// Regenerate (on a glibc system, from the repository root):
//   g++ -std=c++17 -O2 -o /tmp/gen_cp932_tables tools/gen_cp932_tables.cpp &&
//   /tmp/gen_cp932_tables > src/text/cp932_tables.cpp
//
// glibc's converter matches the target platform's code page 932 on every strictly decoded 1- and
// 2-byte sequence except the single byte 0x80 (the platform's U+0080). Its encoder also accepts
// nine characters that the platform has only as best fit; those are the encodings that do not
// decode back to the same character, and the generator checks that there are exactly those nine.
// Where several sequences decode to one character, the preferred list records the sequence glibc
// encodes it to. The generator stops with a message on anything else it does not expect.
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

constexpr int kNone = -1;
constexpr int kFirstTrail = 0x40;
constexpr int kLastTrail = 0xFC;

bool isLead(int byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

[[noreturn]] void fail(const char* what, int value) {
  std::fprintf(stderr, "gen_cp932_tables: %s (0x%04X)\n", what, value);
  std::exit(1);
}

// One character decoded from `bytes`, or kNone when glibc refuses or needs more input.
int decode(iconv_t cd, const unsigned char* bytes, size_t length) {
  char in[2];
  std::memcpy(in, bytes, length);
  char out[16];
  char* inPtr = in;
  char* outPtr = out;
  size_t inLeft = length;
  size_t outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
    return kNone;
  }
  if (sizeof out - outLeft != 2) fail("sequence decodes to more than one unit", bytes[0]);
  int unit = static_cast<unsigned char>(out[0]) | static_cast<unsigned char>(out[1]) << 8;
  if (unit >= 0xD800 && unit <= 0xDFFF) fail("sequence decodes to a surrogate", unit);
  return unit;
}

// The bytes (single byte, or lead << 8 | trail) glibc encodes `unit` to, or kNone.
int encode(iconv_t cd, int unit) {
  char in[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  char out[16];
  char* inPtr = in;
  char* outPtr = out;
  size_t inLeft = 2;
  size_t outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
    return kNone;
  }
  size_t produced = sizeof out - outLeft;
  if (produced == 1) return static_cast<unsigned char>(out[0]);
  if (produced == 2) {
    return static_cast<unsigned char>(out[0]) << 8 | static_cast<unsigned char>(out[1]);
  }
  fail("character encodes to an unexpected length", unit);
}

void printArray(const char* declaration, const std::vector<int>& values, int perLine) {
  std::printf("%s = {\n", declaration);
  for (size_t i = 0; i < values.size(); ++i) {
    std::printf(i % perLine == 0 ? "    0x%04X," : " 0x%04X,", values[i]);
    if (i % perLine == static_cast<size_t>(perLine - 1) || i + 1 == values.size())
      std::printf("\n");
  }
  std::printf("};\n");
}

}  // namespace

int main() {
  iconv_t decoder = iconv_open("UTF-16LE", "CP932");
  iconv_t encoder = iconv_open("CP932", "UTF-16LE");
  if (decoder == reinterpret_cast<iconv_t>(-1) || encoder == reinterpret_cast<iconv_t>(-1)) {
    fail("glibc has no CP932 converter", 0);
  }

  // Decoding: bytes -> character, and every sequence of each character.
  std::vector<int> singleByte(256, 0xFFFF);
  std::map<int, std::vector<int>> sequencesOf;
  for (int byte = 0; byte < 256; ++byte) {
    const unsigned char in = static_cast<unsigned char>(byte);
    int unit = decode(decoder, &in, 1);
    if (byte == 0x80) {
      if (unit != kNone) fail("glibc now decodes 0x80", unit);
      unit = 0x0080;
    }
    if (unit == kNone) continue;
    if (isLead(byte)) fail("lead byte decodes on its own", byte);
    singleByte[byte] = unit;
    sequencesOf[unit].push_back(byte);
  }
  for (int byte : {0xA0, 0xFD, 0xFE, 0xFF}) {
    if (singleByte[byte] != 0xFFFF) fail("byte expected to be unmapped decodes", byte);
  }
  std::vector<int> doubleByte;
  int mapped = 0;
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!isLead(lead)) continue;
    for (int trail = 0; trail < 256; ++trail) {
      const unsigned char in[2] = {static_cast<unsigned char>(lead),
                                   static_cast<unsigned char>(trail)};
      const int unit = decode(decoder, in, 2);
      if (trail < kFirstTrail || trail > kLastTrail) {
        if (unit != kNone) fail("trail byte outside 0x40-0xFC decodes", lead << 8 | trail);
        continue;
      }
      if (unit == 0) fail("two-byte sequence decodes to U+0000", lead << 8 | trail);
      doubleByte.push_back(unit == kNone ? 0 : unit);
      if (unit != kNone) {
        ++mapped;
        sequencesOf[unit].push_back(lead << 8 | trail);
      }
    }
  }

  // Encoding: glibc's choice for characters with several sequences; the refused best fits.
  const std::set<int> bestFitOnly = {0x00A2, 0x00A3, 0x00A5, 0x00AC, 0x2014,
                                     0x2016, 0x203E, 0x2212, 0x301C};
  std::vector<int> preferred;
  int encodable = 0;
  for (int unit = 0; unit <= 0xFFFF; ++unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF) continue;
    int bytes = encode(encoder, unit);
    if (unit == 0x0080) {
      if (bytes != kNone) fail("glibc now encodes U+0080", bytes);
      bytes = 0x80;
    }
    const auto found = sequencesOf.find(unit);
    if (found == sequencesOf.end()) {
      if (bytes != kNone && bestFitOnly.count(unit) == 0) {
        fail("glibc encodes a character that no sequence decodes to", unit);
      }
      if (bytes == kNone && bestFitOnly.count(unit) != 0) {
        fail("glibc no longer encodes a best-fit character", unit);
      }
      continue;
    }
    if (bytes == kNone) fail("glibc decodes to a character that it cannot encode", unit);
    ++encodable;
    const std::vector<int>& sequences = found->second;
    bool known = false;
    for (int sequence : sequences) known = known || sequence == bytes;
    if (!known) fail("glibc encodes a character to a sequence that decodes elsewhere", unit);
    if (sequences.size() > 1) preferred.push_back(bytes);
  }

  std::fprintf(stderr,
               "gen_cp932_tables: %d two-byte sequences mapped, %d characters encodable, "
               "%zu with several sequences\n",
               mapped, encodable, preferred.size());

  std::printf(
      "// Code page 932 mapping data, generated from glibc's CP932 converter by "
      "tools/gen_cp932_tables.cpp.\n");
  std::printf("// Do not edit: regenerate with the command in the generator's first lines.\n");
  std::printf("#include \"codec/cp932_tables.h\"\n\nnamespace pairwick::cp932_tables {\n\n");
  std::printf("// clang-format off\n");
  printArray("const char16_t kSingleByte[256]", singleByte, 12);
  std::printf("\n");
  printArray("const char16_t kDoubleByte[kLeadCount * kTrailCount]", doubleByte, 12);
  std::printf("\n");
  printArray("const std::uint16_t kPreferredSequences[]", preferred, 12);
  std::printf("// clang-format on\n\n");
  std::printf(
      "const std::size_t kPreferredCount = sizeof kPreferredSequences / sizeof "
      "kPreferredSequences[0];\n\n");
  std::printf("}  // namespace pairwick::cp932_tables\n");
  iconv_close(decoder);
  iconv_close(encoder);
  return 0;
}
