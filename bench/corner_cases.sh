#!/usr/bin/env bash
# Folder pairs with every kind of entry the scanner treats specially, each run through
# same_output.sh: links inside, outside, dangling, looping and to the folder itself, names with
# 0x5C second bytes, a name without a code page 932 form, a subfolder that cannot be read or
# searched, and folders reached through links.
# usage: corner_cases.sh REFERENCE_BINARY NEW_BINARY
set -uo pipefail
ref=$1 new=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d /tmp/pairwick-corner.XXXXXX)
chmod 755 "$root"
fail=0
check() { "$here/same_output.sh" "$ref" "$new" "$@" || { fail=1; return 1; }; }

make_pair() {  # a folder pair with links and Japanese names under $1
  local d=$1
  mkdir -p "$d/A/sub/表" "$d/A/ソフト/deep/er" "$d/B/sub" "$d/outside/t"
  touch "$d/A/a.txt" "$d/A/sub/表/ソ.txt" "$d/A/ソフト/deep/er/x" "$d/A/sub-x" "$d/A/sub_y" "$d/B/a.txt" "$d/B/sub/new"
  ln -s ../outside/t "$d/A/out-link"
  ln -s sub "$d/A/in-link"
  ln -s sub/表/ソ.txt "$d/A/file-link"
  ln -s missing "$d/A/dangling"
  ln -s . "$d/A/self"
  ln -s ../../A "$d/A/sub/up"
  ln -s /usr "$d/B/abs-link"
  ln -s "$d/A" "$d/B/to-a"
  printf 'A,B\n' >"$d/Pairwick_config.csv"
}

make_pair "$root/plain"; check "$root/plain"

make_pair "$root/via-links"
mkdir "$root/via-links/real"; mv "$root/via-links/A" "$root/via-links/real/A"
ln -s real/A "$root/via-links/A"
ln -s "$root/via-links/B" "$root/via-links/B2"
printf 'A,B2\n' >"$root/via-links/Pairwick_config.csv"
check "$root/via-links"

make_pair "$root/loop"; ln -s loop2 "$root/loop/A/sub/loop1"; ln -s loop1 "$root/loop/A/sub/loop2"
check "$root/loop"

make_pair "$root/emoji"; touch "$root/emoji/A/sub/x😀y"; check "$root/emoji"

make_pair "$root/dot"; printf '.,A\n' >"$root/dot/Pairwick_config.csv"; check "$root/dot"

make_pair "$root/trailing"; printf 'A/,B//\n' >"$root/trailing/Pairwick_config.csv"; check "$root/trailing"

make_pair "$root/dotted"; printf './A,B/../B\n' >"$root/dotted/Pairwick_config.csv"; check "$root/dotted"

make_pair "$root/file"; printf 'a,B\n' >"$root/file/Pairwick_config.csv"; touch "$root/file/a"; check "$root/file"

# Trees deeper than a low descriptor limit: a folder is read whole and closed before its
# subfolders are opened, so depth alone never runs out of descriptors (a walk that kept every
# folder on its way open ran out here and ended its scan).
d="$root/deep"; mkdir -p "$d"
python3 - "$d" <<'PY'
import os, sys
for top in ("A", "B"):
    path = os.path.join(sys.argv[1], top)
    os.makedirs(path)
    for _ in range(300):
        path = os.path.join(path, "d")
        os.mkdir(path)
        open(os.path.join(path, "f"), "w").close()
PY
printf 'A,B\n' >"$d/Pairwick_config.csv"
check "$d"
(ulimit -n 200 && check "$d") || fail=1

# Denied folders need an unprivileged user: root may read and search everything.
for mode in 700 704 701 705; do
  d="$root/denied-$mode"
  make_pair "$d"
  mkdir -p "$d/A/locked/inner"; touch "$d/A/locked/f"
  chmod -R a+rwX "$d"; chmod "$mode" "$d/A/locked"
  check "$d" setpriv --reuid=65534 --regid=65534 --clear-groups
done
d="$root/denied-top"; make_pair "$d"; chmod -R a+rwX "$d"; chmod 300 "$d/A"
check "$d" setpriv --reuid=65534 --regid=65534 --clear-groups

[ -n "${KEEP:-}" ] || rm -rf "$root"
exit $fail
