#!/usr/bin/env python3
# Turns the raw measurements of run_bench.sh into RESULTS.md and a plot of time against entries.
import json
import os
import platform
import subprocess
import sys

results, markdown, png = sys.argv[1], sys.argv[2], sys.argv[3]
sizes = [int(n) for n in sys.argv[4:]]
commands = ["pairwick", "find", "comm", "diff -rq"]
here = os.path.dirname(os.path.abspath(__file__))


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


times = {}
memory = {}
for n in sizes:
    with open(os.path.join(results, "hyperfine-%d.json" % n)) as f:
        for r in json.load(f)["results"]:
            times[(n, r["command"])] = (r["mean"], r["stddev"] or 0.0, r["min"])
    with open(os.path.join(results, "memory-%d.txt" % n)) as f:
        for line in f:
            name, kb = line.rstrip("\n").split("|")
            memory[(n, name)] = int(kb) * 1024

cpu = run("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip()
lines = []
w = lines.append
w("# Pairwick benchmark results")
w("")
w("Produced by `bench/run_bench.sh` (one command: it builds, generates the trees, measures and "
  "writes this file and `bench/results.png`).")
w("")
w("- Machine: %s, %s cores, %s, Linux %s; file system of the trees: %s" % (
    cpu, os.cpu_count(), platform.machine(), platform.release(),
    run("df -T %s | awk 'NR==2 {print $2}'" % os.path.join(here, "out"))))
def load(name):
    try:
        with open(os.path.join(results, name)) as f:
            return f.read().strip()
    except OSError:
        return "?"


w("- Commit: %s; date: %s; load average (1, 5, 15 min) before: %s, after: %s; "
  "niceness of the measured commands: %s" % (
      run("git -C %s rev-parse --short HEAD" % here), run("date -u"), load("load-before.txt"),
      load("load-after.txt"), load("nice.txt")))
w("- Trees: `bench/gen_trees.py` (seed 20261207): fan-out about 20, depth 3 to 6, about 10 % "
  "Japanese names (with 表 and ソ, whose second byte is 0x5C), about 0.5 % symbolic links; B is A "
  "with 5 % of its entries removed and 5 % added. Page cache warm (one warm-up run each).")
w("- Commands, all in the folder that holds A and B, output to /dev/null:")
w("  - `pairwick`: the whole run (configuration `A,B`, both scans, console, log, report, "
  "log finalisation)")
w("  - `find`: `find A B -printf '%P\\n'`")
w("  - `comm`: `comm -3 <(cd A && find . | LC_ALL=C sort) <(cd B && find . | LC_ALL=C sort)`")
w("  - `diff -rq`: `diff -rq A B`")
w("- Time: hyperfine mean ± standard deviation (10 runs; 5 at 1M). Memory: peak resident size "
  "from `/usr/bin/time -v` (the largest single process of the command).")
w("")
for n in sizes:
    a, b = entries(n)
    total = a + b
    w("## %s entries per tree (A: %d, B: %d)" % ("{:,}".format(n), a, b))
    w("")
    w("| command | time (s) | × find | × comm | µs per entry | peak memory (MB) | bytes per entry |")
    w("|---|---|---|---|---|---|---|")
    for c in commands:
        if (n, c) not in times:
            continue
        mean, sd, _ = times[(n, c)]
        rss = memory.get((n, c), 0)
        w("| %s | %.3f ± %.3f | %.2f | %.2f | %.3f | %.1f | %.0f |" % (
            c, mean, sd, mean / times[(n, "find")][0], mean / times[(n, "comm")][0],
            mean / total * 1e6, rss / 1e6, rss / total))
    w("")

big, small = max(sizes), min(sizes)
if (big, "pairwick") in times:
    w("## Targets")
    w("")
    a, b = entries(big)
    p = times[(big, "pairwick")][0]
    f = times[(big, "find")][0]
    c = times[(big, "comm")][0]
    sa, sb = entries(small)
    per_big = p / (a + b)
    per_small = times[(small, "pairwick")][0] / (sa + sb)
    rss = memory.get((big, "pairwick"), 0) / (a + b)
    w("| target | measured | met |")
    w("|---|---|---|")
    w("| pairwick within 1.5 × find at %s | %.2f × | %s |" % ("{:,}".format(big), p / f,
                                                           "yes" if p / f <= 1.5 else "no"))
    w("| pairwick no slower than comm at %s | %.2f × | %s |" % ("{:,}".format(big), p / c,
                                                            "yes" if p <= c else "no"))
    w("| time per entry at %s within 30 %% of %s | %.3f µs against %.3f µs (%+.0f %%) | %s |" % (
        "{:,}".format(big), "{:,}".format(small), per_big * 1e6, per_small * 1e6,
        (per_big / per_small - 1) * 100, "yes" if per_big <= per_small * 1.3 else "no"))
    w("| peak memory at most 150 bytes per entry at %s | %.0f bytes | %s |" % (
        "{:,}".format(big), rss, "yes" if rss <= 150 else "no"))
    w("")

micro = os.path.join(results, "micro.json")
if os.path.exists(micro):
    w("## Micro benchmarks (`pairwick_micro_benchmarks`)")
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

w("![time against entries](results.png)")
w("")
with open(markdown, "w") as f:
    f.write("\n".join(lines))

data = os.path.join(results, "plot.dat")
with open(data, "w") as f:
    for c in commands:
        f.write("# %s\n" % c)
        for n in sizes:
            if (n, c) in times:
                f.write("%d %f %f\n" % (n, times[(n, c)][0], times[(n, c)][1]))
        f.write("\n\n")
plot = """set terminal pngcairo size 900,600
set output '%s'
set logscale xy
set xlabel 'entries per tree'
set ylabel 'time (s), two trees'
set key top left
set grid
set title 'Comparing two trees: time against entries (mean of hyperfine runs)'
plot for [i=0:%d] '%s' index i using 1:2:3 with yerrorlines title columnheader(1) noenhanced
""" % (png, len(commands) - 1, data)
# gnuplot takes a block's title from its first line only with columnheader; write it plainly.
with open(data, "w") as f:
    for c in commands:
        f.write('"%s" "time" "sd"\n' % c)
        for n in sizes:
            if (n, c) in times:
                f.write("%d %f %f\n" % (n, times[(n, c)][0], times[(n, c)][1]))
        f.write("\n\n")
subprocess.run(["gnuplot"], input=plot, text=True, check=True)
