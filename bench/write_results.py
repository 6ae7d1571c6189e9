#!/usr/bin/env python3
# Turns the raw measurements of run_bench.sh into RESULTS.md and a plot with a panel per section.
import json
import os
import platform
import re
import subprocess
import sys

results, markdown, png = sys.argv[1], sys.argv[2], sys.argv[3]
here = os.path.dirname(os.path.abspath(__file__))
warm_commands = ["pairwick", "find", "comm", "diff -rq"]


def entries(n, flat=False):
    stamp_dir = os.path.join(here, "out", "trees", str(n) + ("-flat" if flat else ""))
    for name in (os.listdir(stamp_dir) if os.path.isdir(stamp_dir) else []):
        if name.startswith("complete-"):
            with open(os.path.join(stamp_dir, name)) as f:
                a, b = f.read().split()
            return int(a), int(b)
    return n, n


def run(cmd):
    try:
        return subprocess.run(cmd, shell=True, capture_output=True, text=True).stdout.strip()
    except OSError:
        return "?"


def read(*path):
    try:
        with open(os.path.join(results, *path)) as f:
            return f.read().strip()
    except OSError:
        return None


def meta(section):
    text = read(section, "meta.txt") or ""
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def hyperfine(path):
    with open(path) as f:
        return {r["command"]: (r["mean"], r["stddev"] or 0.0, r["min"], len(r["times"]))
                for r in json.load(f)["results"]}


def files(section, pattern):
    """(captured groups as ints or floats, path) of the section's files matching pattern."""
    folder = os.path.join(results, section)
    found = []
    if os.path.isdir(folder):
        for name in os.listdir(folder):
            m = re.fullmatch(pattern, name)
            if m:
                found.append((tuple(float(g) if "." in g else int(g) for g in m.groups()),
                              os.path.join(folder, name)))
    return sorted(found)


def thousands(n):
    return "{:,}".format(n)


def fd_threads(name):
    m = re.fullmatch(r"fdfind -j(\d+)", name)
    return int(m.group(1)) if m else None


def best_fd(times, single=False):
    """Name of the fastest fdfind with more than one thread (the thread count worth reporting),
    or of any thread count with `single`."""
    tried = [c for c in times if fd_threads(c) and (single or fd_threads(c) > 1)]
    return min(tried, key=lambda c: times[c][0]) if tried else None


def ratio(mean, times, name):
    return "%.2f" % (mean / times[name][0]) if name in times else "–"


def provenance(section):
    m = meta(section)
    return ("Commit %s; %s; load average (1, 5, 15 min) before: %s, after: %s; niceness: %s; "
            "pairwick binary: `%s`." % (
                m.get("commit", "?"), m.get("date", "?"), m.get("load_before", "?"),
                m.get("load_after", "?"), m.get("nice", "?"),
                os.path.relpath(m["pairwick"], os.path.join(here, "..")) if "pairwick" in m else "?"))


warm = {n: hyperfine(p) for (n,), p in files("warm", r"hyperfine-(\d+)\.json")}
memory = {}
for (n,), p in files("warm", r"memory-(\d+)\.txt"):
    with open(p) as f:
        for line in f:
            name, kb = line.rstrip("\n").split("|")
            memory[(n, name)] = int(kb) * 1024 if kb else 0
cold = {n: hyperfine(p) for (n,), p in files("cold", r"hyperfine-(\d+)\.json")}
share = {(n, d): hyperfine(p)
         for (n, d), p in files("share", r"hyperfine-(\d+)-(\d+(?:\.\d+)?)ms\.json")}
folders = {n: int(open(p).read()) for (n,), p in files("share", r"folders-(\d+)\.txt")}


def loads(path):
    """The load averages written before and after a timing: {"before": "a b c", "after": ...}."""
    found = {}
    with open(path) as f:
        for line in f:
            when, _, figures = line.strip().partition(" ")
            found[when] = figures
    return found


def section_loads(section, pattern):
    return {key if len(key) > 1 else key[0]: loads(p) for key, p in files(section, pattern)}


warm_loads = section_loads("warm", r"load-(\d+)\.txt")
cold_loads = section_loads("cold", r"load-(\d+)\.txt")
share_loads = section_loads("share", r"load-(\d+)-(\d+(?:\.\d+)?)ms\.txt")
# Requests per command of one counted run: {(n, delay): {command: {request: count}}}.
requests = {}
for (n, d), p in files("share", r"requests-(\d+)-(\d+(?:\.\d+)?)ms\.txt"):
    by_command = requests.setdefault((n, d), {})
    with open(p) as f:
        for line in f:
            command, request, count = line.rstrip("\n").split("|")
            by_command.setdefault(command, {})[request] = int(count)


def load_text(figures):
    if not figures:
        return "load not recorded"
    return "load average (1, 5, 15 min) before: %s, after: %s" % (
        figures.get("before", "?"), figures.get("after", "?"))

cpu = run("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip()
lines = []
w = lines.append
w("# Pairwick benchmark results")
w("")
w("Produced by `bench/run_bench.sh` (one command: it builds, generates the trees, measures and "
  "writes this file and `bench/results.png`; `--warm`, `--micro`, `--cold`, `--share`, `--smb` "
  "and `--calls` rerun one section, and each section below names the commit and load it was "
  "measured under; a section never measured where the file was last written keeps the text of "
  "the run that measured it).")
w("")
w("- Machine: %s, %s cores, %s, Linux %s; file system of the trees: %s" % (
    cpu, os.cpu_count(), platform.machine(), platform.release(),
    run("df -T %s | awk 'NR==2 {print $2}'" % os.path.join(here, "out"))))
w("- Trees: `bench/gen_trees.py` (seed 20261207): fan-out about 20, depth 3 to 6, about 10 % "
  "Japanese names (with 表 and ソ, whose second byte is 0x5C), about 0.5 % symbolic links; B is A "
  "with 5 % of its entries removed and 5 % added.")
w("- Commands, all in the folder that holds A and B, output to /dev/null:")
w("  - `pairwick`: the whole run (configuration `A,B`, both scans, console, log, report, "
  "log finalisation)")
w("  - `find`: `find A B -printf '%P\\n'`")
w("  - `comm`: `comm -3 <(cd A && find . | LC_ALL=C sort) <(cd B && find . | LC_ALL=C sort)`")
w("  - `diff -rq`: `diff -rq A B` (warm page cache only)")
w("  - `fdfind -jN`: `fdfind -u -jN . A B`, with one thread (not on the share) and each thread "
  "count tried; × best fdfind compares with the fastest of the counts above one (on a warm "
  "cache, of them all)")
w("- Time: hyperfine mean ± standard deviation. Memory: peak resident size from "
  "`/usr/bin/time -v` (the largest single process of the command).")
w("")


def skipped(section):
    reason = read(section, "skipped.txt")
    if reason:
        w("Not measured in the last run: %s." % reason)
        w("")
    return reason is not None


w("## Warm page cache")
w("")
if not skipped("warm") and warm:
    w("%s One warm-up run, then 10 runs (5 at 1M)." % provenance("warm"))
    w("")
sizes = sorted(warm)
for n in sizes:
    times = warm[n]
    a, b = entries(n)
    total = a + b
    w("### %s entries per tree (A: %d, B: %d)" % (thousands(n), a, b))
    w("")
    if n in warm_loads:
        w("Timed under %s." % load_text(warm_loads[n]))
        w("")
    # On a warm cache one thread may well be fdfind's fastest.
    best = best_fd(times, single=True)
    w("| command | time (s) | × find | × comm | × best fdfind | µs per entry | peak memory (MB) "
      "| bytes per entry |")
    w("|---|---|---|---|---|---|---|---|")
    fds = sorted((c for c in times if fd_threads(c)), key=fd_threads)
    for c in [c for c in warm_commands if c in times] + fds:
        mean, sd = times[c][:2]
        rss = memory.get((n, c))
        w("| %s%s | %.3f ± %.3f | %s | %s | %s | %.3f | %s | %s |" % (
            c, " (best)" if c == best else "", mean, sd, ratio(mean, times, "find"),
            ratio(mean, times, "comm"), ratio(mean, times, best) if best else "–",
            mean / total * 1e6, "%.1f" % (rss / 1e6) if rss else "–",
            "%.0f" % (rss / total) if rss else "–"))
    w("")

if sizes and "pairwick" in warm[sizes[-1]]:
    big, small = sizes[-1], sizes[0]
    w("### Targets")
    w("")
    a, b = entries(big)
    p = warm[big]["pairwick"][0]
    f = warm[big]["find"][0]
    c = warm[big]["comm"][0]
    sa, sb = entries(small)
    per_big = p / (a + b)
    per_small = warm[small]["pairwick"][0] / (sa + sb)
    rss = memory.get((big, "pairwick"), 0) / (a + b)
    w("| target | measured | met |")
    w("|---|---|---|")
    w("| pairwick within 1.5 × find at %s | %.2f × | %s |" % (thousands(big), p / f,
                                                           "yes" if p / f <= 1.5 else "no"))
    w("| pairwick no slower than comm at %s | %.2f × | %s |" % (thousands(big), p / c,
                                                            "yes" if p <= c else "no"))
    best = best_fd(warm[big], single=True)
    if best:
        fb = warm[big][best][0]
        w("| pairwick no slower than the best fdfind -u -jN at %s | %.2f × %s | %s |" % (
            thousands(big), p / fb, best, "yes" if p <= fb else "no"))
    w("| time per entry at %s within 30 %% of %s | %.3f µs against %.3f µs (%+.0f %%) | %s |" % (
        thousands(big), thousands(small), per_big * 1e6, per_small * 1e6,
        (per_big / per_small - 1) * 100, "yes" if per_big <= per_small * 1.3 else "no"))
    w("| peak memory at most 150 bytes per entry at %s | %.0f bytes | %s |" % (
        thousands(big), rss, "yes" if rss <= 150 else "no"))
    w("")


def timing_table(times, extra_header, extra):
    """Rows of every command of one hyperfine run, with the ratios that apply."""
    best = best_fd(times)
    w("| command | time (s) | × find | × comm | × best fdfind | %s |" % extra_header)
    w("|---|---|---|---|---|---|")
    for c in sorted(times, key=lambda c: (fd_threads(c) or 0, c != "pairwick", c)):
        mean, sd = times[c][:2]
        w("| %s%s | %.3f ± %.3f | %s | %s | %s | %s |" % (
            c, " (best)" if c == best else "", mean, sd, ratio(mean, times, "find"),
            ratio(mean, times, "comm"), ratio(mean, times, best) if best else "–", extra(mean)))
    w("")


w("## Cold page cache")
w("")
if not skipped("cold") and cold:
    runs = sorted({r[3] for t in cold.values() for r in t.values()})
    w("%s Before every run (hyperfine `--prepare`): `sync; echo 3 > /proc/sys/vm/drop_caches`, "
      "so each run reads every folder from the disk, binaries included; no warm-up; %s runs." % (
          provenance("cold"), " or ".join(map(str, runs))))
    w("")
for n in sorted(cold):
    a, b = entries(n)
    w("### %s entries per tree (A: %d, B: %d)" % (thousands(n), a, b))
    w("")
    if n in cold_loads:
        w("Timed under %s." % load_text(cold_loads[n]))
        w("")
    timing_table(cold[n], "µs per entry", lambda mean: "%.3f" % (mean / (a + b) * 1e6))

w("## Simulated file share")
w("")
# The requests of each kind shown per folder, in this order; the rest are summed under "other".
shown_requests = ["lookup", "getattr", "access", "opendir", "readdirplus", "readdir",
                  "releasedir", "readlink"]


def requests_per_folder(counted, nf):
    """Cells of the request columns for one command's counts: total, then each kind shown."""
    if not counted or not nf:
        return ["–"] * (len(shown_requests) + 2)
    # Forgets get no answer: they are no round trip.
    total = sum(v for r, v in counted.items() if r not in ("forget", "settled"))
    other = total - sum(counted.get(r, 0) for r in shown_requests)
    cells = ["%.2f" % (total / nf)] + ["%.2f" % (counted.get(r, 0) / nf) for r in shown_requests]
    cells.append("%.2f" % (other / nf))
    if counted.get("settled", 1) == 0:
        cells[0] += " (closes missing)"
    return cells


if not skipped("share") and share:
    runs = sorted({r[3] for t in share.values() for r in t.values()})
    w("%s A and B are two mounts of `bench/slowfs` (FUSE, libfuse3 low-level interface, "
      "multithreaded with up to 256 workers), mirroring the local trees read-only; every request "
      "the kernel waits for waits the delay, as a round trip to a server does: lookups, status "
      "queries, access checks (no `default_permissions`: the kernel asks the mirror, as an NFS "
      "client asks its server), opens, each read of a listing (the one that finds its end "
      "included), link reads and closes (the kernel sends a folder's close in the background, so "
      "it delays the mirror, not the program). Listings carry each entry's attributes "
      "(READDIRPLUS); names and attributes are cached for 1 s (as by a CIFS client's default "
      "`actimeo=1`), listings never. Mounted afresh before every run and unmounted after "
      "(`bench/share_mount.sh`), so nothing is cached between runs. The local trees stay in the "
      "page cache, so the delay alone stands for the network. No warm-up; %s runs. *Requests per "
      "folder*: from one more run of each command on a mount that counts them (slowfs "
      "`--counts`), taken down once every close has arrived; forgets, which get no answer, are "
      "left out." % (provenance("share"), " or ".join(map(str, runs))))
    w("")
for (n, d) in sorted(share):
    a, b = entries(n, flat=True)
    nf = folders.get(n)
    times = share[(n, d)]
    counted = requests.get((n, d), {})
    w("### %s entries per tree (A: %d, B: %d), %s folders, %g ms per request" % (
        thousands(n), a, b, thousands(nf) if nf else "?", d))
    w("")
    line = "Timed under %s." % load_text(share_loads.get((n, d)))
    if nf and "pairwick" in counted:
        total = float(requests_per_folder(counted["pairwick"], nf)[0].split()[0])
        line += (" One request at a time, pairwick's %.2f requests per folder would take %.1f s."
                 % (total, total * nf * d / 1000))
    w(line)
    w("")
    best = best_fd(times)
    w("| command | time (s) | × best fdfind | requests per folder | %s | other |" %
      " | ".join(shown_requests))
    w("|---|---|---|---|%s---|" % ("---|" * len(shown_requests)))
    for c in sorted(times, key=lambda c: (fd_threads(c) or 0, c)):
        mean, sd = times[c][:2]
        w("| %s%s | %.3f ± %.3f | %s | %s |" % (
            c, " (best)" if c == best else "", mean, sd,
            ratio(mean, times, best) if best else "–",
            " | ".join(requests_per_folder(counted.get(c), nf))))
    w("")

if share and any("pairwick" in t and best_fd(t) for t in share.values()):
    w("### Targets")
    w("")
    w("| target | measured | met |")
    w("|---|---|---|")
    for (n, d) in sorted(share):
        times = share[(n, d)]
        best = best_fd(times)
        if "pairwick" not in times or not best:
            continue
        r = times["pairwick"][0] / times[best][0]
        w("| pairwick at most 0.8 × the best fdfind -u -jN, %s entries per tree, %g ms | "
          "%.2f × %s | %s |" % (thousands(n), d, r, best, "yes" if r <= 0.8 else "no"))
        counted = requests.get((n, d), {})
        nf = folders.get(n)
        if nf and "pairwick" in counted and best in counted:
            # Lookups and link reads come of resolving links, which fdfind does not do.
            def listing_requests(c):
                return sum(v for r, v in counted[c].items()
                           if r not in ("forget", "settled", "lookup", "readlink")) / nf
            pw, fw = listing_requests("pairwick"), listing_requests(best)
            w("| requests per folder besides lookups and link reads no more than fdfind's, %s "
              "entries per tree, %g ms | %.2f against %.2f | %s |" % (
                  thousands(n), d, pw, fw, "yes" if pw <= fw + 0.005 else "no"))
    w("")


# The real SMB server: one line per run, "command|round|seconds|load before|load after|kind=n,...".
smb_runs = {}
for (n, d), p in files("smb", r"runs-(\d+)-(\d+(?:\.\d+)?)ms\.txt"):
    with open(p) as f:
        for line in f:
            command, rnd, seconds, load_before, load_after, kinds = line.rstrip("\n").split("|")
            smb_runs.setdefault((n, d), {}).setdefault(command, []).append({
                "round": int(rnd), "seconds": float(seconds), "load": float(load_before.split()[0]),
                "counts": {k: float(v) for k, v in (kv.split("=") for kv in kinds.split(","))}})
smb_folders = {n: int(open(p).read()) for (n,), p in files("smb", r"folders-(\d+)\.txt")}
smb_kinds = ["CREATE", "CLOSE", "QUERY_DIRECTORY", "QUERY_INFO"]


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def smb_per_folder(runs, kind, nf):
    return median([r["counts"].get(kind, 0) for r in runs]) / nf


def smb_best_fd(by_command):
    tried = [c for c in by_command if fd_threads(c)]
    return min(tried, key=lambda c: median([r["seconds"] for r in by_command[c]])) if tried else None


w("## Real SMB share (Samba server, smbnetfs client)")
w("")
if not skipped("smb") and smb_runs:
    late = max((r["counts"].get("late_mean_us", 0) for t in smb_runs.values() for runs in
                t.values() for r in runs), default=0)
    w("%s A Samba `smbd` serves the trees from a local folder in a network namespace of its own "
      "(`tests/smb_share.sh`); the FUSE client `smbnetfs` (libsmbclient) mounts it through "
      "`bench/smb_proxy.cpp`, which holds every message of the client for the round trip before "
      "sending it on (the client sends one request at a time per server, so each costs one round "
      "trip; the messages left on average at most %.0f µs after they were due) and counts the SMB2 "
      "commands of each kind, compound chains followed. Each run meets a client mounted afresh "
      "(nothing cached); the commands are interleaved round by round in a new order each round. "
      "pairwick runs in a local folder whose configuration names the trees by their paths on the "
      "mount; find and fdfind run in the mount. *Round trips*: the client's messages during the "
      "run and until the closes it sends afterwards have arrived; the commands of each kind are "
      "counted apart. Time and counts: median of the rounds, with the fastest and slowest run; "
      "*load*: the 1-minute load average when each run began (median, min–max)." % (
          provenance("smb"), late))
    w("")
for (n, d) in sorted(smb_runs):
    a, b = entries(n, flat=True)
    nf = smb_folders.get(n)
    by_command = smb_runs[(n, d)]
    rounds = max(len(v) for v in by_command.values())
    w("### %s entries per tree (A: %d, B: %d), %s folders, %g ms round trip, %d round%s" % (
        thousands(n), a, b, thousands(nf) if nf else "?", d, rounds, "s" if rounds > 1 else ""))
    w("")
    best = smb_best_fd(by_command)
    best_time = median([r["seconds"] for r in by_command[best]]) if best else None
    w("| command | time (s), median | min–max | × best fdfind | load (1 min) | round trips per "
      "folder | %s | other commands |" % " | ".join(smb_kinds))
    w("|---|---|---|---|---|---|%s---|" % ("---|" * len(smb_kinds)))
    for c in sorted(by_command, key=lambda c: (fd_threads(c) or 0, c)):
        runs = by_command[c]
        times = [r["seconds"] for r in runs]
        loads_ = [r["load"] for r in runs]
        t = median(times)
        if nf:
            commands = median([sum(v for k, v in r["counts"].items() if k.isupper())
                               for r in runs]) / nf
            cells = ["%.2f" % smb_per_folder(runs, "messages", nf)] + [
                "%.2f" % smb_per_folder(runs, k, nf) for k in smb_kinds]
            cells.append("%.2f" % (commands - sum(smb_per_folder(runs, k, nf) for k in smb_kinds)))
        else:
            cells = ["–"] * (len(smb_kinds) + 2)
        w("| %s%s | %.2f | %.2f–%.2f | %s | %.2f (%.2f–%.2f) | %s |" % (
            c, " (best)" if c == best else "", t, min(times), max(times),
            "%.2f" % (t / best_time) if best else "–", median(loads_), min(loads_), max(loads_),
            " | ".join(cells)))
    w("")
if any("pairwick" in t and smb_best_fd(t) for t in smb_runs.values()):
    w("### Targets")
    w("")
    w("| target | measured | met |")
    w("|---|---|---|")
    for (n, d) in sorted(smb_runs):
        by_command = smb_runs[(n, d)]
        nf = smb_folders.get(n)
        best = smb_best_fd(by_command)
        if "pairwick" not in by_command or not best or not nf:
            continue
        pw = smb_per_folder(by_command["pairwick"], "messages", nf)
        fewest = min((c for c in by_command if fd_threads(c)),
                     key=lambda c: smb_per_folder(by_command[c], "messages", nf))
        fw = smb_per_folder(by_command[fewest], "messages", nf)
        w("| round trips per folder no more than fdfind -u's, %s entries per tree, %g ms | %.2f "
          "against %.2f (%s) | %s |" % (thousands(n), d, pw, fw, fewest,
                                          "yes" if pw <= fw + 0.005 else "no"))
        if d <= 1:
            pt = median([r["seconds"] for r in by_command["pairwick"]])
            ft = median([r["seconds"] for r in by_command[best]])
            w("| no slower than the best fdfind -u -jN, %s entries per tree, %g ms | %.2f s "
              "against %.2f s (%s), %.2f × | %s |" % (thousands(n), d, pt, ft, best, pt / ft,
                                                    "yes" if pt <= ft else "no"))
    w("")


# System calls per folder, from strace -c -f.
def strace_counts(path):
    counted = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
                counted[fields[-1]] = int(fields[3])
    return counted


calls = {}
for (n, name), p in [((int(m.group(1)), m.group(2)), os.path.join(results, "calls", f))
                     for f in (os.listdir(os.path.join(results, "calls"))
                               if os.path.isdir(os.path.join(results, "calls")) else [])
                     for m in [re.fullmatch(r"strace-(\d+)-(.+)\.txt", f)] if m]:
    calls.setdefault(n, {})[name] = strace_counts(p)
# The calls that ask the file system something, in the order shown; the rest are summed apart.
fs_calls = ["openat", "newfstatat", "statx", "getdents64", "close", "faccessat2", "faccessat",
            "fcntl", "readlink", "lseek"]
w("## System calls per folder (strace)")
w("")
if not skipped("calls") and calls:
    w("%s Every system call of every thread of one run, counted with `strace -c -f`, divided by "
      "the folders of both trees. The file-system calls are those on paths and descriptors of "
      "the trees (`fcntl`, on a descriptor, counted with them); a link's resolution (pairwick "
      "resolves each link's target) adds an `openat`, a `readlink` and a `close` per link." %
      provenance("calls"))
    w("")
for n in sorted(calls):
    nf = int(read("calls", "folders-%d.txt" % n) or 0)
    links = read("calls", "links-%d.txt" % n)
    a, b = entries(n)
    w("### %s entries per tree (A: %d, B: %d), %s folders, %s links" % (
        thousands(n), a, b, thousands(nf), thousands(int(links)) if links else "?"))
    w("")
    shown = [c for c in fs_calls if any(counted.get(c) for counted in calls[n].values())]
    w("| command | file-system calls per folder | %s | other calls per folder |" %
      " | ".join(shown))
    w("|---|---|%s---|" % ("---|" * len(shown)))
    for name in sorted(calls[n], key=lambda c: c != "pairwick"):
        counted = calls[n][name]
        fs_total = sum(counted.get(c, 0) for c in shown)
        other = sum(counted.values()) - fs_total
        w("| %s | %.2f | %s | %.2f |" % (
            name, fs_total / nf, " | ".join("%.2f" % (counted.get(c, 0) / nf) for c in shown),
            other / nf))
    w("")

micro = os.path.join(results, "micro", "micro.json")
if os.path.exists(micro):
    w("## Micro benchmarks (`pairwick_micro_benchmarks`)")
    w("")
    w(provenance("micro"))
    w("")
    w("| benchmark | time per iteration | throughput |")
    w("|---|---|---|")
    with open(micro) as f:
        for bm in json.load(f)["benchmarks"]:
            rate = ""
            if "bytes_per_second" in bm:
                rate = "%.0f MB/s" % (bm["bytes_per_second"] / 1e6)
            elif "items_per_second" in bm:
                rate = "%.2f M paths/s" % (bm["items_per_second"] / 1e6)
            w("| %s | %.3f %s | %s |" % (bm["name"], bm["real_time"], bm["time_unit"], rate))
    w("")

w("![time against entries and against delay](results.png)")
w("")
previous = ""
if os.path.exists(markdown):
    with open(markdown, encoding="utf-8") as f:
        previous = f.read()


def blocks_of(text_lines):
    """[heading, lines] per "## " section, after the lines before the first ([None, ...])."""
    blocks = [[None, []]]
    for line in text_lines:
        if line.startswith("## ") or line.startswith("!["):
            blocks.append([line, []])
        blocks[-1][1].append(line)
    return blocks


# A section never measured on this machine (no folder of its own under the results) keeps the
# text of the run that last measured it, which names that run's commit and date.
section_titles = {
    "warm": "## Warm page cache",
    "cold": "## Cold page cache",
    "share": "## Simulated file share",
    "smb": "## Real SMB share (Samba server, smbnetfs client)",
    "calls": "## System calls per folder (strace)",
    "micro": "## Micro benchmarks (`pairwick_micro_benchmarks`)",
}
earlier = {h: b for h, b in blocks_of(previous.split("<!-- windows section -->")[0].split("\n"))
           if h and h.startswith("## ")}
blocks = blocks_of(lines)
for section, title in section_titles.items():
    if os.path.isdir(os.path.join(results, section)) or title not in earlier:
        continue
    headings = [h for h, _ in blocks]
    if title in headings:
        blocks[headings.index(title)][1] = earlier[title]
    else:
        # Before the plot, where the section was.
        blocks.insert(len(blocks) - 1, [title, earlier[title]])
lines = [line for _, b in blocks for line in b]
# The Windows section is written by write_windows_results.py, from a run of its own: it stays.
windows = ""
begin, end = "<!-- windows section -->", "<!-- end of windows section -->"
if begin in previous and end in previous:
    windows = "\n" + begin + previous.split(begin, 1)[1].split(end, 1)[0] + end + "\n"
with open(markdown, "w", encoding="utf-8") as f:
    f.write("\n".join(lines) + windows)


def series_file(name, series):
    """Writes one gnuplot block per series (title line first); returns the path and block count."""
    path = os.path.join(results, name)
    with open(path, "w") as f:
        for title, points in series:
            f.write('"%s" "time" "sd"\n' % title)
            for x, (mean, sd) in points:
                f.write("%g %f %f\n" % (x, mean, sd))
            f.write("\n\n")
    return path, len(series)


def scanners(by_x):
    """Series of pairwick, comm, find, fdfind -j1 and the best fdfind, over x."""
    series = []
    for c in ["pairwick", "comm", "find", "fdfind -j1"]:
        points = [(x, t[c][:2]) for x, t in sorted(by_x.items()) if c in t]
        if points:
            series.append((c, points))
    best = [(x, t[best_fd(t)][:2]) for x, t in sorted(by_x.items()) if best_fd(t)]
    if best:
        series.append(("fdfind, best -jN", best))
    return series


panels = []
if warm:
    warm_series = [(c, [(n, warm[n][c][:2]) for n in sizes if c in warm[n]])
                   for c in warm_commands]
    best_warm = [(n, warm[n][best_fd(warm[n])][:2]) for n in sizes if best_fd(warm[n])]
    if best_warm:
        warm_series.append(("fdfind, best -jN", best_warm))
    panels.append((series_file("plot-warm.dat", [s for s in warm_series if s[1]]),
                   "Warm page cache: time against entries", "entries per tree"))
if cold:
    panels.append((series_file("plot-cold.dat", scanners(cold)),
                   "Cold page cache: time against entries", "entries per tree"))
for n in sorted({n for n, _ in share}):
    panels.append((series_file("plot-share-%d.dat" % n, scanners(
        {d: t for (m, d), t in share.items() if m == n})),
        "Simulated share, %s entries per tree: time against delay per request"
        % thousands(n), "delay per request (ms)"))

plot = ["set terminal pngcairo size 900,%d" % (450 * max(1, len(panels))),
        "set output '%s'" % png,
        "set multiplot layout %d,1" % max(1, len(panels)),
        "set logscale xy", "set ylabel 'time (s), two trees'", "set key top left", "set grid"]
for (path, count), title, xlabel in panels:
    plot += ["set title '%s'" % title, "set xlabel '%s'" % xlabel,
             "plot for [i=0:%d] '%s' index i using 1:2:3 with yerrorlines "
             "title columnheader(1) noenhanced" % (count - 1, path)]
plot.append("unset multiplot")
if panels:
    subprocess.run(["gnuplot"], input="\n".join(plot) + "\n", text=True, check=True)
