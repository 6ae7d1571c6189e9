// The two kinds of text the tool handles: code page 932 bytes and UTF-16 code units.
#pragma once

#include <string>

namespace pairwick {

// Bytes of code page 932 (Shift-JIS) text: configuration contents, narrow paths, log lines.
using NarrowText = std::string;

// UTF-16 code units: console messages and report lines.
using WideText = std::u16string;

}  // namespace pairwick
