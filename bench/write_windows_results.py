#!/usr/bin/env python3
# Writes the Windows section of RESULTS.md from what run_bench.sh --windows measured, in place of
# the section's earlier text; the Linux sections around it are left as they are.
import glob
import json
import os
import re
import statistics
import sys

BEGIN = "<!-- windows section -->"
END = "<!-- end of windows section -->"

results, target = sys.argv[1], sys.argv[2]


def read(name):
    path = os.path.join(results, name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return f.read()


def meta():
    return dict(line.split("=", 1) for line in (read("meta.txt") or "").splitlines() if "=" in line)


def round_times():
    """{size: {command: [seconds of each recorded round]}}."""
    times = {}
    for path in glob.glob(os.path.join(results, "round-*-*.json")):
        size = int(re.search(r"round-(\d+)-\d+\.json$", path).group(1))
        with open(path) as f:
            for r in json.load(f)["results"]:
                times.setdefault(size, {}).setdefault(r["command"], []).extend(r["times"])
    return times


kernel32 = set()


def calls(name):
    """{function: count}, modules merged, from a relay count file."""
    counted = {}
    for line in (read(name) or "").splitlines():
        count, call = line.split()
        module, function = call.split(".", 1)
        if module.upper() in ("KERNEL32", "KERNELBASE"):
            kernel32.add(function)
        counted[function] = counted.get(function, 0) + int(count)
    return counted


def section():
    m = meta()
    out = [BEGIN, "", "## Windows build under Wine", ""]
    out.append("Measured at %s on %s (load %s before, %s after), `%s`." %
               (m.get("commit", "?"), m.get("date", "?"), m.get("load_before", "?"),
                m.get("load_after", "?"), os.path.basename(m.get("pairwick", "pairwick.exe"))))
    out.append("")
    out.append("Command: `bench/run_bench.sh --windows`. The cross-built Release `pairwick.exe` and "
               "`bench/floor_walk.cpp` (a plain recursive walk with `FindFirstFileExW`, basic "
               "information and large fetch, writing each full path as a UTF-8 line in 1 MB "
               "writes; built with the same mingw-w64 toolchain) run under Wine with code page 932 "
               "(the setting of `scripts/windows-run.sh`) on the flat tree pairs of "
               "`gen_trees.py --flat`. Each round runs the four commands once, one after the "
               "other, in a new random order (hyperfine, one run each); the first round is not "
               "counted; medians. Output "
               "to a file is a regular file; the terminal is `script -qfc`. The last column is "
               "the console's own share: `bench/console_floor.cpp` writes the text that pairwick "
               "writes to a console (its output to a file, taken once before the rounds) and does "
               "nothing else, through `WriteConsoleW` in blocks of 8,192 units, in the same "
               "terminal.")
    out.append("")
    out.append("| entries per tree | folders (both trees) | rounds | floor to a file | "
               "pairwick to a file | x floor | pairwick in a terminal | x itself to a file | "
               "console text alone in a terminal |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    times = round_times()
    for size, by in sorted(times.items()):
        def median(command):
            return statistics.median(by[command]) if command in by else float("nan")
        floor, rounds = median("floor"), len(by.get("floor", []))
        to_file = median("pairwick to a file")
        terminal = median("pairwick in a terminal")
        console = median("console text alone in a terminal")
        folders = (read("folders-%d.txt" % size) or "?").strip()
        out.append("| {:,} | {} | {} | {:.3f} s | {:.3f} s | {:.2f} | {:.3f} s | {:.2f} | "
                   "{:.3f} s |".format(size, folders, rounds, floor, to_file, to_file / floor,
                                       terminal, terminal / to_file, console))
    out.append("")
    # Wine's run-to-run spread is large: the fastest and slowest round of each command.
    out.append("Spread over the rounds counted (fastest to slowest):")
    out.append("")
    out.append("| entries per tree | floor to a file | pairwick to a file | pairwick in a terminal | "
               "console text alone in a terminal |")
    out.append("|---|---|---|---|---|")
    for size, by in sorted(times.items()):
        cells = []
        for command in ("floor", "pairwick to a file", "pairwick in a terminal",
                        "console text alone in a terminal"):
            t = by.get(command, [float("nan")])
            cells.append("%.3f – %.3f s" % (min(t), max(t)))
        out.append("| {:,} | {} |".format(size, " | ".join(cells)))
    out.append("")
    entries = int((read("relay-entries.txt") or "0").strip() or 0)
    lines = int((read("relay-console-lines.txt") or "0").strip() or 0)
    on_file = calls("relay-file.txt")
    on_terminal = calls("relay-terminal.txt")
    out.append("Calls per entry in Wine's relay trace (`WINEDEBUG=+relay`, every call between "
               "modules) on the 20,000-entry flat pair: %d entries shown, %d console lines in the "
               "terminal run." % (entries, lines))
    out.append("")
    out.append("| what | calls | per entry or line |")
    out.append("|---|---|---|")
    if entries:
        opens = on_file.get("CreateFileW", 0) + on_file.get("GetFinalPathNameByHandleW", 0)
        out.append("| `CreateFileW` + `GetFinalPathNameByHandleW`, output to a file | %d | %.3f |"
                   % (opens, opens / entries))
        # A listing opens its folder: inside FindFirstFileExW, or with CreateFileW.
        folders = int((read("relay-folders.txt") or "0").strip() or 0)
        if folders and on_file.get("FindFirstFileExW", 0) < folders <= opens:
            out.append("| the same, less one open per folder listed (%d folders) | %d | %.3f |"
                       % (folders, opens - folders, (opens - folders) / entries))
        # Every open of a file or folder, whichever call makes it, against the floor's: a walk
        # opens each folder it lists.
        on_floor = calls("relay-floor.txt")
        if on_floor:
            for who, counted in (("pairwick", on_file), ("the floor", on_floor)):
                every = counted.get("NtCreateFile", 0) + counted.get("NtOpenFile", 0)
                out.append("| `NtCreateFile` + `NtOpenFile` (every open), %s, output to a file "
                           "| %d | %.3f |" % (who, every, every / entries))
    if lines:
        writes = on_terminal.get("WriteConsoleW", 0)
        out.append("| `WriteConsoleW`, in a terminal, per console line | %d | %.3f |" %
                   (writes, writes / lines))
    if entries:
        # Calls into the system (KERNEL32), as opposed to the C runtime's memory and string
        # functions and to what the system does inside.
        for function, count in sorted(on_file.items(), key=lambda item: -item[1]):
            if count / entries < 0.25 or function in ("CreateFileW", "GetFinalPathNameByHandleW"):
                continue
            if function not in kernel32:
                continue
            out.append("| `%s`, output to a file | %d | %.3f |" % (function, count, count / entries))
    out.append("")
    # Each request to the file system is a round trip on a file share: per folder listed, against
    # a plain walk's.
    folders = int((read("relay-folders.txt") or "0").strip() or 0)
    on_floor = calls("relay-floor.txt")
    if folders and on_floor:
        out.append("Requests to the file system per folder listed (%d folders), the calls into "
                   "ntdll that reach it, output to a file:" % folders)
        out.append("")
        out.append("| request | pairwick | the floor | pairwick beyond the floor |")
        out.append("|---|---|---|---|")
        beyond = 0
        for name, functions in (("`NtCreateFile` + `NtOpenFile`", ("NtCreateFile", "NtOpenFile")),
                                ("`NtQueryDirectoryFile`", ("NtQueryDirectoryFile",)),
                                ("`NtQueryInformationFile`", ("NtQueryInformationFile",)),
                                ("`NtQueryVolumeInformationFile`",
                                 ("NtQueryVolumeInformationFile",)),
                                ("`NtQueryAttributesFile` + `NtQueryFullAttributesFile`",
                                 ("NtQueryAttributesFile", "NtQueryFullAttributesFile")),
                                ("`NtSetInformationFile`", ("NtSetInformationFile",))):
            own = sum(on_file.get(f, 0) for f in functions)
            floor = sum(on_floor.get(f, 0) for f in functions)
            beyond += own - floor
            out.append("| %s | %.3f | %.3f | %+.3f |" % (name, own / folders, floor / folders,
                                                         (own - floor) / folders))
        out.append("| all of them | | | %+.3f |" % (beyond / folders))
        out.append("")
    out.append(END)
    return "\n".join(out) + "\n"


text = ""
if os.path.exists(target):
    with open(target, encoding="utf-8") as f:
        text = f.read()
new = section()
if BEGIN in text and END in text:
    head, rest = text.split(BEGIN, 1)
    text = head + new.rstrip("\n") + rest.split(END, 1)[1]
else:
    text = text.rstrip("\n") + "\n\n" + new
with open(target, "w", encoding="utf-8") as f:
    f.write(text)
