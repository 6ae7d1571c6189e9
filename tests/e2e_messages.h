// The program's own console, standard-error, log and report texts, composed for the end-to-end
// tests as UTF-8 patterns, and the check of one whole run against them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace pairwick::e2e {

// What one run is expected to produce. Log and standard error are UTF-8 text with LF line ends;
// the checks turn them into the bytes of each channel.
struct Expected {
  Pattern console;
  Pattern standardError;
  Pattern log;
  int status = 0;
};

// Relative paths in the order the report lists them.
using Paths = std::vector<std::string>;

// Start line, fixed line and (unless the base directory has no narrow form) the base directory.
void expectStart(Expected& e, const std::string& base, bool withBaseLine = true);
// The start lines and the configuration opened (its path is base + separator + the file name):
// how every run that reads its configuration begins.
Expected configOpenedRun(const std::string& base);
// Every line of a run whose configuration's first line is `firstLine` and malformed.
Expected malformedConfigurationRun(const std::string& base, const std::string& firstLine);
void expectConfigMissing(Expected& e, const std::string& base);
void expectConfigEmpty(Expected& e);
// The names as shown (console) and as logged; they differ when the names are not valid cp932.
void expectFoldersRead(Expected& e, const std::string& shown1, const std::string& shown2,
                       const std::string& logged1, const std::string& logged2);
void expectFoldersRead(Expected& e, const std::string& name1, const std::string& name2);
// The advice to save the configuration as Shift-JIS, which ends a run that failed for a file saved
// as `encoding` ("UTF-8" or "UTF-16 (Unicode)"); nothing for "".
void expectSavedAs(Expected& e, const std::string& encoding);
// The advice that ends a failed run on a system whose ANSI code page, `codePage`, is not 932.
void expectCodePageAdvice(Expected& e, unsigned codePage);
// Step 7's abort lines; sets the status to 1.
void expectAbort(Expected& e);
void expectFolderPaths(Expected& e, const std::string& path1, const std::string& path2);
// Folder not found; sets the status to 1.
void expectFolderMissing(Expected& e, const std::string& path);
// A complete scan: one entry line per visited entry (in any order), the count of distinct paths.
void expectScan(Expected& e, const std::string& label, const std::string& folderPath,
                const Paths& visited);
// Result file name, BOM line and one line per listed entry or empty list.
void expectReportLog(Expected& e, const std::string& name, const Paths& common, const Paths& only1,
                     const Paths& only2);
void expectCompletion(Expected& e, const std::string& name);
// The driver's handler with `message`; sets the status to 1.
void expectHandler(Expected& e, const Pattern& message);
// The finalisation failure line on standard error.
void expectFinalisationFailure(Expected& e);

// The report file's exact bytes; a folder whose scan was incomplete is noted under the header.
std::string reportBytes(const std::string& name1, const std::string& name2, const Paths& common,
                        const Paths& only1, const Paths& only2, bool incomplete1 = false,
                        bool incomplete2 = false);

// The final log's bytes for `before`, then one line given as it stands in the final log (no
// conversion), then `after`.
Pattern finalLogWithLine(const Pattern& before, const std::string& finalLine, const Pattern& after);

// Checks status, console, standard error, the final log and that the temporary log is gone.
void checkRun(const RunResult& result, const fs::path& dir, const Expected& e);
// The same with the final log's own bytes in place of the form of `e.log`.
void checkRun(const RunResult& result, const fs::path& dir, const Expected& e,
              const Pattern& finalLog);
// The same, except that finalisation failed: the temporary log is kept with `e.log` in code page
// 932 after `tempLogBefore`, and the final log, where given, still holds `finalLogBefore`.
void checkRunKeepingTempLog(const RunResult& result, const fs::path& dir, const Expected& e,
                            const std::string& tempLogBefore,
                            const std::optional<std::string>& finalLogBefore = std::nullopt);

// The single report file in `dir` (fails the test when there is not exactly one).
std::string soleReportName(const fs::path& dir);

// A run that gets as far as the report: names as configured, what each scan visits and the lists.
struct Comparison {
  std::string name1, name2;  // as configured, UTF-8
  std::string path1, path2;  // the program's names for the folders; empty: base + separator + name
  Paths visited1, visited2;  // entry lines of each scan, in any order
  bool scan1Fails = false;   // the scan ends in the scan handler after its visited entries
  Paths common, only1, only2;
  Pattern scan1Failure = platformText();  // the failure's message, where scan1Fails
  bool scan2Fails = false;                // the same for folder 2
  Pattern scan2Failure = platformText();
};

// A complete comparison of the folders `name1` and `name2` of the base directory, without links:
// each scan visits what the report lists of its folder.
Comparison listed(const Paths& common, const Paths& only1, const Paths& only2,
                  const std::string& name1 = "A", const std::string& name2 = "B");

// The report names that the run in `dir` tried, in order, from its final log, or from its
// temporary log where that was kept.
Paths reportNamesTried(const fs::path& dir);

// Every line of a run in a folder without a configuration file: start, file missing, abort.
Expected noConfigurationRun(const std::string& base);

// Every line of a completed run from the start line on.
// `namesTaken`: report names tried before the report's own, each taken already.
Expected expectComparison(const std::string& base, const Comparison& c,
                          const std::string& reportName, const Paths& namesTaken = {});
// Finds the report in `dir`, checks its bytes and the whole run.
void checkComparison(const RunResult& result, const fs::path& dir, const std::string& base,
                     const Comparison& c);

}  // namespace pairwick::e2e
