// The extended-length spelling of Windows paths, with which the system's file calls take paths
// of any length instead of stopping at 260 characters.
#pragma once

#include <string>
#include <string_view>

namespace pairwick::platform {

// `fullPath`, an absolute path as GetFullPathNameW gives it (backslashes, no "." or ".."), in the
// extended-length form: "C:\a" becomes "\\?\C:\a" and "\\server\share\a" becomes
// "\\?\UNC\server\share\a". A path already in that form, or a device path ("\\.\"), is kept.
// Plain string work, so that it is checked on every platform.
std::u16string extendedLengthForm(std::u16string_view fullPath);

}  // namespace pairwick::platform
