#!/usr/bin/env bash
# Builds pairwick with its unit and end-to-end tests in build/ and runs every test through ctest.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"

# python3-fusepy serves the small FUSE file system of the test of a listing that repeats a name;
# faketime stops the wall clock for the test of a clock that stands still; libfuse3 builds the file
# system that fails chosen calls on demand for the fault tests; samba, smbnetfs and iproute2 make the
# real SMB share of the share tests (tests/smb_share.sh).
"$root/scripts/setup-deps.sh" python3-fusepy faketime fuse3 libfuse3-dev pkg-config \
  samba smbnetfs iproute2
cmake -S "$root" -B "$build"
cmake --build "$build" -j2
cd "$build"
# Every test has a time limit of its own kind (CMakeLists.txt); five minutes is the backstop for a
# test that came without one.
ctest --output-on-failure -j2 --timeout 300 </dev/null
