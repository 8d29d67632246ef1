#!/usr/bin/env bash
# One entry for the everyday jobs:
#   ./dev.sh demo [--win32]  install what is missing, build what the demo runs, lay out a demo program folder and run the launcher on it
#   ./dev.sh test [--emulated]  install what is missing, build every preset and run every test
#                    (--emulated: the 32-bit build under user-mode emulation even where it runs natively)
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
    for a in "${@:2}"; do
      case $a in
        --emulated) export ORVANE_WINE32_EMULATE=1 ;;
        *) echo "unknown option: $a" >&2; exit 2 ;;
      esac
    done
    started=$SECONDS
    tools/install-deps.sh
    route=$(tools/wine32 --route)
    echo "== 32-bit route: $route$([ "${ORVANE_WINE32_EMULATE:-0}" = 1 ] && echo ' (emulation forced)')"
    deps_done=$SECONDS
    build_all
    build_done=$SECONDS
    echo "== tests"
    log=build/host/ctest-last.log
    set +e
    ctest --preset host -j "$jobs" --timeout 900 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    set -e
    if [ "$route" = none ]; then
      echo "Skipped, label win32 (the 32-bit build under Wine): $(tools/wine32 --reason)"
    fi
    tests_done=$SECONDS
    # What the set-up changed on the machine only for this run is taken back.
    tools/wine32 --undo || true
    python3 tools/test_budget.py --log "$log" --route "$route" --deps $((deps_done - started)) \
      --build $((build_done - deps_done)) --tests $((tests_done - build_done)) --whole $((SECONDS - started))
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
    profile=demo
    for a in "${@:2}"; do [ "$a" = --win32 ] && profile=demo-win32; done
    tools/install-deps.sh "$profile"
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
    status=0
    python3 tools/demo/run_demo.py "${@:2}" || status=$?
    # An emulated 32-bit route is set up for a run only: its binfmt entry is taken back.
    [ "$windows" = win64 ] || tools/wine32 --undo || true
    exit "$status"
    ;;
  *)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
