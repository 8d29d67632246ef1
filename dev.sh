#!/usr/bin/env bash
# One entry for the everyday jobs:
#   ./dev.sh demo    install what is missing, build, lay out a demo program folder and run the launcher on it
#   ./dev.sh test    install what is missing, build every preset and run every test
#   ./dev.sh build   build every preset (host, release, win64, win32)
#   ./dev.sh deps    only install what is missing
#   ./dev.sh bench [OPTIONS]  build the optimised preset and run the rebuild benchmark (see README)
#   ./dev.sh bench --windows [--verify] [--keep-huge]  the ~2 GB table through the 32- and 64-bit engine under Wine
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
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
    build_all
    exec python3 tools/demo/run_demo.py "${@:2}"
    ;;
  *)
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
