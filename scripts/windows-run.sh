#!/usr/bin/env bash
# Runs a Windows program of the pairwick build under Wine in the Japanese setting (ANSI code page
# 932), with a Wine prefix of the calling user's own, so that the end-to-end tests can launch the
# Windows build as root and as the unprivileged user alike. Usage: windows-run.sh program.exe [args]
# PAIRWICK_WINE_LOCALE names another locale, from which Wine takes another ANSI code page (C gives
# 1252), for the tests of a system that is not set up for Japanese.
set -euo pipefail

wine=${PAIRWICK_WINE:-/usr/lib/wine/wine64}
# Each user gets a folder of its own: Wine refuses a prefix, or a parent folder of a prefix that is
# still to be made, that belongs to another user.
home_root=${PAIRWICK_WINE_ROOT:-/tmp/pairwick-wine}-$(id -u)
mkdir -p "$home_root"
export WINEPREFIX="$home_root/prefix"
export WINEDEBUG=-all
export LC_ALL=${PAIRWICK_WINE_LOCALE:-ja_JP.UTF-8}
unset LANGUAGE
# The unprivileged user's home may not exist; Wine wants one for the prefix's user folders.
if [ ! -d "${HOME:-/nonexistent}" ] || [ ! -w "${HOME:-/nonexistent}" ]; then
  export HOME="$home_root/home"
  mkdir -p "$HOME"
fi

# Creating a prefix prints notices on standard error; it is done once, quietly and under a lock,
# before the program's own output is captured.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 || true
      "$(dirname "$wine")/wineserver" -w >/dev/null 2>&1 || true
    fi
  ) 9>"$home_root/lock"
fi

# A server that outlives one run spares the next run Wine's start-up, and so do the system
# programs that Wine starts with a new server. Both are started here, detached from the caller's
# standard streams: started by the program itself they would hold its output pipes open until the
# server ends, and the caller would wait for that. They leave by themselves after a while unused.
"$(dirname "$wine")/wineserver" -p30 </dev/null >/dev/null 2>&1 || true
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

exec "$wine" "$@"
