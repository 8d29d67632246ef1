#!/usr/bin/env bash
# One entry for the everyday jobs:
#   ./dev.sh demo [--win32]  install what is missing, build what the demo runs, lay out a demo program folder and run the launcher on it
#   ./dev.sh test    install what is missing, build every preset and run every test
#   ./dev.sh build   build every preset (host, release, win64, win32)
#   ./dev.sh deps    only install what is missing
#   ./dev.sh bench [OPTIONS]  build the optimised preset and run the rebuild benchmark (see README)
#   ./dev.sh bench --windows [--verify] [--keep-huge]  the ~2 GB table through the 32- and 64-bit engine under Wine
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

# build_preset PRESET [TARGET...]: configure and build the preset (only the named targets if any).
build_preset() {
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" -j "$jobs" --target "$@"
  else
    cmake --build --preset "$preset" -j "$jobs"
  fi
}

build_all() {
  for p in host release win64 win32; do
    echo "== build: $p"
    build_preset "$p"
  done
}

case "${1:-}" in
  deps)
    tools/install-deps.sh
    ;;
  build)
    tools/install-deps.sh
    build_all
    ;;
  test)
    tools/install-deps.sh
    build_all
    echo "== tests"
    status=0
    ctest --preset host -j "$jobs" --timeout 900 || status=$?
    if [ "$(tools/wine32 --route)" = none ]; then
      echo "Skipped, label win32 (the 32-bit build under Wine): $(tools/wine32 --reason)"
    fi
    exit "$status"
    ;;
  bench)
    tools/install-deps.sh
    if [ "${2:-}" = --windows ]; then
      cmake --preset release >/dev/null
      cmake --build --preset release -j "$jobs" --target rebuild_bench idxcheck
      for p in win32 win64; do
        cmake --preset "$p" >/dev/null
        cmake --build --preset "$p" -j "$jobs" --target idapi32 win_rebuild
      done
      exec python3 bench/windows/huge_windows.py "${@:3}"
    fi
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$jobs" --target rebuild_bench
    exec build/release/bench/rebuild_bench "${@:2}"
    ;;
  demo)
    tools/install-deps.sh
    # Only what the demo runs: the host tools that lay out and check its DATA tree, and
    # the launcher, our engine, the demo main application and the window probe.
    windows=win64
    for a in "${@:2}"; do [ "$a" = --win32 ] && windows=win32; done
    echo "== build: release (mkfixtures, idxcheck)"
    build_preset release mkfixtures idxcheck
    echo "== build: $windows (orvane_start, IDAPI32.DLL, Pelcrest.exe)"
    build_preset "$windows" orvane_start idapi32 pelcrest_demo
    echo "== build: win64 (e2e_probe)"
    build_preset win64 e2e_probe
    exec python3 tools/demo/run_demo.py "${@:2}"
    ;;
  *)
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
