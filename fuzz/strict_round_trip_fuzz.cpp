// Fuzz target: the strict code page 932 conversions and the path conversions built on them.
// Whatever strict decoding accepts, strict encoding gives back byte for byte, except where the
// text used a character's secondary sequence (the NEC and IBM duplicates): there the platform's
// primary sequence comes back, which decodes to the same character. Whatever strict encoding
// accepts, decoding gives back exactly (strictly, but for the four private-use characters that
// stand for 0xA0 and 0xFD-0xFF). Acceptance agrees with glibc's CP932 unit by unit.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "codec/cp932.h"
#include "fuzz_support.h"
#include "platform/code_page.h"

namespace {

using pairwick::NarrowText;
using pairwick::WideText;
using pairwick::fuzz::glibcDecodeUnit;
using pairwick::fuzz::hex;
using pairwick::fuzz::isLeadByte;

// The bytes split into units as the lead-byte rules give them; a lead byte at the end is a unit
// of its own (which no strict decoder accepts).
template <typename Visit>
void forEachUnit(std::string_view bytes, Visit visit) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length =
        isLeadByte(static_cast<unsigned char>(bytes[i])) && i + 1 < bytes.size() ? 2 : 1;
    visit(bytes.substr(i, length));
    i += length;
  }
}

void checkDecodeThenEncode(std::string_view bytes) {
  WideText decoded;
  const bool accepted = pairwick::decodeCp932Strict(bytes, decoded);

  // glibc's CP932 agrees with the platform on every unit but the byte 0x80 (U+0080).
  bool glibcAccepts = true;
  WideText glibcDecoded;
  forEachUnit(bytes, [&](std::string_view piece) {
    char16_t unit = 0;
    if (piece == "\x80") {
      glibcDecoded.push_back(0x0080);
    } else if (piece.size() == 1 && isLeadByte(static_cast<unsigned char>(piece[0]))) {
      glibcAccepts = false;  // a lone lead byte at the end
    } else if (glibcDecodeUnit(piece, unit)) {
      glibcDecoded.push_back(unit);
    } else {
      glibcAccepts = false;
    }
  });
  PAIRWICK_FUZZ_CHECK(accepted == glibcAccepts, "bytes: " + hex(bytes));

  // The path made from the text exists exactly when strict decoding accepts it.
  bool pathMade = true;
  std::filesystem::path path;
  try {
    path = pairwick::platform::pathFromNarrow(bytes);
  } catch (const std::system_error& failure) {
    pathMade = false;
    PAIRWICK_FUZZ_CHECK(failure.code() == std::errc::illegal_byte_sequence, failure.what());
  }
  PAIRWICK_FUZZ_CHECK(pathMade == (accepted || bytes.empty()), "bytes: " + hex(bytes));
  if (!accepted) return;
  PAIRWICK_FUZZ_CHECK(decoded == glibcDecoded, "bytes: " + hex(bytes) + "\nours: " + hex(decoded) +
                                                   "\nglibc: " + hex(glibcDecoded));

  NarrowText encoded;
  PAIRWICK_FUZZ_CHECK(pairwick::encodeCp932Strict(decoded, encoded),
                      "decoded text not encodable: " + hex(decoded));
  // Compare unit by unit: a difference is allowed only where the input used a secondary
  // sequence of a character, and what comes back is that character's primary sequence.
  std::size_t at = 0;
  std::size_t index = 0;
  forEachUnit(bytes, [&](std::string_view piece) {
    const int primary = pairwick::encodeCp932Unit(decoded[index]);
    const NarrowText back = primary < 0x100 ? NarrowText(1, static_cast<char>(primary))
                                            : NarrowText{static_cast<char>(primary >> 8),
                                                         static_cast<char>(primary & 0xFF)};
    PAIRWICK_FUZZ_CHECK(encoded.compare(at, back.size(), back) == 0,
                        "bytes: " + hex(bytes) + "\nencoded: " + hex(encoded));
    if (back != piece) {
      WideText again;
      PAIRWICK_FUZZ_CHECK(pairwick::decodeCp932Strict(back, again) && again.size() == 1 &&
                              again[0] == decoded[index],
                          "sequence " + hex(piece) + " came back as " + hex(back));
    }
    at += back.size();
    ++index;
  });
  PAIRWICK_FUZZ_CHECK(at == encoded.size(), "bytes: " + hex(bytes));

  // The narrow form of the path is the primary form of the text, unless the text holds a C0
  // control character, which no narrow path may hold.
  if (!bytes.empty()) {
    bool control = false;
    for (const char16_t unit : decoded) control |= unit >= 0x01 && unit <= 0x1F;
    NarrowText narrow;
    bool refused = false;
    try {
      narrow = pairwick::platform::narrowPath(path);
    } catch (const std::system_error&) {
      refused = true;
    }
    PAIRWICK_FUZZ_CHECK(refused == control && (refused || narrow == encoded),
                        "bytes: " + hex(bytes) + "\nnarrow path: " + hex(narrow));
  }
}

void checkEncodeThenDecode(std::u16string_view units) {
  NarrowText encoded;
  if (!pairwick::encodeCp932Strict(units, encoded)) {
    // A unit without an exact mapping: one of the units must be refused on its own as well.
    bool someRefused = false;
    for (const char16_t unit : units) someRefused |= pairwick::encodeCp932Unit(unit) < 0;
    PAIRWICK_FUZZ_CHECK(someRefused, "refused, yet every unit encodes: " + hex(units));
    return;
  }
  // Lenient decoding gives every accepted text back exactly. Strict decoding does too, except
  // for U+F8F0-U+F8F3: the platform encodes them as 0xA0 and 0xFD-0xFF, the bytes that lenient
  // decoding turns into them and that strict decoding refuses.
  WideText lenient;
  pairwick::appendCp932Lenient(encoded, lenient);
  PAIRWICK_FUZZ_CHECK(lenient == units, "units: " + hex(units) + "\nencoded: " + hex(encoded) +
                                            "\nlenient: " + hex(lenient));
  bool privateUse = false;
  for (const char16_t unit : units) privateUse |= unit >= 0xF8F0 && unit <= 0xF8F3;
  WideText decoded;
  const bool strict = pairwick::decodeCp932Strict(encoded, decoded);
  PAIRWICK_FUZZ_CHECK(
      strict == !privateUse && (!strict || decoded == units),
      "units: " + hex(units) + "\nencoded: " + hex(encoded) + "\ndecoded: " + hex(decoded));
  // Best-fit-only characters never pass: ¥ would become the separator 0x5C.
  for (const char16_t unit : units) {
    for (const char16_t bestFitOnly : {u'\u00A2', u'\u00A3', u'\u00A5', u'\u00AC', u'\u2014',
                                       u'\u2016', u'\u203E', u'\u2212', u'\u301C'}) {
      PAIRWICK_FUZZ_CHECK(unit != bestFitOnly, "best-fit character accepted: " + hex(units));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  checkDecodeThenEncode(bytes);
  checkEncodeThenDecode(pairwick::fuzz::unitsOf(data, size));
  return 0;
}
