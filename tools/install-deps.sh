#!/usr/bin/env bash
# Installs what a job needs on a Debian machine. As root it installs the missing
# packages with apt; otherwise it prints the exact command to run.
#
#   tools/install-deps.sh [all]        building every preset and running every test
#   tools/install-deps.sh demo         what ./dev.sh demo builds and runs (64-bit)
#   tools/install-deps.sh demo-win32   the same for ./dev.sh demo --win32 (32-bit)
#
# "all" and "demo-win32" also set up the 32-bit Wine runtime (tools/wine32 --setup);
# where it cannot be set up, the tests of label win32 are skipped with the reason, and
# everything else still runs.
set -euo pipefail

profile=${1:-all}

# The demo: the host tools that lay out and check its DATA tree (release preset), the
# 64-bit launcher, engine and main application (win64 preset), Wine on a private Xvfb
# display, xdpyinfo to find a display, and screenshots.
demo=(
  cmake make g++ pkg-config python3 zlib1g-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64 libz-mingw-w64-dev
  wine64 xvfb x11-utils imagemagick fonts-liberation
)
# The 32-bit build (the release).
win32=(g++-mingw-w64-i686-posix)
# Everything else the tests use: unit tests, window scripting, sanitizer and fuzzing
# runtimes, the independent index reader (Free Pascal), a French locale.
tests=(
  libgtest-dev libgmock-dev xdotool
  clang libclang-rt-14-dev fpc fp-units-fcl locales
)

case $profile in
  all) packages=("${demo[@]}" "${win32[@]}" "${tests[@]}"); runtime32=1 ;;
  demo) packages=("${demo[@]}"); runtime32=0 ;;
  demo-win32) packages=("${demo[@]}" "${win32[@]}"); runtime32=1 ;;
  *) echo "usage: $0 [all|demo|demo-win32]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The 32-bit Wine runtime (see tools/wine32): set up after the packages above.
wine32_runtime() {
  [ "$runtime32" = 1 ] || return 0
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
