#!/usr/bin/env bash
# Packaging check, for CI: builds the Windows release archive and the Debian package from Release
# builds and checks what users get: the exact contents of each, stripped binaries, the Windows
# version resource and manifest, the Windows text forms of the guide and of the sample
# configuration, the batch file to double-click, names that Explorer unpacks as written, a
# double-click run of the unpacked archive's example under Wine, and lintian's verdict on the package (no error and no warning). Each check is also
# shown to reject a faulty input of its kind.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
win_build="$root/build-package-win"
deb_build="$root/build-package-deb"
triple=x86_64-w64-mingw32

step() { printf '\n=== %s\n' "$*"; }
failures=()
fail() {
  echo "package-check: FAIL: $*" >&2
  failures+=("$*")
}

step "tools"
# binutils-mingw-w64 brings objdump, nm and windres for PE files; dpkg-dev brings dpkg-shlibdeps,
# which CPack uses for the package's dependencies; libxml2-utils brings xmllint; python3 reads
# the archive's entry flags.
"$root/scripts/setup-deps.sh" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 \
  locales lintian file unzip gzip man-db dpkg-dev libxml2-utils python3

# Wine takes its ANSI code page from the locale: ja_JP.UTF-8 gives code page 932.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  if ! grep -q '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ja_JP.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
  fi
  "${sudo[@]}" locale-gen
fi

scratch="$(mktemp -d "${TMPDIR:-/tmp}/pairwick-package-check.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

# ---- The checks; each returns non-zero with its reason on standard error ----

# A PE file without a symbol table and without debugging sections.
pe_is_stripped() {
  local exe=$1
  if ! "$triple-nm" "$exe" 2>&1 | grep -q 'no symbols'; then
    echo "$exe has a symbol table" >&2
    return 1
  fi
  if "$triple-objdump" -h "$exe" | grep -q '\.debug_'; then
    echo "$exe has debugging sections" >&2
    return 1
  fi
}

# An ELF file that file(1) calls stripped.
elf_is_stripped() {
  local binary=$1 kind
  kind="$(file -b "$binary")"
  if [[ $kind != ELF* || $kind != *", stripped"* ]]; then
    echo "$binary is not a stripped ELF file: $kind" >&2
    return 1
  fi
}

# The version resource with the project's version, and the manifest with long paths, the
# supported Windows versions and no elevation, as windres reads them back from the executable.
pe_has_resources() {
  local exe=$1 version=$2 rc wanted
  rc="$("$triple-windres" -i "$exe" -O rc 2>&1)" || {
    echo "windres cannot read the resources of $exe: $rc" >&2
    return 1
  }
  local -a expected=(
    "FILEVERSION ${version//./, }, 0"
    "PRODUCTVERSION ${version//./, }, 0"
    "VALUE \"ProductName\", \"Pairwick\""
    "VALUE \"FileVersion\", \"$version\""
    "VALUE \"ProductVersion\", \"$version\""
    "VALUE \"FileDescription\", \"Pairwick: compares two folder trees by relative path\""
    "1 24 /* RT_MANIFEST */"
    '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>'
    '<requestedExecutionLevel level=""asInvoker"" uiAccess=""false""/>'
    '<supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""/>'
  )
  for wanted in "${expected[@]}"; do
    if ! grep -qF -- "$wanted" <<<"$rc"; then
      echo "$exe lacks the resource text: $wanted" >&2
      return 1
    fi
  done
}

# UTF-8 with a byte order mark and CR LF after every line, and otherwise the guide itself.
is_windows_form_of() {
  local text=$1 source=$2
  if [ "$(head -c 3 "$text" | od -An -tx1 | tr -d ' \n')" != efbbbf ]; then
    echo "$text does not begin with the UTF-8 byte order mark" >&2
    return 1
  fi
  local lines crlf
  lines="$(tr -cd '\n' <"$text" | wc -c)"
  crlf="$(grep -c $'\r$' "$text" || true)"
  if [ "$lines" -eq 0 ] || [ "$lines" -ne "$crlf" ] || grep -q $'\r\r' "$text" ||
     [ -n "$(tail -c 1 "$text" | tr -d '\n')" ]; then
    echo "$text does not end every line with one CR LF ($lines lines, $crlf with CR)" >&2
    return 1
  fi
  if ! cmp -s <(tail -c +4 "$text" | tr -d '\r') <(tr -d '\r' <"$source"); then
    echo "$text does not hold the text of $source" >&2
    return 1
  fi
}

# The sample configuration: 旧版,新版 and CR LF, in code page 932.
is_sample_configuration() {
  local config=$1 bytes
  bytes="$(od -An -tx1 "$config" | tr -d ' \n')"
  if [ "$bytes" != 8b8c94c52c905694c50d0a ]; then
    echo "$config is not 旧版,新版 CR LF in code page 932: $bytes" >&2
    return 1
  fi
}

# The batch file to double-click, byte for byte: ASCII with CR LF line ends. It enters its own
# folder, runs the executable there, keeps the console open until a key is pressed and passes
# the executable's exit status on.
is_double_click_batch() {
  local batch=$1
  if ! cmp -s "$batch" <(printf '%s\r\n' '@echo off' \
    'rem Runs pairwick.exe in the folder of this file, then keeps the window open until a key is' \
    'rem pressed, so that its messages can be read after a double-click. pushd, unlike cd, also' \
    'rem enters a folder on a network share (through a drive letter that popd gives back).' \
    'setlocal' \
    'pushd "%~dp0"' \
    'pairwick.exe' \
    'set status=%ERRORLEVEL%' \
    'popd' \
    'pause' \
    'exit /b %status%'); then
    echo "$batch is not the batch file that runs pairwick.exe in its folder and pauses" >&2
    return 1
  fi
}

# Every entry whose name is not plain ASCII has the flag that marks its name as UTF-8 (bit 11 of
# the general purpose flags): without it, Explorer's own unpacking reads the name in the system's
# code page and the Japanese folder names come out garbled.
names_flagged_utf8() {
  python3 - "$1" <<'PYTHON'
import sys, zipfile
unflagged = [entry.filename for entry in zipfile.ZipFile(sys.argv[1]).infolist()
             if not entry.filename.isascii() and not entry.flag_bits & 0x800]
for name in unflagged:
    print(f"{sys.argv[1]}: {name} is not flagged as UTF-8", file=sys.stderr)
sys.exit(1 if unflagged else 0)
PYTHON
}

# A copy of a ZIP archive with the UTF-8 flag cleared in every local and central header, as an
# archiver that stores names in the local code page writes it.
clear_utf8_flags() {
  python3 - "$1" "$2" <<'PYTHON'
import struct, sys, zipfile
data = bytearray(open(sys.argv[1], "rb").read())
def clear(at):
    struct.pack_into("<H", data, at, struct.unpack_from("<H", data, at)[0] & ~0x800)
for entry in zipfile.ZipFile(sys.argv[1]).infolist():
    clear(entry.header_offset + 6)
end = data.rfind(b"PK\x05\x06")
count, = struct.unpack_from("<H", data, end + 10)
at, = struct.unpack_from("<I", data, end + 16)
for _ in range(count):
    clear(at + 8)
    name, extra, comment = struct.unpack_from("<HHH", data, at + 28)
    at += 46 + name + extra + comment
open(sys.argv[2], "wb").write(data)
PYTHON
}

# Runs one check on what is shipped and requires it to pass.
expect_pass() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    fail "$what"
  fi
}

# Runs one check on a faulty input and requires it to reject it: a check that passes anything
# would let a faulty package through.
expect_reject() {
  local what=$1
  shift
  if "$@" 2>/dev/null; then
    fail "the check accepts $what"
  else
    echo "ok: rejects $what"
  fi
}

# Requires a package to hold exactly the files listed, one a line in byte order.
expect_contents() {
  local what=$1 actual=$2 expected=$3
  if [ "$actual" = "$expected" ]; then
    echo "ok: $what"
  else
    fail "the package holds"$'\n'"$actual"$'\n'"instead of"$'\n'"$expected"
  fi
}

# ---- The Windows release archive ----
step "Windows release archive ($win_build)"
cmake -S "$root" -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DPAIRWICK_BUILD_TESTS=OFF >/dev/null
nice cmake --build "$win_build" -j2
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt")"
rm -f "$win_build"/pairwick-*-win64.zip
# CPack's archiver reads the Japanese names of the example folders only in a UTF-8 locale.
(cd "$win_build" && LC_ALL=C.UTF-8 cpack -G ZIP >/dev/null)
archive="$win_build/pairwick-$version-win64.zip"
unzip -l "$archive"

top="pairwick-$version-win64"
expected="$(printf '%s\n' "$top/Pairwick_config.csv" "$top/README.ja.txt" "$top/README.md" \
  "$top/pairwick.exe" "$top/run-pairwick.bat" "$top/新版/" "$top/新版/ソース/" "$top/新版/ソース/main.c" \
  "$top/新版/ソース/util.c" "$top/新版/変更履歴.txt" "$top/新版/表計算.csv" "$top/新版/議事録.txt" \
  "$top/旧版/" "$top/旧版/readme.txt" "$top/旧版/ソース/" "$top/旧版/ソース/main.c" \
  "$top/旧版/表計算.csv" "$top/旧版/議事録.txt" | LC_ALL=C sort)"
expect_contents "the archive holds exactly the executable, the batch file, the two guides, the configuration and the example folders" \
  "$(unzip -Z1 "$archive" | LC_ALL=C sort)" "$expected"
expect_pass "the archive's Japanese names are flagged as UTF-8" names_flagged_utf8 "$archive"
clear_utf8_flags "$archive" "$scratch/unflagged.zip"
expect_reject "an archive whose Japanese names are not flagged as UTF-8" \
  names_flagged_utf8 "$scratch/unflagged.zip"

unpacked="$scratch/windows"
mkdir -p "$unpacked"
unzip -q "$archive" -d "$unpacked"
shipped="$unpacked/$top"
if [ -f "$shipped/pairwick.exe" ]; then
  file "$shipped/pairwick.exe"
  expect_pass "pairwick.exe is stripped" pe_is_stripped "$shipped/pairwick.exe"
  expect_reject "the unstripped executable of the build tree" \
    pe_is_stripped "$win_build/pairwick.exe"
  expect_pass "pairwick.exe has the version resource and the manifest" \
    pe_has_resources "$shipped/pairwick.exe" "$version"
  expect_reject "an executable of another version" \
    pe_has_resources "$shipped/pairwick.exe" "$version.1"
fi
expect_pass "the manifest is well-formed XML" xmllint --noout "$root/packaging/windows/pairwick.manifest"
expect_pass "README.ja.txt is the Japanese guide with a byte order mark and CR LF" \
  is_windows_form_of "$shipped/README.ja.txt" "$root/README.ja.md"
expect_reject "the guide as it is in the repository" \
  is_windows_form_of "$root/README.ja.md" "$root/README.ja.md"
expect_pass "Pairwick_config.csv holds 旧版,新版 in code page 932" \
  is_sample_configuration "$shipped/Pairwick_config.csv"
printf '旧版,新版\r\n' >"$scratch/utf8-config.csv"
expect_reject "a configuration saved as UTF-8" is_sample_configuration "$scratch/utf8-config.csv"
expect_pass "run-pairwick.bat runs pairwick.exe in its folder and pauses, in ASCII with CR LF" \
  is_double_click_batch "$shipped/run-pairwick.bat"
tr -d '\r' <"$shipped/run-pairwick.bat" >"$scratch/lf.bat"
expect_reject "the batch file with LF line ends" is_double_click_batch "$scratch/lf.bat"

# The unpacked archive, as a user would run it: a double-click on the batch file, which Explorer
# starts with cmd /c from some other folder, and a key pressed when it pauses. Its example folders
# are the ones that the sample configuration names, so that the very first run completes and its
# report compares them.
step "the unpacked archive under Wine"
if [ -f "$shipped/pairwick.exe" ] && [ -f "$shipped/run-pairwick.bat" ]; then
  status=0
  batch="Z:${shipped//\//\\}\\run-pairwick.bat"
  (cd "$scratch" && printf '\r\n' | "$root/scripts/windows-run.sh" cmd /c "$batch") \
    >"$scratch/console" 2>&1 || status=$?
  cat "$scratch/console"
  echo
  reports=("$shipped"/pairwick_*.txt)
  if [ "$status" -ne 0 ] || [ ! -f "${reports[0]}" ]; then
    fail "the archive's run-pairwick.bat ended with status $status and wrote no report"
  elif ! diff <(tail -c +4 "${reports[0]}") - <<'EOF'; then
==== フォルダ比較結果 ====
比較対象フォルダ1: 旧版
比較対象フォルダ2: 新版

[一致するサブフォルダ/ファイル]
ソース
ソース/main.c
議事録.txt
表計算.csv

[旧版 にのみ存在]
readme.txt

[新版 にのみ存在]
ソース/util.c
変更履歴.txt
EOF
    fail "the report of the archive's run-pairwick.bat differs from the expected one (above)"
  else
    echo "ok: a double-click on the archive's run-pairwick.bat compares its example folders"
  fi
fi

# ---- The Debian package ----
step "Debian package ($deb_build)"
# CPack builds every target before it installs: the micro benchmarks are left out of this build.
cmake -S "$root" -B "$deb_build" -DCMAKE_BUILD_TYPE=Release -DPAIRWICK_BUILD_TESTS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
nice cmake --build "$deb_build" -j2 --target pairwick pairwick_docs
rm -f "$deb_build"/pairwick_*.deb
(cd "$deb_build" && cpack -G DEB >/dev/null)
package="$(ls "$deb_build"/pairwick_*.deb)"
dpkg-deb --info "$package"
dpkg-deb --contents "$package"

expected="$(printf '%s\n' ./usr/bin/pairwick ./usr/share/doc/pairwick/README.ja.md \
  ./usr/share/doc/pairwick/README.md ./usr/share/doc/pairwick/changelog.gz \
  ./usr/share/doc/pairwick/copyright ./usr/share/man/man1/pairwick.1.gz)"
expect_contents "the package holds exactly the program, its manual page and its documentation" \
  "$(dpkg-deb --contents "$package" | awk '$1 !~ /^d/ { print $6 }' | LC_ALL=C sort)" "$expected"

installed="$scratch/debian"
dpkg-deb --extract "$package" "$installed"
if [ -f "$installed/usr/bin/pairwick" ]; then
  expect_pass "/usr/bin/pairwick is stripped" elf_is_stripped "$installed/usr/bin/pairwick"
  expect_reject "the unstripped program of the build tree" elf_is_stripped "$deb_build/pairwick"
fi

lintian_status=0
lintian_output="$(lintian --fail-on error,warning "$package" 2>&1)" || lintian_status=$?
# lintian's notice about running as root is no finding.
grep -v 'running with root privileges' <<<"$lintian_output" || true
if [ "$lintian_status" -eq 0 ]; then
  echo "ok: lintian reports no error and no warning"
else
  fail "lintian reports errors or warnings (above)"
fi

if [ ${#failures[@]} -gt 0 ]; then
  step "package check FAILED: ${#failures[@]} failure(s)"
  exit 1
fi
step "package check passed: $archive, $package"
