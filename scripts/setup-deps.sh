#!/usr/bin/env bash
# Installs what building and testing pairwick needs on Debian 12, and the further Debian packages
# named as arguments (the Windows build, the reliability checks and the benchmarks need more);
# installs nothing that is there.
# usage: scripts/setup-deps.sh [package...]
set -euo pipefail

# cmake, a C++17 compiler and make build it; GoogleTest runs the tests; util-linux brings setpriv,
# with which the tests run the program as an unprivileged user.
packages=(cmake g++ make libgtest-dev util-linux "$@")

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "setup-deps: not a Debian system; make sure these are installed: ${packages[*]}" >&2
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup-deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
