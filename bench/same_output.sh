#!/usr/bin/env bash
# Runs two pairwick binaries on the same folder pair and shows any difference in what they write:
# exit status, console, standard error, report and final log (the run's date and time masked).
# usage: same_output.sh REFERENCE_BINARY NEW_BINARY RUN_DIR [run-as prefix...]
set -euo pipefail
ref=$1 new=$2 dir=$3
shift 3
out=$(mktemp -d)
mask() { sed -E 's/pairwick_[0-9]{8}_[0-9]{6}\.txt/pairwick_DATE.txt/g; s/(プログラム開始: ).*/\1TIME/'; }
for which in ref new; do
  bin=${!which}
  rm -f "$dir"/pairwick_*.txt "$dir"/Pairwick_error_log.txt "$dir"/temp_Pairwick_error_log.txt
  set +e
  (cd "$dir" && "$@" "$bin" >"$out/$which.console" 2>"$out/$which.stderr")
  echo "status $?" >"$out/$which.status"
  set -e
  mask <"$out/$which.console" >"$out/$which.console.m"
  cat "$dir"/pairwick_*.txt 2>/dev/null | mask >"$out/$which.report" || true
  mask <"$dir/Pairwick_error_log.txt" >"$out/$which.log" 2>/dev/null || true
  ls "$dir" | mask >"$out/$which.files"
done
rc=0
for part in status stderr console.m report log files; do
  if ! cmp -s "$out/ref.$part" "$out/new.$part"; then
    echo "DIFFERENT: $part ($dir)"; diff "$out/ref.$part" "$out/new.$part" | head -10; rc=1
  fi
done
[ $rc = 0 ] && echo "same: $dir ($(wc -l <"$out/new.console") console lines, $(wc -c <"$out/new.log") log bytes)"
rm -rf "$out"
exit $rc
