#!/usr/bin/env bash
# Mounts a fresh slowfs view of a tree pair before each measured run of the file share benchmark,
# and takes it down again, so that no run finds names or attributes cached by the one before.
# usage: share_mount.sh mount SLOWFS DELAY_MS TREES WORK    (TREES/A at WORK/A, TREES/B at WORK/B)
#        share_mount.sh unmount WORK
set -euo pipefail

unmount() {
  local work=$1 m
  for m in "$work/A" "$work/B"; do
    if mountpoint -q "$m"; then
      fusermount3 -u "$m"
    fi
    # The daemon leaves shortly after the unmount; a run started meanwhile would share the
    # processors with its exit.
    for _ in $(seq 100); do
      pgrep -f -- "slowfs .* $m\$" >/dev/null || break
      sleep 0.02
    done
  done
}

case ${1:-} in
  mount)
    slowfs=$2 delay=$3 trees=$4 work=$5
    unmount "$work"
    mkdir -p "$work/A" "$work/B"
    "$slowfs" --delay-ms "$delay" "$trees/A" "$work/A"
    "$slowfs" --delay-ms "$delay" "$trees/B" "$work/B"
    ;;
  unmount)
    unmount "$2"
    ;;
  *)
    sed -n '2,5p' "$0" >&2
    exit 2
    ;;
esac
