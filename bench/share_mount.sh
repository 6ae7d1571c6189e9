#!/usr/bin/env bash
# Mounts a fresh slowfs view of a tree pair before each measured run of the file share benchmark,
# and takes it down again, so that no run finds names or attributes cached by the one before.
# usage: share_mount.sh mount SLOWFS DELAY_MS TREES WORK [COUNTS]
#          TREES/A at WORK/A, TREES/B at WORK/B; with COUNTS, each mount's requests are counted
#          in COUNTS-A.txt and COUNTS-B.txt
#        share_mount.sh settle COUNTS    waits until every folder and file opened has been closed
#        share_mount.sh unmount WORK
set -euo pipefail

unmount() {
  local work=$1 m
  for m in "$work/A" "$work/B"; do
    if mountpoint -q "$m"; then
      fusermount3 -u "$m"
    fi
    # The daemon leaves shortly after the unmount (writing its last counts); a run started
    # meanwhile would share the processors with its exit.
    for _ in $(seq 100); do
      pgrep -f -- "slowfs .* $m\$" >/dev/null || break
      sleep 0.02
    done
  done
}

# The kernel sends a close in the background, after the program that closed has gone on; an
# unmount drops the closes still queued. Counts are complete once every open has its close and
# they have stood still for longer than slowfs takes to write them again (100 ms).
settle() {
  local counts=$1 t before= now
  for _ in $(seq 200); do
    sleep 0.3
    now=$(cat "$counts-A.txt" "$counts-B.txt" 2>/dev/null || true)
    if [ -n "$now" ] && [ "$now" = "$before" ]; then
      local closed=true
      for t in A B; do
        awk '{n[$1] = $2} END {exit !(n["opendir"] == n["releasedir"] && n["open"] == n["release"])}' \
          "$counts-$t.txt" || closed=false
      done
      $closed && return 0
    fi
    before=$now
  done
  echo "share_mount: the closes counted in $counts-*.txt did not all arrive within a minute" >&2
  return 1
}

case ${1:-} in
  mount)
    slowfs=$2 delay=$3 trees=$4 work=$5 counts=${6:-}
    unmount "$work"
    mkdir -p "$work/A" "$work/B"
    for t in A B; do
      if [ -n "$counts" ]; then
        rm -f "$counts-$t.txt"
        "$slowfs" --delay-ms "$delay" --counts "$counts-$t.txt" "$trees/$t" "$work/$t"
      else
        "$slowfs" --delay-ms "$delay" "$trees/$t" "$work/$t"
      fi
    done
    ;;
  settle)
    settle "$2"
    ;;
  unmount)
    unmount "$2"
    ;;
  *)
    sed -n '2,8p' "$0" >&2
    exit 2
    ;;
esac
