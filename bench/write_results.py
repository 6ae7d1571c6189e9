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


def entries(n):
    stamp_dir = os.path.join(here, "out", "trees", str(n))
    for name in os.listdir(stamp_dir):
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


def best_fd(times):
    """Name of the fastest fdfind with more than one thread (the thread count worth reporting)."""
    tried = [c for c in times if (fd_threads(c) or 1) > 1]
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

cpu = run("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip()
lines = []
w = lines.append
w("# Pairwick benchmark results")
w("")
w("Produced by `bench/run_bench.sh` (one command: it builds, generates the trees, measures and "
  "writes this file and `bench/results.png`; `--warm`, `--micro`, `--cold` and `--share` rerun "
  "one section, and each section below names the commit and load it was measured under).")
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
w("  - `fdfind -jN`: `fdfind -u -jN . A B` (cold cache and share only), with one thread and "
  "each thread count tried; × best fdfind compares with the fastest of the counts above one")
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
    w("| command | time (s) | × find | × comm | µs per entry | peak memory (MB) | bytes per entry |")
    w("|---|---|---|---|---|---|---|")
    for c in warm_commands:
        if c not in times:
            continue
        mean, sd = times[c][:2]
        rss = memory.get((n, c), 0)
        w("| %s | %.3f ± %.3f | %s | %s | %.3f | %.1f | %.0f |" % (
            c, mean, sd, ratio(mean, times, "find"), ratio(mean, times, "comm"),
            mean / total * 1e6, rss / 1e6, rss / total))
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
    timing_table(cold[n], "µs per entry", lambda mean: "%.3f" % (mean / (a + b) * 1e6))

w("## Simulated file share")
w("")
if not skipped("share") and share:
    runs = sorted({r[3] for t in share.values() for r in t.values()})
    w("%s A and B are two mounts of `bench/slowfs` (FUSE, libfuse3, multithreaded with up to 256 "
      "workers), mirroring the local trees read-only; each folder listing (opendir) waits the "
      "delay once, while attributes, links and contents come back at once. Mounted afresh "
      "before every run and unmounted after (`bench/share_mount.sh`), so nothing is cached "
      "between runs; within a run names and attributes are cached for 1 s (`entry_timeout`, "
      "`attr_timeout`, as a CIFS client's default `actimeo=1`), listings never (no "
      "`cache_readdir`, no `kernel_cache`). The local trees stay in the page cache, so the delay "
      "alone stands for the network. No warm-up; %s runs. *Listings at once*: folders × delay ÷ "
      "time, the average number of listings waited for together (1: one at a time)." % (
          provenance("share"), " or ".join(map(str, runs))))
    w("")
for (n, d) in sorted(share):
    a, b = entries(n)
    nf = folders.get(n)
    w("### %s entries per tree (A: %d, B: %d), %s folders, %g ms per listing" % (
        thousands(n), a, b, thousands(nf) if nf else "?", d))
    w("")
    if nf:
        w("One listing at a time would take at least %.2f s." % (nf * d / 1000))
        w("")
    timing_table(share[(n, d)], "listings at once",
                 lambda mean: "%.1f" % (nf * d / 1000 / mean) if nf else "–")

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
# The Windows section is written by write_windows_results.py, from a run of its own: it stays.
windows = ""
if os.path.exists(markdown):
    with open(markdown, encoding="utf-8") as f:
        kept = f.read()
    begin, end = "<!-- windows section -->", "<!-- end of windows section -->"
    if begin in kept and end in kept:
        windows = "\n" + begin + kept.split(begin, 1)[1].split(end, 1)[0] + end + "\n"
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
    panels.append((series_file("plot-warm.dat", [
        (c, [(n, warm[n][c][:2]) for n in sizes if c in warm[n]]) for c in warm_commands]),
        "Warm page cache: time against entries", "entries per tree"))
if cold:
    panels.append((series_file("plot-cold.dat", scanners(cold)),
                   "Cold page cache: time against entries", "entries per tree"))
for n in sorted({n for n, _ in share}):
    panels.append((series_file("plot-share-%d.dat" % n, scanners(
        {d: t for (m, d), t in share.items() if m == n})),
        "Simulated share, %s entries per tree: time against delay per folder listing"
        % thousands(n), "delay per folder listing (ms)"))

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
