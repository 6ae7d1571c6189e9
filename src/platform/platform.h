// The platform layer: every call the tool makes into the operating system, with the same meaning
// on POSIX (platform_posix.cpp) and Windows (platform_win32.cpp). No system header is exposed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string_view>
#include <vector>

#include "codec/text_types.h"

namespace pairwick::platform {

// MultiByteToWideChar(932, 0, ...) over exactly `bytes` (0x00 bytes included, each U+0000):
// appends the lenient conversion to `out`. False only when the converter cannot be used at all.
bool decodeCp932Lenient(std::string_view bytes, WideText& out);

// The lenient decoding of decodeCp932Lenient with every resulting UTF-16 unit encoded on its own
// as UTF-8 (1 to 3 bytes, as the UTF-8 text files are written): the final log's conversion, in
// one pass. Writes into `out`, which has room for three bytes per byte of `bytes`, and sets
// `written` to the number of bytes written. False only when the converter cannot be used at all.
bool decodeCp932LenientToUtf8(std::string_view bytes, char* out, std::size_t& written);

// The narrow code page that narrowPath and pathFromNarrow convert through: the system's ANSI code
// page on Windows (932 in the Japanese setting the tool is made for, another one elsewhere or with
// the system-wide UTF-8 option); code page 932, always, on POSIX.
unsigned ansiCodePage();

// Narrow form of a path: its native form converted strictly to the narrow code page (932).
// Throws std::system_error when a character has no exact mapping. A C0 control character (U+0001
// to U+001F) has none: no Windows name holds one, and a line-based report cannot carry it.
NarrowText narrowPath(const std::filesystem::path& path);

// The narrow form of a path for a message: as narrowPath, with each character that has no exact
// mapping (and each byte that is no character) written as '?'. Never fails.
NarrowText narrowPathReplacing(const std::filesystem::path& path);

// Path from narrow text: the bytes decoded strictly from the narrow code page (932), 0x00 bytes
// included. Throws std::system_error when a byte sequence is not valid code page 932.
std::filesystem::path pathFromNarrow(std::string_view narrow);

// The form of `path` to hand to the system's file calls (a standard stream's open included): on
// Windows absolute and extended-length, so that no call stops at 260 characters; elsewhere the
// path itself. For those calls only: what the user sees keeps the path as given.
std::filesystem::path systemPath(const std::filesystem::path& path);

// The path's native form as UTF-16, for display only: never fails.
WideText widePath(const std::filesystem::path& path);

// The narrow (code page 932) message text of a caught failure. Messages that the platform's
// file-system library composes with paths in another encoding are recoded first.
NarrowText narrowMessage(const std::exception& failure);

// The current calendar time, in seconds since 1970.
std::int64_t currentTime();

// The C library's time text of `time`: its 24 characters ("Fri Jan 05 12:34:56 2024") and a line
// feed.
NarrowText ctimeText(std::int64_t time);

// The broken-down local time of `time`, zero-filled before the conversion.
std::tm localTime(std::int64_t time);

// Writes wide text to the console (standard output). Output is buffered, and written at the
// latest once its oldest line has waited a tenth of a second, before anything goes to standard
// error, on flushConsole and at exit; a terminal may be given each line at once.
void writeConsole(std::u16string_view text);

// Writes code page 932 text to the console, decoded as decodeCp932Lenient decodes it. False, with
// nothing written, only when the converter cannot be used at all.
bool writeConsoleCp932(std::string_view cp932Text);

// Writes code page 932 text to standard error, after flushing the console.
void writeStandardError(std::string_view cp932Text);

// Flushes the console's buffered output.
void flushConsole();

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
std::filesystem::path weaklyCanonical(const std::filesystem::path& path);

// Appends the narrow form of a piece of a native path (a name, or names joined by the native
// separator or by 0 units, each of which gives one 0x00 byte) to `out`, converted as narrowPath
// converts. False, with `out` unspecified past its previous length, when a character has no
// exact mapping.
bool appendNarrowName(std::basic_string_view<std::filesystem::path::value_type> native,
                      NarrowText& out);

// ---- The tool's own files: the temporary log, the final log and the report ----

// An open file: a descriptor on POSIX, a handle on Windows. -1 when nothing is open.
struct FileHandle {
  std::intptr_t native = -1;
};

// How openPlainFile treats the name. In every mode the name must lead to nothing or to a plain
// file with a single link: a symbolic link or other reparse point (never followed), a file with
// more hard links, a folder, a FIFO or a device is an open failure, and no open ever waits.
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
// or pipe, and no open waits. A symbolic link as its last name is followed only when it belongs to
// the user running the tool or to root, as the kernel follows links in folders that others may
// write: a link that another user planted is a file that cannot be opened. (Windows lets only
// the privileged make links; there they are followed.) False when the file cannot be opened.
bool openFileToRead(const std::filesystem::path& path, FileHandle& file);

// Whether the open file is a plain file with exactly one link (none once it has been removed).
bool isPlainFile(FileHandle file);

// Whether `path`, its last name not followed, leads to the open file itself.
bool isSameFile(FileHandle file, const std::filesystem::path& path);

// Writes all of `bytes` at the file's end. False when the system took only part of them, or none.
bool writeFile(FileHandle file, std::string_view bytes);

// Reads up to `size` bytes from `offset` into `out`, setting `count` (0 at the end of the file).
bool readFile(FileHandle file, std::uint64_t offset, char* out, std::size_t size,
              std::size_t& count);

bool fileLength(FileHandle file, std::uint64_t& length);

// Cuts the file to `length` bytes, which is at most its length.
bool truncateFile(FileHandle file, std::uint64_t length);

enum class LockResult { locked, heldElsewhere, failed };

// Takes the file's exclusive lock without waiting. The lock restricts no read or write; it only
// keeps every other open of the file from taking it, in this process or another, until `file`
// is closed or its process ends, however it ends.
LockResult lockFile(FileHandle file);

// Closes the file (releasing its lock) and marks the handle closed. False when the system reports
// a failure, such as data that could not be written after all.
bool closeFile(FileHandle& file);

// Removes the file `path` names (a link itself, never its target). A name that leads nowhere
// counts as removed.
bool removeFile(const std::filesystem::path& path);

// What a folder entry is, as far as a walk of the tree cares: a symbolic link or junction (mount
// point) is visited but never descended into; a folder with another kind of reparse point is a
// folder.
enum class EntryKind : unsigned char { file, folder, link };

// Which folder an entry is on its file system: a folder that the walk descends into is read only
// when it is still the one its parent's listing named. All zero where the system tells nothing.
struct FolderIdentity {
  std::uint64_t device = 0;
  std::uint64_t node = 0;
};

// One folder's entries, "." and ".." left out, in the system's enumeration order.
struct FolderListing {
  std::filesystem::path::string_type names;  // each name followed by one 0 unit
  std::vector<EntryKind> kinds;              // one per name
  // Whether each entry that is no link, apart from those in `unresolved`, is certain to resolve
  // to the folder's weakly canonical form followed by its own name (so that it need not be
  // resolved one by one).
  bool namesResolve = false;
  // The entries, by index in ascending order, that are no links but may resolve elsewhere all
  // the same (on Windows, reparse points of other kinds).
  std::vector<std::uint32_t> unresolved;
  FolderIdentity identity;                 // the folder's own
  std::vector<FolderIdentity> subfolders;  // one per folder entry, in their order, as listed
};

// A folder that the walk meets below the folder it starts at, as its parent's listing gave it.
struct ListedFolder {
  std::size_t topLength = 0;  // the leading part of its path that names the walk's first folder
  FolderIdentity identity;    // from the parent's `subfolders`
};

// Reads one folder whole and closes it before returning. A failure throws
// std::filesystem::filesystem_error with the texts of the platform's recursive enumeration.
// `listed` is null for the folder the walk starts at, which is opened as named, links followed.
// Any other folder's entries are read only from the folder that its parent's listing named, never
// through a link: on its way from the walk's first folder or in its place. When a symbolic link,
// junction or non-folder has taken a place on that way, the failure names the path where it was
// found.
FolderListing readFolder(const std::filesystem::path& folder, const ListedFolder* listed);

// The length, in native units, from which the file system no longer resolves a path.
std::size_t pathLengthLimit();

// Lowers the calling thread's scheduling priority below the other threads' (as far as an
// unprivileged thread may, short of running only when the system is idle), so that it takes a
// processor mostly when the other threads have no use for it.
void lowerThreadPriority();

}  // namespace pairwick::platform
