#!/usr/bin/env bash
# Windows leg of continuous integration: cross-builds pairwick.exe and its unit tests with
# mingw-w64, runs the unit tests under Wine with ANSI code page 932, then runs the native
# end-to-end suite against pairwick.exe, and packs the Windows archive. Safe to run again: it
# installs and builds only what is missing or out of date.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
win_build="${PAIRWICK_WIN_BUILD_DIR:-$root/build-win}"
# The native build that scripts/test.sh makes; the end-to-end suite is taken from it.
native_build="${PAIRWICK_NATIVE_BUILD_DIR:-$root/build}"
run_windows="$root/scripts/windows-run.sh"

step() { printf '\n=== %s\n' "$*"; }

step "tools"
# samba, smbnetfs, fuse3 and iproute2 make the real SMB share of the share tests (tests/smb_share.sh).
"$root/scripts/setup-deps.sh" g++-mingw-w64-x86-64-posix wine64 locales faketime \
  samba smbnetfs fuse3 iproute2

# Wine takes its ANSI code page from the locale: ja_JP.UTF-8 gives code page 932.
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  echo "generating the ja_JP.UTF-8 locale"
  if ! grep -q '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ja_JP.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  fi
  "${sudo[@]}" locale-gen
fi

step "cross build ($win_build)"
cmake -S "$root" -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$win_build" -j2

step "native end-to-end suite ($native_build)"
cmake -S "$root" -B "$native_build" >/dev/null
cmake --build "$native_build" -j2 --target pairwick_e2e_tests

scratch="$(mktemp -d /tmp/pairwick-windows-ci.XXXXXX)"
# The SMB share of the share tests, stopped whatever happens before the scratch folder goes.
smb_share="$scratch/smb-share"
trap '"$root/tests/smb_share.sh" stop "$smb_share"; rm -rf "$scratch"' EXIT

# Both test stages run even when the first fails, so that one run shows every failure. GoogleTest's
# full output names every skipped test in its summary: a test that Wine cannot run must be seen.
failed=()

step "unit tests under Wine"
# Wine cannot make links itself but shows the host's links to folders as reparse points: the link
# tests of the platform layer use this tree.
fixture="$scratch/links"
mkdir -p "$fixture/real/inner"
echo x >"$fixture/real/inner/file.txt"
ln -s real "$fixture/link"
(
  cd "$scratch"
  PAIRWICK_WIN32_LINK_FIXTURE="Z:${fixture//\//\\}" \
    "$run_windows" "$win_build/pairwick_unit_tests.exe" --gtest_brief=0
) || failed+=("unit tests")

step "end-to-end tests against pairwick.exe"
# The suite runs without ctest here, so the share that ctest's fixture provides is started here;
# without root there is none, and the share tests say that they are skipped.
share_env=()
if [ "$(id -u)" -eq 0 ]; then
  if "$root/tests/smb_share.sh" start "$smb_share"; then
    share_env=(PAIRWICK_SMB_SHARE="$smb_share")
  else
    failed+=("SMB share")
  fi
fi
(
  cd "$scratch"
  env "${share_env[@]}" PAIRWICK_E2E_COMMAND="$run_windows $win_build/pairwick.exe" \
    "$native_build/pairwick_e2e_tests" --gtest_brief=0
) || failed+=("end-to-end tests")
"$root/tests/smb_share.sh" stop "$smb_share"

step "Windows archive"
(
  cd "$win_build"
  # CPack's archiver reads the Japanese names of the example folders only in a UTF-8 locale.
  LC_ALL=C.UTF-8 cpack -G ZIP >/dev/null
  archive="$(ls -t "$win_build"/pairwick-*-win64.zip | head -n 1)"
  contents="$(cmake -E tar tf "$archive")"
  for wanted in pairwick.exe README.md; do
    if ! grep -q "/$wanted\$" <<<"$contents"; then
      echo "$archive lacks $wanted" >&2
      exit 1
    fi
  done
  echo "$archive"
)

if [ ${#failed[@]} -gt 0 ]; then
  step "Windows build FAILED: ${failed[*]}"
  exit 1
fi
step "Windows build passed"
