#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine. As root it installs
# the missing packages with apt; otherwise it prints the exact command to run.
set -euo pipefail

packages=(
  cmake make g++ pkg-config python3
  zlib1g-dev libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 libz-mingw-w64-dev
  wine64 xvfb xdotool x11-utils imagemagick fonts-liberation
  clang libclang-rt-14-dev fpc fp-units-fcl locales
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The 32-bit Wine runtime for the 32-bit build's tests (see tools/wine32): set up once,
# after the packages above. Where it cannot be set up, the tests of label win32 are
# skipped with the reason, and everything else still runs.
wine32_runtime() {
  if [ "$(id -u)" -eq 0 ]; then
    "$(dirname "$0")/wine32" --setup || echo "The 32-bit runtime is not available: the win32 tests will be skipped." >&2
  elif [ "$("$(dirname "$0")/wine32" --route)" = none ]; then
    echo "No 32-bit Wine runtime: the win32 tests will be skipped (sudo tools/wine32 --setup sets one up)." >&2
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  wine32_runtime
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
wine32_runtime
