// Harness of the end-to-end tests: scratch directories, running the built program, exact-byte files
// and the patterns that program output is matched against.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pairwick::e2e {

namespace fs = std::filesystem;

// ---- What differs between the program's platforms (kept here and nowhere else) ----

// True when PAIRWICK_E2E_COMMAND runs a Windows build (under Wine).
bool targetIsWindows();

// The separator that the path append inserts between the base directory and a folder name.
std::string separator();

// How the program names `dir` (an absolute, canonical POSIX path) in its narrow texts.
std::string programPath(const fs::path& dir);

// The bytes that standard error receives for a UTF-8 message of the program.
std::string standardErrorBytes(std::string_view utf8);

// ---- Byte helpers ----

inline const std::string kBom = "\xEF\xBB\xBF";

// Code page 932 bytes of UTF-8 text (independently of the program's converter).
std::string cp932(std::string_view utf8);

// Every LF preceded by CR.
std::string withCrLf(std::string_view text);

// What a test reads back of a file at most, unless it says otherwise: a file that grew past it
// holds writes in the wrong place (at an offset of 4 GiB), which must fail the test rather than
// fill the machine's memory.
constexpr std::uintmax_t kReadBackLimit = 16u << 20;
// What is read back of one output stream or log of a run at most: a test's run shows and logs a
// name of 10 MB several times, or logs a first line of 100 MB.
constexpr std::uintmax_t kRunOutputLimit = 256u << 20;

void writeBytes(const fs::path& file, std::string_view bytes);
// The file's bytes; throws when it cannot be read, or when it holds more than `limit` bytes.
std::string readBytes(const fs::path& file, std::uintmax_t limit = kReadBackLimit);
// Creates `entries` below `dir`: a name ending in '/' is a folder, any other a small file.
void makeTree(const fs::path& dir, const std::vector<std::string>& entries);
// A relative path of Japanese folder names, '/' between them, `characters` characters long. Each
// name is at most 80 characters (240 bytes in UTF-8: the POSIX limit for one name is 255 bytes).
std::string longJapanesePath(std::size_t characters);
// The number of characters (code points) of UTF-8 text.
std::size_t characterCount(std::string_view utf8);
// Names of the entries directly in `dir`, sorted.
std::vector<std::string> listNames(const fs::path& dir);
// Files named pairwick_YYYYMMDD_HHMMSS.txt in `dir`.
std::vector<std::string> reportNames(const fs::path& dir);
// Report names for the local time from `fromSeconds` to `toSeconds` seconds from now.
std::vector<std::string> reportNamesAround(int fromSeconds, int toSeconds);

// ---- Running the program ----

// True when the program under test is built with the sanitizers, whose shadow memory and
// quarantine make its memory figures meaningless, and which make it several times slower.
constexpr bool kSanitized =
#ifdef PAIRWICK_SANITIZED
    true;
#else
    false;
#endif

// How long a test waits for one run of the program, which takes a few seconds at most: room for a
// loaded machine, the sanitizers' slower code and Wine. A run still going then has hung.
std::chrono::seconds runPatience();

// What ends a test that waited runPatience() in vain: the runs after a hung one would hang as
// well. Its message names what the test waited for.
struct GaveUpWaiting : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Waits for the child `pid`, which the test started, to end, and returns its wait status. One still
// running after runPatience() is killed, with the processes of its group where it leads one, and
// GaveUpWaiting is thrown, naming `what` the test waited for.
int awaitExit(pid_t pid, const std::string& what);

// The command that starts the program under test: PAIRWICK_BINARY, unless PAIRWICK_E2E_COMMAND
// (split on blanks) names another.
std::vector<std::string> launchCommand();
// Gives a child of the test that is about to start launchCommand() itself the setting runProgram
// starts the program in (for the Windows build, the Japanese one).
void prepareLaunch();

struct RunResult {
  std::string console;        // standard output
  std::string standardError;  // standard error
  int status = -1;            // exit status; 128 + signal number when killed
};

// Runs the program with `cwd` as working directory, standard input from /dev/null, no shell, in a
// process group of its own. The program is PAIRWICK_BINARY unless PAIRWICK_E2E_COMMAND (split on
// blanks) names another.
RunResult runProgram(const fs::path& cwd, const std::vector<std::string>& arguments = {});

// Runs the POSIX build (PAIRWICK_BINARY) as runProgram runs the program, whatever
// PAIRWICK_E2E_COMMAND names: the reference that the Windows build's results are held against.
RunResult runPosixBuild(const fs::path& cwd);

// The host folder that Wine shows as drive C: (the prefix that scripts/windows-run.sh makes),
// another drive as seen from the trees of the tests, which Wine shows on Z:.
fs::path wineDriveC();

// Wine's name for a host folder, other than its path on Z:: while it lasts, Wine shows `hostFolder`
// as the share \\`server`\`share` or, where `server` is empty, as the drive `share` ("p:").
struct WineShare {
  WineShare(const std::string& server, const std::string& share, const fs::path& hostFolder);
  ~WineShare();
  WineShare(WineShare&& other) noexcept;
  WineShare& operator=(WineShare&&) = delete;
  fs::path link;  // the prefix's link to the host folder; empty once moved from
};
WineShare mapWineShare(const std::string& server, const std::string& share,
                       const fs::path& hostFolder);

// A real SMB file server (tests/smb_share.sh) serving one folder, and this machine's mount of it.
// CTest starts it around the tests that reach it and names its state folder in PAIRWICK_SMB_SHARE.
struct SmbShare {
  fs::path backing;  // the folder the server serves, as this machine holds it
  fs::path mount;    // the share as the client shows it (owned by root, names as Samba shows them)
};
// The share named by PAIRWICK_SMB_SHARE; nullptr where that variable is absent (skip the test with
// smbShareAbsence()). Throws when it names no started server.
const SmbShare* smbShare();
// Why a test of the share is skipped where PAIRWICK_SMB_SHARE is absent, and how to provide it.
std::string smbShareAbsence();

// Runs the program as runProgram does, in `locale`: under Wine the Windows build takes its ANSI
// code page from it ("C" gives 1252, "ja_JP.UTF-8" 932); the POSIX build's is 932 in every locale.
RunResult runProgramInLocale(const fs::path& cwd, const std::string& locale);

// A run started with a standard output that nobody reads: once the pipe and the program's own
// buffer are full, it waits in the middle of its work, holding whatever it holds.
struct HeldRun {
  int pid = -1;
  int output = -1;  // the pipe's reading end
  int errors = -1;  // a file that receives standard error
};
HeldRun startHeldRun(const fs::path& cwd);
// Waits until the run's standard output is full, i.e. the run is held; false if it ended first. A
// run that does neither within runPatience() is killed, and GaveUpWaiting thrown.
bool waitUntilHeld(HeldRun& run);
// Reads the held run's output until it ends, and returns what it did; one that does not end within
// runPatience() is killed, and GaveUpWaiting thrown.
RunResult releaseHeldRun(HeldRun& run);
// Ends the held run with SIGKILL, as a user's kill ends it.
void killHeldRun(HeldRun& run);

// Runs the program as the unprivileged user 65534 (through setpriv when this process is root).
// `tree` (which holds `cwd`) is handed over to that user first, and a copy of the binary is put
// in `tree`/bin so that the user can execute it wherever the build lives.
RunResult runProgramUnprivileged(const fs::path& tree, const fs::path& cwd);

// Runs `/bin/sh -c shellCommand` in `cwd` as the unprivileged user; true when it fails, i.e. the
// access that the command tries really is denied.
bool deniedToUnprivileged(const fs::path& cwd, const std::string& shellCommand);

// Gives `tree` and everything in it to the unprivileged user (links themselves, not targets).
void handOverToUnprivileged(const fs::path& tree);

// ---- Patterns: exact bytes, with loose parts only where the platform supplies the text ----

struct Piece {
  enum class Kind { literal, platformText, ctime, anyOrder };
  Kind kind = Kind::literal;
  std::string text;                // literal
  std::vector<std::string> lines;  // anyOrder: each used exactly once, in any order
};
using Pattern = std::vector<Piece>;

Pattern lit(std::string text);
// One or more bytes within one line: a message the platform's libraries compose.
Pattern platformText();
// The C library's 24-character ctime text (weekday, month, padded day, time, year).
Pattern ctimeText();
Pattern anyOrder(std::vector<std::string> lines);

Pattern operator+(Pattern a, const Pattern& b);
Pattern operator+(Pattern a, const std::string& b);
Pattern operator+(const std::string& a, const Pattern& b);
Pattern& operator+=(Pattern& a, const Pattern& b);
Pattern& operator+=(Pattern& a, const std::string& b);

// The final log's bytes for UTF-8 log text: BOM, CR LF line ends.
Pattern asFinalLog(const Pattern& utf8Log);
// The temporary log's bytes for UTF-8 log text: code page 932, CR LF line ends.
Pattern asTempLog(const Pattern& utf8Log);
// Standard error's bytes for UTF-8 text.
Pattern asStandardError(const Pattern& utf8);

// Success when `actual` matches `expected` byte for byte; otherwise both, readably escaped, and
// where they part.
::testing::AssertionResult matches(const Pattern& expected, const std::string& actual);
// What is read back of a file that must match `expected`: its bytes, with room for the loose parts
// and for a mismatch to be shown.
std::uintmax_t readLimitFor(const Pattern& expected);

// ---- Fixture: one fresh scratch tree per test ----

class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs in work_ unless told otherwise.
  RunResult run(const std::vector<std::string>& arguments = {}) {
    return runProgram(work_, arguments);
  }
  RunResult runIn(const fs::path& cwd) { return runProgram(cwd, {}); }
  RunResult runUnprivileged(const fs::path& cwd) { return runProgramUnprivileged(root_, cwd); }
  // A new folder below the scratch root, for a case of a table-driven test.
  fs::path caseDir(const std::string& name);

  fs::path root_;     // canonical scratch root; holds work_ and anything outside it
  fs::path work_;     // default working directory of the program
  std::string base_;  // the program's name for work_
};

}  // namespace pairwick::e2e
