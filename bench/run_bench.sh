#!/usr/bin/env bash
# Reproduces every figure of bench/RESULTS.md and bench/results.png in one go: builds Pairwick
# (Release), its micro benchmarks and the slowfs file share stand-in, generates the tree pairs
# (reused once made), times pairwick beside find, the comm pipeline, diff -rq and fdfind with
# hyperfine on a warm page cache, a cold page cache and a simulated file share, counts the
# requests each makes of the share and the system calls of a walk with strace, measures peak
# memory with /usr/bin/time -v, and writes RESULTS.md and results.png.
#
# usage: bench/run_bench.sh [--warm] [--micro] [--cold] [--share] [--smb] [--calls] [--windows]
#          [--smb-rounds N] [--smb-fd-threads "N ..."] [--sizes "N ..."] [--cold-sizes "N ..."] [--share-sizes "N ..."] [--delays "MS ..."]
#          [--fd-threads "N ..."] [--windows-sizes "N ..."] [--pairwick BINARY] [N ...]
#   Sections: --warm (page cache warm, with peak memory), --micro (micro benchmarks), --cold (page
#   cache dropped before every run; root), --share (slowfs mounts on which every request waits the
#   delay, pairwick against fdfind, with the requests of each kind per folder; root and /dev/fuse),
#   --smb (a real Samba server, tests/smb_share.sh, mounted with smbnetfs through
#   bench/smb_proxy.cpp, which delays every request by the round trip and counts the SMB2 commands;
#   pairwick, find and fdfind interleaved round by round, each run on a freshly mounted client;
#   root), --calls (strace -c -f of pairwick and fdfind on the largest size: system calls per folder),
#   --windows (the cross-built pairwick.exe under Wine, code page 932, against
#   bench/floor_walk.cpp, output to a file and to a terminal, the run's console text written alone
#   by bench/console_floor.cpp in a terminal, and the calls per entry in Wine's
#   relay trace). Naming none runs the five Linux sections (--smb too: six); --windows runs only when named. A
#   section that runs replaces its own earlier figures in bench/out/results/; the others keep
#   theirs, each labelled with its commit and date.
#   --sizes or bare N: entries per tree for warm, cold and calls (default 10000 100000 1000000)
#   --cold-sizes: cold sizes, if they differ      --share-sizes: default 20000
#   --delays: share delay per request in ms, on both shares (default "1 10")
#   --smb-rounds: rounds of the SMB section per size and delay (default 3; at 5 ms and more, 1
#   unless given)    --smb-fd-threads: fdfind thread counts on the SMB share (default "4 8 32";
#   the client sends one request at a time per server)
#   --fd-threads: thread counts tried for fdfind (beside -j1 on warm and cold); the best is
#   reported (default "8 16 32 64 128": pairwick's readers use up to 128 threads on a share)
#   --windows-sizes: entries per tree, flat trees as on shares (default "20000 100000")
#   --pairwick: measure this binary instead of building the one of this tree (with --windows,
#   a pairwick.exe)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/out
results=$out/results

sizes="10000 100000 1000000"
cold_sizes=
share_sizes="20000"
delays="1 10"
fd_threads="8 16 32 64 128"
windows_sizes="20000 100000"
smb_rounds=
smb_fd_threads="4 8 32"
pairwick=
sections=()
bare=()
while [ $# -gt 0 ]; do
  case $1 in
    --warm|--micro|--cold|--share|--smb|--calls|--windows) sections+=("${1#--}") ;;
    --smb-rounds) smb_rounds=$2; shift ;;
    --smb-fd-threads) smb_fd_threads=$2; shift ;;
    --sizes) sizes=$2; shift ;;
    --cold-sizes) cold_sizes=$2; shift ;;
    --share-sizes) share_sizes=$2; shift ;;
    --delays) delays=$2; shift ;;
    --fd-threads) fd_threads=$2; shift ;;
    --windows-sizes) windows_sizes=$2; shift ;;
    --pairwick) pairwick=$(realpath "$2"); shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    [0-9]*) bare+=("$1") ;;
    *) echo "run_bench: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
[ ${#bare[@]} -gt 0 ] && sizes="${bare[*]}"
[ -n "$cold_sizes" ] || cold_sizes=$sizes
[ ${#sections[@]} -gt 0 ] || sections=(warm micro cold share smb calls)
read -r -a sizes <<<"$sizes"
read -r -a cold_sizes <<<"$cold_sizes"
read -r -a share_sizes <<<"$share_sizes"
read -r -a delays <<<"$delays"
read -r -a fd_threads <<<"$fd_threads"
read -r -a windows_sizes <<<"$windows_sizes"
read -r -a smb_fd_threads <<<"$smb_fd_threads"
wanted() { [[ " ${sections[*]} " == *" $1 "* ]]; }

# A section that cannot run here says why in place of its figures, rather than leaving figures of
# an earlier run that no longer match the rest.
skip() {
  rm -rf "${results:?}/$1"
  mkdir -p "$results/$1"
  echo "$2" >"$results/$1/skipped.txt"
  echo "run_bench: skipping the $1 section: $2" >&2
}
if wanted cold && { [ "$(id -u)" -ne 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; }; then
  skip cold "dropping the page cache needs root and a writable /proc/sys/vm/drop_caches"
  sections=("${sections[@]/cold/}")
fi
if wanted share && { [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ]; }; then
  skip share "mounting the simulated share needs root and /dev/fuse"
  sections=("${sections[@]/share/}")
fi
if wanted smb && { [ "$(id -u)" -ne 0 ] || [ ! -c /dev/fuse ]; }; then
  skip smb "the server's network namespace and the client's mount need root and /dev/fuse"
  sections=("${sections[@]/smb/}")
fi

# hyperfine times, GNU time measures peak memory, gnuplot draws, Google Benchmark runs the micro
# benchmarks, libfuse serves slowfs, fd-find is a parallel scanner to compare with.
packages=(hyperfine time gnuplot-nox libbenchmark-dev python3 util-linux)
{ wanted warm || wanted cold || wanted share || wanted calls; } && packages+=(fd-find)
wanted share && packages+=(fuse3 libfuse3-dev pkg-config)
wanted calls && packages+=(strace)
wanted smb && packages+=(samba smbnetfs fuse3 iproute2 fd-find)
linux=false
for section in warm micro cold share smb calls; do wanted $section && linux=true; done
if wanted windows; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 locales)
  pairwick_exe=$pairwick
  $linux && pairwick=
fi
# The Windows section needs the Japanese locale for Wine's code page 932, and that needs root.
if wanted windows && ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  skip windows "Wine's code page 932 needs the ja_JP.UTF-8 locale (scripts/windows-ci.sh makes it)"
  sections=("${sections[@]/windows/}")
fi
# Other engineers' apt runs hold the dpkg lock at times; waiting for them beats failing.
for attempt in $(seq 30); do
  if log=$("$here/../scripts/setup-deps.sh" "${packages[@]}" 2>&1); then
    break
  fi
  if ! grep -qiE 'could not get lock|unable to acquire|lock-frontend' <<<"$log" || [ "$attempt" -eq 30 ]; then
    echo "$log" >&2
    exit 1
  fi
  echo "run_bench: dpkg is busy, retrying in 10 s" >&2
  sleep 10
done

if $linux && { [ -z "$pairwick" ] || wanted micro; }; then
  cmake -S "$here/.." -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DPAIRWICK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$out/build" -j2 --target pairwick pairwick_micro_benchmarks >/dev/null
fi
if wanted smb; then
  cmake -S "$here/.." -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DPAIRWICK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$out/build" -j2 --target pairwick_smb_proxy >/dev/null
fi
[ -n "$pairwick" ] || pairwick=$out/build/pairwick
if wanted share; then
  g++ -std=c++17 -O2 -Wall -Wextra -o "$out/slowfs" "$here/slowfs.cpp" $(pkg-config --cflags --libs fuse3)
fi

# Each section records what it measured and under what load, since sections may be rerun alone.
begin() {
  rm -rf "${results:?}/$1"
  mkdir -p "$results/$1"
  {
    echo "commit=$(git -C "$here" describe --always --dirty)"
    echo "date=$(date -u)"
    echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
    echo "nice=$(ps -o ni= -p $$ | tr -d ' ')"
    echo "pairwick=$pairwick"
  } >"$results/$1/meta.txt"
}
end() { echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/$1/meta.txt"; }
# The load average (1, 5, 15 min) before and after one timing, beside its figures.
load() { echo "$1 $(cut -d' ' -f1-3 /proc/loadavg)" >>"$2"; }
clean_of() { echo "rm -f $1/pairwick_*.txt $1/Pairwick_error_log.txt $1/temp_Pairwick_error_log.txt"; }
comm_cmd="comm -3 <(cd A && find . | LC_ALL=C sort) <(cd B && find . | LC_ALL=C sort) > /dev/null"
# fdfind's walk of both trees, one thread (unless a second argument says none) and each thread
# count tried; -u as the others hide nothing.
fd_args() {
  local j first=1
  [ "${2:-}" = parallel ] && first=
  for j in $first "${fd_threads[@]}"; do
    printf '%s\0%s\0%s\0' -n "fdfind -j$j" "cd $1 && fdfind -u -j$j . A B > /dev/null"
  done
}

if wanted warm; then
  begin warm
  for n in "${sizes[@]}"; do
    dir=$(python3 "$here/gen_trees.py" "$n" --out "$out/trees")
    runs=10; [ "$n" -ge 1000000 ] && runs=5
    clean=$(clean_of "$dir")
    mapfile -d '' fd < <(fd_args "$dir")
    # Every command reads the same two trees from a warm page cache; output goes to /dev/null
    # (pairwick's report and log are written, as in every run).
    load before "$results/warm/load-$n.txt"
    hyperfine --shell bash --style basic --warmup 1 --runs "$runs" --ignore-failure --prepare "$clean" \
      --export-json "$results/warm/hyperfine-$n.json" \
      -n pairwick "cd $dir && $pairwick > /dev/null" \
      -n find "cd $dir && find A B -printf '%P\n' > /dev/null" \
      -n comm "cd $dir && $comm_cmd" \
      -n "diff -rq" "cd $dir && diff -rq A B > /dev/null 2>&1" \
      "${fd[@]}"
    load after "$results/warm/load-$n.txt"
    : >"$results/warm/memory-$n.txt"
    for cmd in "pairwick|$pairwick > /dev/null" "find|find A B -printf '%P\n' > /dev/null" \
               "comm|$comm_cmd" "diff -rq|diff -rq A B > /dev/null 2>&1"; do
      name=${cmd%%|*}
      $clean
      # time -v reports the largest resident size of any one process of the command.
      (cd "$dir" && /usr/bin/time -v -o "$results/time-v.txt" bash -c "${cmd#*|}" || true)
      kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$results/time-v.txt")
      echo "$name|$kb" >>"$results/warm/memory-$n.txt"
    done
    $clean
  done
  end warm
fi

if wanted micro; then
  begin micro
  "$out/build/pairwick_micro_benchmarks" --benchmark_min_time=0.5 \
    --benchmark_out="$results/micro/micro.json" --benchmark_out_format=json >/dev/null
  end micro
fi

if wanted cold; then
  begin cold
  for n in "${cold_sizes[@]}"; do
    dir=$(python3 "$here/gen_trees.py" "$n" --out "$out/trees")
    runs=5; [ "$n" -ge 1000000 ] && runs=3
    # Dirty pages survive drop_caches, hence the sync; the binaries are dropped as well, as they
    # would be on a cold start. No warm-up: each run is cold anyway.
    mapfile -d '' fd < <(fd_args "$dir")
    load before "$results/cold/load-$n.txt"
    hyperfine --shell bash --style basic --runs "$runs" --ignore-failure \
      --prepare "$(clean_of "$dir"); sync; echo 3 > /proc/sys/vm/drop_caches" \
      --export-json "$results/cold/hyperfine-$n.json" \
      -n pairwick "cd $dir && $pairwick > /dev/null" \
      -n comm "cd $dir && $comm_cmd" \
      -n find "cd $dir && find A B -printf '%P\n' > /dev/null" \
      "${fd[@]}"
    load after "$results/cold/load-$n.txt"
    eval "$(clean_of "$dir")"
  done
  end cold
fi

if wanted share; then
  begin share
  work=$out/share
  trap '"$here/share_mount.sh" unmount "$work"' EXIT
  for n in "${share_sizes[@]}"; do
    # Shares hold folders of many files: flatter trees (about 1,300 folders in 20,000 entries).
    dir=$(python3 "$here/gen_trees.py" "$n" --flat --out "$out/trees")
    # The runs happen in a local folder that holds the configuration and the report, with A and B
    # the mount points, since the share itself is read-only.
    work=$out/share/$n
    "$here/share_mount.sh" unmount "$work"
    mkdir -p "$work/A" "$work/B" "$work/outside"
    cp "$dir/Pairwick_config.csv" "$work/"
    # slowfs reads the local trees: they are kept in the page cache so that only the delay stands
    # for the network.
    find "$dir/A" "$dir/B" -type d | wc -l >"$results/share/folders-$n.txt"
    for d in "${delays[@]}"; do
      runs=3; awk -v d="$d" 'BEGIN {exit !(d < 5)}' && runs=5
      # Only parallel walkers: one request at a time, a walk would take the requests times the
      # delay (the section's text gives that floor).
      mapfile -d '' commands < <(
        printf '%s\0%s\0%s\0' -n pairwick "cd $work && $pairwick > /dev/null"
        fd_args "$work" parallel
      )
      load before "$results/share/load-$n-${d}ms.txt"
      hyperfine --shell bash --style basic --runs "$runs" --ignore-failure \
        --prepare "$(clean_of "$work"); $here/share_mount.sh mount $out/slowfs $d $dir $work" \
        --cleanup "$here/share_mount.sh unmount $work" \
        --export-json "$results/share/hyperfine-$n-${d}ms.json" \
        "${commands[@]}"
      load after "$results/share/load-$n-${d}ms.txt"
      # The requests of each command, from one more run of it on a mount that counts them: the
      # mount is taken down only once the closes the kernel sends in the background have arrived.
      counts=$out/share/counts
      requests=$results/share/requests-$n-${d}ms.txt
      : >"$requests"
      for ((i = 0; i < ${#commands[@]}; i += 3)); do
        eval "$(clean_of "$work")"
        "$here/share_mount.sh" mount "$out/slowfs" "$d" "$dir" "$work" "$counts"
        bash -c "${commands[i + 2]}" || true
        settled=1
        "$here/share_mount.sh" settle "$counts" || settled=0
        "$here/share_mount.sh" unmount "$work"
        cat "$counts-A.txt" "$counts-B.txt" |
          awk -v c="${commands[i + 1]}" -v s=$settled \
            '{n[$1] += $2} END {for (r in n) print c "|" r "|" n[r]; print c "|settled|" s}' \
            >>"$requests"
      done
    done
    eval "$(clean_of "$work")"
  done
  end share
fi

if wanted smb; then
  begin smb
  state=$out/smb
  share_script=$here/../tests/smb_share.sh
  proxy_pid=
  stop_smb() {
    [ -n "$proxy_pid" ] && { "$share_script" unmount "$state"; kill "$proxy_pid" 2>/dev/null; wait "$proxy_pid" 2>/dev/null; }
    proxy_pid=
    "$share_script" stop "$state"
  }
  trap stop_smb EXIT
  stop_smb
  rm -rf "$state"
  "$share_script" start "$state" --server-port 4450
  # shellcheck disable=SC1091
  . "$state/env"
  # The proxy's counts so far, and once they stand still: the client closes what a command opened
  # after the command has ended, and those requests are the command's too.
  counts_now() {
    kill -USR1 "$proxy_pid"
    sleep 0.05
    cat "$state/counts.txt"
  }
  counts_settled() {
    local before now deadline=$((SECONDS + 60))
    before=$(counts_now)
    while [ $SECONDS -lt $deadline ]; do
      sleep 0.5
      now=$(counts_now)
      [ "$now" = "$before" ] && break
      before=$now
    done
    echo "$before"
  }
  for n in "${share_sizes[@]}"; do
    dir=$(python3 "$here/gen_trees.py" "$n" --flat --out "$out/trees")
    rm -rf "${SHARE:?}/t"
    cp -a "$dir" "$SHARE/t"
    find "$SHARE/t/A" "$SHARE/t/B" -type d | wc -l >"$results/smb/folders-$n.txt"
    # pairwick writes its report and log in a local folder, the trees named by their full paths
    # on the mount; the others write nothing.
    work=$state/work-$n
    mkdir -p "$work"
    printf '%s,%s\r\n' "$MOUNT/t/A" "$MOUNT/t/B" >"$work/Pairwick_config.csv"
    commands=(pairwick "cd $work && $pairwick > /dev/null"
              find "cd $MOUNT/t && find A B -printf '%P\n' > /dev/null")
    for j in "${smb_fd_threads[@]}"; do
      commands+=("fdfind -j$j" "cd $MOUNT/t && fdfind -u -j$j . A B > /dev/null")
    done
    for d in "${delays[@]}"; do
      rounds=$smb_rounds
      [ -n "$rounds" ] || { rounds=3; awk -v d="$d" 'BEGIN {exit !(d >= 5)}' && rounds=1; }
      ip netns exec "$NETNS" "$out/build/pairwick_smb_proxy" --listen 445 --to "$SERVER_PORT" \
        --delay-ms "$d" --counts "$state/counts.txt" &
      proxy_pid=$!
      sleep 0.5
      runs=$results/smb/runs-$n-${d}ms.txt
      : >"$runs"
      # Interleaved: each round runs every command once, in a new order, so that a change of load
      # weighs on all of them alike. Every run meets a client mounted afresh: nothing cached.
      for round in $(seq "$rounds"); do
        for i in $(shuf -i 0-$((${#commands[@]} / 2 - 1))); do
          eval "$(clean_of "$work")"
          "$share_script" unmount "$state"
          "$share_script" mount "$state"
          before=$(counts_settled)
          load=$(cut -d' ' -f1-3 /proc/loadavg)
          start=$(date +%s.%N)
          bash -c "${commands[2 * i + 1]}" || true
          finish=$(date +%s.%N)
          after=$(counts_settled)
          # command|round|seconds|load before|load after|kind=count,... (this run's requests)
          python3 - "${commands[2 * i]}" "$round" "$start" "$finish" "$load" \
            "$(cut -d' ' -f1-3 /proc/loadavg)" "$before" "$after" >>"$runs" <<'PY'
import sys
name, rnd, start, finish, load_before, load_after, before, after = sys.argv[1:]
b = dict(l.split() for l in before.splitlines())
a = dict(l.split() for l in after.splitlines())
kinds = ",".join("%s=%s" % (k, v) if k.startswith("late") else "%s=%d" % (k, int(v) - int(b[k]))
                 for k, v in a.items())
print("|".join([name, rnd, "%.3f" % (float(finish) - float(start)), load_before, load_after,
                kinds]))
PY
        done
      done
      "$share_script" unmount "$state"
      kill "$proxy_pid"
      wait "$proxy_pid" 2>/dev/null || true
      proxy_pid=
    done
    eval "$(clean_of "$work")"
  done
  stop_smb
  trap - EXIT
  end smb
fi

if wanted calls; then
  begin calls
  n=${sizes[${#sizes[@]} - 1]}
  dir=$(python3 "$here/gen_trees.py" "$n" --out "$out/trees")
  find "$dir/A" "$dir/B" -type d | wc -l >"$results/calls/folders-$n.txt"
  find "$dir/A" "$dir/B" -type l | wc -l >"$results/calls/links-$n.txt"
  # Every system call of every thread, counted (strace -c -f); fdfind's calls per folder do not
  # depend on its thread count.
  eval "$(clean_of "$dir")"
  (cd "$dir" && strace -c -f -o "$results/calls/strace-$n-pairwick.txt" "$pairwick" >/dev/null) || true
  (cd "$dir" && strace -c -f -o "$results/calls/strace-$n-fdfind -j8.txt" fdfind -u -j8 . A B >/dev/null) || true
  eval "$(clean_of "$dir")"
  end calls
fi

if wanted windows; then
  begin windows
  if [ -z "$pairwick_exe" ]; then
    cmake -S "$here/.." -B "$out/build-win" -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/toolchain-mingw64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DPAIRWICK_BUILD_TESTS=OFF >/dev/null
    cmake --build "$out/build-win" -j2 --target pairwick >/dev/null
    pairwick_exe=$out/build-win/pairwick.exe
  fi
  sed -i "s|^pairwick=.*|pairwick=$pairwick_exe|" "$results/windows/meta.txt"
  floor=$out/floor_walk.exe
  console_floor=$out/console_floor.exe
  for program in floor_walk console_floor; do
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -municode -static \
      -o "$out/$program.exe" "$here/$program.cpp"
  done
  # The setting of scripts/windows-run.sh (its prefix, code page 932), with Wine called directly:
  # that script's own start-up work would be timed with every run. The server stays up between
  # runs, so that no run pays for starting it.
  wine=${PAIRWICK_WINE:-/usr/lib/wine/wine64}
  "$here/../scripts/windows-run.sh" cmd.exe /c exit </dev/null >/dev/null 2>&1
  export WINEPREFIX=${PAIRWICK_WINE_ROOT:-/tmp/pairwick-wine}-$(id -u)/prefix WINEDEBUG=-all
  export LC_ALL=ja_JP.UTF-8
  unset LANGUAGE
  if [ ! -d "${HOME:-/nonexistent}" ] || [ ! -w "${HOME:-/nonexistent}" ]; then
    export HOME=${PAIRWICK_WINE_ROOT:-/tmp/pairwick-wine}-$(id -u)/home
  fi
  "$(dirname "$wine")/wineserver" -p60 </dev/null >/dev/null 2>&1 || true
  sink=$out/windows-output.txt
  for n in "${windows_sizes[@]}"; do
    dir=$(python3 "$here/gen_trees.py" "$n" --flat --out "$out/trees")
    rounds=10; [ "$n" -ge 100000 ] && rounds=5
    clean=$(clean_of "$dir")
    # The console's own share: a run's output to a file is the text it writes to a console, and
    # console_floor.exe writes that text alone, as pairwick does.
    text=$out/windows-console-$n.txt
    eval "$clean"
    (cd "$dir" && "$wine" "$pairwick_exe" >"$text") || true
    # Interleaved: each round runs every command once, so that a change of load over the section
    # weighs on all of them alike; the first round only warms up.
    commands=(
      floor "cd $dir && $wine $floor A B > $sink"
      "pairwick to a file" "cd $dir && $wine $pairwick_exe > $sink"
      "pairwick in a terminal" "cd $dir && script -qfc '$wine $pairwick_exe' /dev/null > $sink"
      "console text alone in a terminal" "script -qfc '$wine $console_floor Z:$text' /dev/null > $sink"
    )
    for round in $(seq 0 "$rounds"); do
      json=$results/windows/round-$n-$round.json
      [ "$round" -eq 0 ] && json=$out/windows-warmup.json
      # In a new order each round: under Wine a command's time depends on the one before it.
      named=()
      for i in $(shuf -i 0-$((${#commands[@]} / 2 - 1))); do
        named+=(-n "${commands[2 * i]}" "${commands[2 * i + 1]}")
      done
      hyperfine --shell bash --style none --runs 1 --ignore-failure --prepare "$clean" \
        --export-json "$json" "${named[@]}"
    done
    rm -f "$text"
    find "$dir/A" "$dir/B" -type d | wc -l >"$results/windows/folders-$n.txt"
    eval "$clean"
  done
  # Calls per entry and per folder, from Wine's relay trace of every call between modules (ntdll's
  # requests to the file system among them), on the 20,000-entry pair: the run with output to a
  # file for the file system's calls, the run in a terminal for the console.
  dir=$(python3 "$here/gen_trees.py" 20000 --flat --out "$out/trees")
  trace=$out/windows-relay.txt
  # The trace holds every Wine process that runs meanwhile (the console's among them): only the
  # lines of the process that runs pairwick.exe count.
  count_calls() {
    local pid
    pid=$(grep -aF "$(basename "${2:-$pairwick_exe}")" "$trace" | cut -d: -f1 | sort | uniq -c | sort -rn | awk 'NR == 1 {print $2}')
    grep -a "^$pid:" "$trace" | grep -aoE ':Call [A-Za-z0-9_]+\.[A-Za-z0-9_]+\(' |
      sed 's/^:Call //; s/($//' | sort | uniq -c | sort -rn >"$1"
  }
  eval "$(clean_of "$dir")"
  (cd "$dir" && WINEDEBUG=+pid,+relay "$wine" "$pairwick_exe" >"$sink" 2>"$trace") || true
  count_calls "$results/windows/relay-file.txt"
  grep -ac '^検出 (' "$sink" >"$results/windows/relay-entries.txt" || true
  find "$dir/A" "$dir/B" -type d | wc -l >"$results/windows/relay-folders.txt"
  # The floor's own opens, to set against pairwick's.
  (cd "$dir" && WINEDEBUG=+pid,+relay "$wine" "$floor" A B >"$sink" 2>"$trace") || true
  count_calls "$results/windows/relay-floor.txt" "$floor"
  eval "$(clean_of "$dir")"
  (cd "$dir" && script -qfc "WINEDEBUG=+pid,+relay $wine $pairwick_exe 2>$trace" "$sink" >/dev/null) || true
  count_calls "$results/windows/relay-terminal.txt"
  # script's file begins with a line of its own and ends with one when given no -q; with -q only
  # the terminal's text is there, each line ending in CR LF.
  grep -ac $'\r$' "$sink" >"$results/windows/relay-console-lines.txt" || true
  eval "$(clean_of "$dir")"
  rm -f "$trace" "$sink"
  end windows
fi

if $linux; then
  python3 "$here/write_results.py" "$results" "$here/RESULTS.md" "$here/results.png"
  echo "wrote $here/RESULTS.md and $here/results.png"
fi
if wanted windows; then
  python3 "$here/write_windows_results.py" "$results/windows" "$here/RESULTS.md"
  echo "wrote the Windows section of $here/RESULTS.md"
fi
