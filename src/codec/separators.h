// Separator normalisation of narrow relative paths.
#pragma once

#include "codec/text_types.h"

namespace pairwick {

// Replaces every `nativeSeparator` byte that stands as a character by itself with '/'. The byte
// after a code page 932 lead byte belongs to that character and is never touched (表 is 95 5C).
void normaliseSeparators(NarrowText& pathStr, char nativeSeparator);

}  // namespace pairwick
