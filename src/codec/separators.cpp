// Separator normalisation of narrow relative paths, aware of code page 932 two-byte characters.
#include "codec/separators.h"

#include <cstddef>

#include "codec/cp932.h"

namespace pairwick {

void normaliseSeparators(NarrowText& pathStr, char nativeSeparator) {
  // With '/' as the native separator there is nothing to change, and a byte such as '\' must be
  // left alone: it is an ordinary character in a POSIX name.
  if (nativeSeparator == '/') return;
  const std::size_t size = pathStr.size();
  for (std::size_t i = 0; i < size; ++i) {
    if (isCp932LeadByte(static_cast<unsigned char>(pathStr[i]))) {
      // The next byte is the second half of this character, whatever its value (表 is 95 5C).
      ++i;
    } else if (pathStr[i] == nativeSeparator) {
      pathStr[i] = '/';
    }
  }
}

}  // namespace pairwick
