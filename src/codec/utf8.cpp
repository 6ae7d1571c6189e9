// UTF-8 encoding and decoding of UTF-16 text, and the recoding of UTF-8 messages to code page 932.
#include "codec/utf8.h"

#include "codec/cp932.h"

namespace pairwick {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isSurrogate(char32_t value) { return value >= 0xD800 && value <= 0xDFFF; }

void appendUtf16(char32_t value, WideText& out) {
  if (value < 0x10000) {
    out.push_back(static_cast<char16_t>(value));
  } else {
    value -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
  }
}

}  // namespace

std::size_t decodeUtf8Char(std::string_view bytes, std::size_t i, char32_t& value) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t length;
  char32_t minimum;
  if (lead < 0x80) {
    value = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    minimum = 0x80;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    minimum = 0x800;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    minimum = 0x10000;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(bytes[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = value << 6 | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || isSurrogate(value)) return 0;
  return length;
}

void appendUtf8PerUnit(std::u16string_view text, std::string& out) {
  // Every report and the whole final log pass through here: room for the longest form is made
  // once and filled through a pointer.
  const std::size_t start = out.size();
  out.resize(start + text.size() * 3);
  char* o = &out[start];
  const char16_t* in = text.data();
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size; ++i) {
    // ASCII runs, four units at a time.
    while (i + 4 <= size && (in[i] | in[i + 1] | in[i + 2] | in[i + 3]) < 0x80) {
      o[0] = static_cast<char>(in[i]);
      o[1] = static_cast<char>(in[i + 1]);
      o[2] = static_cast<char>(in[i + 2]);
      o[3] = static_cast<char>(in[i + 3]);
      o += 4;
      i += 4;
    }
    if (i == size) break;
    const char16_t unit = in[i];
    if (unit < 0x80) {
      *o++ = static_cast<char>(unit);
    } else if (unit < 0x800) {
      *o++ = static_cast<char>(0xC0 | (unit >> 6));
      *o++ = static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      *o++ = static_cast<char>(0xE0 | (unit >> 12));
      *o++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

void appendUtf8(std::u16string_view text, std::string& out) {
  // The console receives a line per entry: no temporary, room for the longest form made once.
  const std::size_t start = out.size();
  out.resize(start + text.size() * 3);
  char* o = &out[start];
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size; ++i) {
    char32_t value = text[i];
    if (value < 0x80) {
      *o++ = static_cast<char>(value);
      continue;
    }
    if (isSurrogate(value)) {
      if (value <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        value = 0x10000 + ((value - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        value = kReplacement;
      }
    }
    if (value < 0x800) {
      *o++ = static_cast<char>(0xC0 | (value >> 6));
    } else {
      if (value < 0x10000) {
        *o++ = static_cast<char>(0xE0 | (value >> 12));
      } else {
        *o++ = static_cast<char>(0xF0 | (value >> 18));
        *o++ = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
      }
      *o++ = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    }
    *o++ = static_cast<char>(0x80 | (value & 0x3F));
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  appendUtf8(text, out);
  return out;
}

bool utf8ToUtf16Strict(std::string_view bytes, WideText& out) {
  out.clear();
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t value;
    const std::size_t length = decodeUtf8Char(bytes, i, value);
    if (length == 0) return false;
    appendUtf16(value, out);
    i += length;
  }
  return true;
}

WideText utf8ToUtf16Lenient(std::string_view bytes) {
  WideText out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t value;
    const std::size_t length = decodeUtf8Char(bytes, i, value);
    if (length == 0) {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
    } else {
      appendUtf16(value, out);
      i += length;
    }
  }
  return out;
}

NarrowText utf8ToCp932Replacing(std::string_view bytes) {
  NarrowText out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t value;
    const std::size_t length = decodeUtf8Char(bytes, i, value);
    const int sequence =
        length != 0 && value < 0x10000 ? encodeCp932Unit(static_cast<char16_t>(value)) : -1;
    if (sequence < 0) {
      out.push_back('?');
    } else {
      if (sequence >= 0x100) out.push_back(static_cast<char>(sequence >> 8));
      out.push_back(static_cast<char>(sequence & 0xFF));
    }
    i += length != 0 ? length : 1;
  }
  return out;
}

}  // namespace pairwick
