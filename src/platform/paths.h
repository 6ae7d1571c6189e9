// Paths as the file system sees them: the form handed to its calls, the working directory,
// existence and canonical forms (paths_posix.cpp, paths_win32.cpp).
#pragma once

#include <cstddef>
#include <filesystem>

namespace pairwick::platform {

// The form of `path` to hand to the system's file calls (a standard stream's open included): on
// Windows absolute and extended-length, so that no call stops at 260 characters; elsewhere the
// path itself. For those calls only: what the user sees keeps the path as given.
std::filesystem::path systemPath(const std::filesystem::path& path);

// `name` appended to `base` by the path-append rule of the C++ standard: a relative name follows
// the base after one preferred separator (none where the base ends in one), an absolute name
// replaces it, and nothing is normalised. On Windows a name with a root name of its own (another
// drive, a share "\\server\share\x" or "//server/share/x", an extended-length path "\\?\C:\x"
// or "\\?\UNC\server\share\x") replaces the base, and "\x" keeps the base's root name: the
// rule as the standard states it, whatever the library's own operator/ does.
std::filesystem::path joinPath(const std::filesystem::path& base,
                               const std::filesystem::path& name);

// The current working directory, of any length the system allows; throws
// std::filesystem::filesystem_error when it cannot be determined.
std::filesystem::path currentDirectory();

// The existence test: true for any existing entry, false when the file system reports it absent
// (not found, or a name that cannot exist, such as one holding a 0x00 character); throws
// std::filesystem::filesystem_error otherwise.
bool pathExists(const std::filesystem::path& path);

// The weakly canonical form of a path: its longest existing leading part with every symbolic
// link and junction resolved and names spelled as stored, followed by the rest, lexically
// normalised. Absence is absorbed; any other failure throws std::filesystem::filesystem_error.
// Only the first `topLength` units (all of them by default) are a path as a user writes it, read
// by the system's rules for such paths (on Windows, "t." names "t" and "aux" a device); every name
// after them is one a folder listing gave, taken exactly as listed.
std::filesystem::path weaklyCanonical(const std::filesystem::path& path,
                                      std::size_t topLength = static_cast<std::size_t>(-1));

// The length, in native units, from which the file system no longer resolves a path.
std::size_t pathLengthLimit();

}  // namespace pairwick::platform
