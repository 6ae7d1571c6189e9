// The tool's UTF-8 text files: the comparison report and the final log.
#pragma once

#include <fstream>
#include <string_view>

#include "codec/text_types.h"

namespace pairwick {

// Opens `name` (code page 932) for writing in binary mode, truncating it. The caller tests
// file.is_open(), then writes U+FEFF and its content with writeUtf8.
void openUtf8TextFile(std::ofstream& file, const NarrowText& name);

// Writes every UTF-16 unit of `text` as UTF-8, each unit on its own; line feeds stay single 0x0A.
void writeUtf8(std::ostream& file, std::u16string_view text);

}  // namespace pairwick
