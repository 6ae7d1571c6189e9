// Harness additions for the fault-injection and oracle tests: small file systems that fill up,
// runs measured for memory and guarded against hangs, log line counts and the tally of figures.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace pairwick::e2e {

// True when these tests must not be skipped (PAIRWICK_RELIABILITY=1, set by the reliability
// script): a fault that cannot be injected there is a failure, not a skip.
bool faultsRequired();

// Skips the test with `why`, or fails it where faults are required.
#define PAIRWICK_CANNOT_INJECT(why)                                                        \
  do {                                                                                     \
    if (::pairwick::e2e::faultsRequired()) FAIL() << "cannot inject the fault: " << (why); \
    GTEST_SKIP() << (why);                                                                 \
  } while (false)

// Mounts a tmpfs of `bytes` on the existing folder `dir`; false when that is not permitted.
bool mountTmpfs(const fs::path& dir, std::size_t bytes);
// Detaches whatever is mounted on `dir`; harmless when nothing is.
void unmountTmpfs(const fs::path& dir);

// Mounts at `mountpoint` a mirror of `source` that fails the calls that `rules` (options of
// tests/fault_fs.cpp) name; false when that is not possible here (no libfuse3 in the build, no
// FUSE, no root). unmountTmpfs detaches it.
bool mountFaultFs(const std::string& rules, const fs::path& source, const fs::path& mountpoint);

// Reserves `bytes` of space for `file` (created empty if missing) without changing its size, so
// that appending to it keeps working on a file system that is otherwise full.
void reserveSpace(const fs::path& file, std::size_t bytes);

// Fills the file system that holds `dir` with the file `dir`/filler until nothing is left, then
// gives back `leaveFree` bytes. Returns the filler's path.
fs::path fillFileSystem(const fs::path& dir, std::size_t leaveFree = 0);

// Lines of a log as expected (UTF-8 text with LF line ends) and as found (its line feeds).
std::size_t expectedLines(const Pattern& utf8Log);
std::size_t logLines(const std::string& bytes);
// Lines in the temporary and the final log of `dir` together (0 for a missing file).
std::size_t linesInBothLogs(const fs::path& dir);

// The three lists of a report (its UTF-8 bytes), each in the order written; the empty-list
// lines count as no entry. `notes`: the lines between the header and the first list.
struct ReportLists {
  std::vector<std::string> common, only1, only2;
  std::vector<std::string> notes;
};
ReportLists parseReport(const std::string& bytes, const std::string& name1,
                        const std::string& name2);

// Folders A and B of `dir`, A with so many long names that a run's console output overfills a
// pipe and the run's own buffer: a run whose output nobody reads is then held mid-scan. Returns
// A's names, in the report's order.
std::vector<std::string> makeLongTree(const fs::path& dir);

// Adds `value` to the figure `name` in the file PAIRWICK_RELIABILITY_TALLY names, if any.
void tally(const std::string& name, long long value);

// A run of the native program with its peak memory; a run that outlives runPatience() is killed
// and counted as hung.
struct MeasuredRun {
  RunResult result;
  long long maxRssKilobytes = 0;
  bool hung = false;
};
MeasuredRun runMeasured(const fs::path& cwd);

// Starts the POSIX build in `cwd`, its standard input /dev/null and its outputs written into
// `outFile` and `errFile`, with no descriptor of this process but those three and, unless
// `openFiles` is 0, that many descriptors allowed. Returns its process id.
pid_t startNativeRun(const fs::path& cwd, const fs::path& outFile, const fs::path& errFile,
                     long openFiles = 0);

}  // namespace pairwick::e2e
