// The tool's own files: the temporary log, the final log and the report, and the configuration
// read once (files_posix.cpp, files_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace pairwick::platform {

// An open file: a descriptor on POSIX, a handle on Windows. -1 when nothing is open.
struct FileHandle {
  std::intptr_t native = -1;
};

// How openPlainFile treats the name. In every mode the name must lead to nothing or to a plain
// file with a single link: a symbolic link or other reparse point (never followed), a file with
// more hard links, a folder, a FIFO or a device is an open failure, and no open ever waits.
// On POSIX a file under the name that belongs to another user (root's included, for everybody
// else) is never written into: append refuses it, replace removes it and creates a file of the
// run's own in its place, and fails where the folder does not let the run remove it (a sticky
// folder of someone else's).
enum class FileMode {
  append,     // read and append; a missing file is created, an existing one kept as it is
  createNew,  // append to a new file; a name taken by any entry at all is refused
  replace,    // append to an emptied file; emptied only once confirmed plain, created if missing
};

// removed: the file was removed while it was being looked at or opened (the run that held it has
// finished); the name may lead to nothing again, or to another file.
enum class OpenResult { opened, nameTaken, removed, failed };

// Opens `path` in `mode`; on success `file` holds the open file. nameTaken only in createNew.
OpenResult openPlainFile(const std::filesystem::path& path, FileMode mode, FileHandle& file);

// Opens an existing regular file to read it, with no sharing restriction: never a folder, device
// or pipe, and no open waits. On POSIX the file is reached one name at a time, and a symbolic link
// met anywhere on the way (as its last name, in the place of a folder on its way, in the target of
// a link followed before) is followed only when it belongs to the user running the tool or to
// root, as the kernel follows links in folders that others may write; each link is held while its
// owner and target are read, and at most 40 are followed, as the kernel counts them. A link that
// another user planted anywhere is a file that cannot be opened. (Windows lets only the privileged
// make links; there they are followed.) False when the file cannot be opened, the reason left in
// errno on POSIX (EACCES for another user's link, ELOOP past the 40 links).
bool openFileToRead(const std::filesystem::path& path, FileHandle& file);

// Whether the open file is a plain file with exactly one link (none once it has been removed).
bool isPlainFile(FileHandle file);

// Whether `path`, its last name not followed, leads to the open file itself.
bool isSameFile(FileHandle file, const std::filesystem::path& path);

// Writes all of `bytes` at the file's end, as only one open writes a file at a time (a report is
// the run's own new file; the logs are written while the temporary log's lock is held). On POSIX
// the end is the one that this open's open, lock, last write or truncation left, as no file is
// opened for appending (clients of some file shares refuse that). False when the system took only
// part of them, or none.
bool writeFile(FileHandle file, std::string_view bytes);

// Reads up to `size` bytes from `offset` into `out`, setting `count` (0 at the end of the file).
bool readFile(FileHandle file, std::uint64_t offset, char* out, std::size_t size,
              std::size_t& count);

bool fileLength(FileHandle file, std::uint64_t& length);

// Cuts the file to `length` bytes, which is at most its length; the next write follows on there.
bool truncateFile(FileHandle file, std::uint64_t length);

enum class LockResult { locked, heldElsewhere, failed };

// Takes the file's exclusive lock without waiting; the next write goes to the file's end as it
// stands then. The lock restricts no read or write; it only
// keeps every other open of the file from taking it, in this process or another, until `file`
// is closed or its process ends, however it ends.
LockResult lockFile(FileHandle file);

// Closes the file (releasing its lock) and marks the handle closed. False when the system reports
// a failure, such as data that could not be written after all.
bool closeFile(FileHandle& file);

// Removes the file `path` names (a link itself, never its target). A name that leads nowhere
// counts as removed.
bool removeFile(const std::filesystem::path& path);

}  // namespace pairwick::platform
