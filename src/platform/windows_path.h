// The spelling of Windows paths: the extended-length form, with which the system's file calls take
// paths of any length instead of stopping at 260 characters, and the joining of a name to a base.
#pragma once

#include <string>
#include <string_view>

namespace pairwick::platform {

// `fullPath`, an absolute path as GetFullPathNameW gives it (backslashes, no "." or ".."), in the
// extended-length form: "C:\a" becomes "\\?\C:\a" and "\\server\share\a" becomes
// "\\?\UNC\server\share\a". A path already in that form, or a device path ("\\.\"), is kept.
// Plain string work, so that it is checked on every platform.
std::u16string extendedLengthForm(std::u16string_view fullPath);

// Whether `path` is written in the extended-length form ("\\?\", backslashes only), which the
// system takes exactly as it stands: nothing may make it absolute or normalise it again.
bool isExtendedLength(std::u16string_view path);

// `name` appended to `base` by the path-append rule of the C++ standard, with the root names of
// Windows paths (see windows_path.cpp): a relative name follows the base after one backslash, an
// absolute name (a share, a device or extended-length path, or a drive with its root) replaces
// it. Nothing is normalised: separators, "." and ".." stay as written.
std::u16string appendWindowsPath(std::u16string_view base, std::u16string_view name);

}  // namespace pairwick::platform
