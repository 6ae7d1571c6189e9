#!/usr/bin/env bash
# Reliability checks of pairwick, for CI: the whole unit and end-to-end suite (fault injection and
# the differential oracle included) under AddressSanitizer and UndefinedBehaviorSanitizer, the
# memory bounds on an uninstrumented build, and every fuzz target for a bounded time. Fails on
# any test failure, crash, leak or sanitizer report; prints the figures at the end.
#
# Settings (environment): PAIRWICK_FUZZ_SECONDS (per target, default 60), PAIRWICK_ORACLE_TREES
# (default 300), PAIRWICK_ORACLE_SEED (default random).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sanitized="$root/build-reliability"
plain="$root/build-reliability-plain"
fuzzbuild="$root/build-fuzz"
fuzz_seconds=${PAIRWICK_FUZZ_SECONDS:-60}
oracle_trees=${PAIRWICK_ORACLE_TREES:-300}
started=$(date +%s)

# ---- What the checks need, installed only when missing (Debian) ----
# clang 14 with its runtime brings libFuzzer; findutils, coreutils and libc-bin bring the oracle's
# find, realpath, sort, comm and iconv; util-linux brings setpriv and mount; libfuse3 the file
# system that fails on demand.
"$root/scripts/setup-deps.sh" clang-14 libclang-rt-14-dev findutils coreutils libc-bin \
  fuse3 libfuse3-dev pkg-config

results="$(mktemp -d "${TMPDIR:-/tmp}/pairwick_reliability_XXXXXX")"
tally="$results/tally"
: >"$tally"
failed=0

# ---- 1. The whole suite under the sanitizers ----
# Every sanitizer finding ends the process with its report on standard error, which the tests
# compare byte for byte: a finding fails the test that provoked it.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cmake -S "$root" -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAIRWICK_SANITIZE=ON >/dev/null
cmake --build "$sanitized" -j2
echo "reliability: unit and end-to-end tests under AddressSanitizer and UndefinedBehaviorSanitizer"
if ! (cd "$sanitized" &&
      PAIRWICK_RELIABILITY=1 PAIRWICK_RELIABILITY_TALLY="$tally" \
        PAIRWICK_ORACLE_TREES="$oracle_trees" \
        ctest --output-on-failure -j2 --timeout 600 </dev/null); then
  failed=1
fi

# ---- 2. Memory bounds, measured on the uninstrumented program ----
# The sanitizers' shadow memory and quarantine hide what the program itself holds.
cmake -S "$root" -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$plain" -j2 --target pairwick pairwick_e2e_tests
echo "reliability: memory bounds of hostile configurations"
if ! (cd "$plain" && PAIRWICK_RELIABILITY=1 \
      ./pairwick_e2e_tests --gtest_filter='HostileConfigurations.*' </dev/null); then
  failed=1
fi

# ---- 3. Fuzzing, two targets at a time, each for a bounded time ----
cmake -S "$root" -B "$fuzzbuild" -DCMAKE_CXX_COMPILER=clang++-14 -DPAIRWICK_FUZZ=ON \
  -DPAIRWICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$fuzzbuild" -j2 --target pairwick_fuzz_targets
unset ASAN_OPTIONS UBSAN_OPTIONS

# The UTF-8 file target gets longer inputs, cut into pieces at a point of its choosing; the
# configuration target makes its own long files (see config_reader_fuzz.cpp).
declare -A max_len=([config_reader]=4096 [shift_jis]=4096 [strict_round_trip]=4096
                    [separators]=4096 [utf8_file]=20000)
fuzz() {
  local target=$1
  local corpus="$results/corpus_$target"
  mkdir -p "$corpus" "$results/artifacts"
  # The seed corpus stays as it is in the repository; what the fuzzer finds goes to a copy.
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  # The targets' scratch files go below the results, which are removed at the end.
  (cd "$results" && TMPDIR="$results" \
   "$fuzzbuild/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -max_len="${max_len[$target]}" \
     -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
     -artifact_prefix="$results/artifacts/$target-" "$corpus" >"$results/fuzz_$target.log" 2>&1)
}
targets=(config_reader shift_jis strict_round_trip separators utf8_file)
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    fuzz "$target" &
    pids+=("$!:$target")
  done
  for entry in "${pids[@]}"; do
    if ! wait "${entry%%:*}"; then
      target=${entry#*:}
      echo "reliability: fuzz_$target found a fault; its report:" >&2
      grep -v '^#' "$results/fuzz_$target.log" | tail -40 >&2
      ls "$results/artifacts" >&2 || true
      failed=1
    fi
  done
done

# ---- Figures ----
sum() { awk -v name="$1" '$1 == name { total += $2 } END { print total + 0 }' "$tally"; }
echo
echo "==== reliability figures"
for target in "${targets[@]}"; do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$results/fuzz_$target.log" | tail -1)
  printf 'fuzz_%-18s %12s executions in %ss\n' "$target" "${runs:-?}" "$fuzz_seconds"
done
echo "faults injected:          $(sum faults_injected)"
echo "faults survived:          $(sum faults_survived)"
echo "oracle trees compared:    $(sum oracle_trees) ($(sum oracle_entries) listed entries)"
echo "log lines expected:       $(sum lines_expected)"
echo "log lines lost:           $(sum lines_lost)"
echo "time:                     $(($(date +%s) - started))s"
if [ "$(sum lines_lost)" -ne 0 ]; then failed=1; fi

if [ "$failed" -ne 0 ]; then
  echo "reliability: FAILED (details above; fuzzer logs and artifacts in $results)" >&2
  exit 1
fi
rm -rf "$results"
echo "reliability: passed"
