#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine. As root it installs
# the missing packages with apt; otherwise it prints the exact command to run.
set -euo pipefail

packages=(
  cmake make g++ pkg-config python3
  zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev
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

if [ ${#missing[@]} -eq 0 ]; then
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
