#!/usr/bin/env bash
# Reproduces every figure of bench/RESULTS.md in one go: builds Pairwick (Release) and its micro
# benchmarks, generates the tree pairs (10k, 100k, 1M entries per tree; reused once made), times
# pairwick beside find, the comm pipeline and diff -rq with hyperfine, measures their peak memory
# with /usr/bin/time -v, and writes RESULTS.md and results.png.
# usage: bench/run_bench.sh [sizes...]      (default: 10000 100000 1000000)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/out
sizes=("${@:-10000 100000 1000000}")
read -r -a sizes <<<"${sizes[*]}"
mkdir -p "$out/results"
# hyperfine times, GNU time measures peak memory, gnuplot draws, Google Benchmark runs the micro
# benchmarks.
"$here/../scripts/setup-deps.sh" hyperfine time gnuplot-nox libbenchmark-dev python3
# Other work on the machine shows in every figure: the load is recorded before and after.
cut -d' ' -f1-3 /proc/loadavg >"$out/results/load-before.txt"
ps -o ni= -p $$ | tr -d ' ' >"$out/results/nice.txt"

cmake -S "$here/.." -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DPAIRWICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$out/build" -j2 --target pairwick pairwick_micro_benchmarks >/dev/null
pairwick=$out/build/pairwick

for n in "${sizes[@]}"; do
  dir=$(python3 "$here/gen_trees.py" "$n" --out "$out/trees")
  runs=10; [ "$n" -ge 1000000 ] && runs=5
  clean="rm -f $dir/pairwick_*.txt $dir/Pairwick_error_log.txt $dir/temp_Pairwick_error_log.txt"
  # Every command reads the same two trees from a warm page cache; output goes to /dev/null
  # (pairwick's report and log are written, as in every run).
  hyperfine --shell bash --style basic --warmup 1 --runs "$runs" --ignore-failure --prepare "$clean" \
    --export-json "$out/results/hyperfine-$n.json" \
    -n pairwick "cd $dir && $pairwick > /dev/null" \
    -n find "cd $dir && find A B -printf '%P\n' > /dev/null" \
    -n comm "cd $dir && comm -3 <(cd A && find . | LC_ALL=C sort) <(cd B && find . | LC_ALL=C sort) > /dev/null" \
    -n "diff -rq" "cd $dir && diff -rq A B > /dev/null 2>&1"
  : >"$out/results/memory-$n.txt"
  for cmd in "pairwick|$pairwick > /dev/null" "find|find A B -printf '%P\n' > /dev/null" \
             "comm|comm -3 <(cd A && find . | LC_ALL=C sort) <(cd B && find . | LC_ALL=C sort) > /dev/null" \
             "diff -rq|diff -rq A B > /dev/null 2>&1"; do
    name=${cmd%%|*}
    $clean
    # time -v reports the largest resident size of any one process of the command.
    (cd "$dir" && /usr/bin/time -v -o "$out/results/time-v.txt" bash -c "${cmd#*|}" || true)
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$out/results/time-v.txt")
    echo "$name|$kb" >>"$out/results/memory-$n.txt"
  done
  $clean
  ls "$dir"/A >/dev/null
done

"$out/build/pairwick_micro_benchmarks" --benchmark_min_time=0.5 \
  --benchmark_out="$out/results/micro.json" --benchmark_out_format=json >/dev/null

cut -d' ' -f1-3 /proc/loadavg >"$out/results/load-after.txt"
python3 "$here/write_results.py" "$out/results" "$here/RESULTS.md" "$here/results.png" "${sizes[@]}"
echo "wrote $here/RESULTS.md and $here/results.png"
