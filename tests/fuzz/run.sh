#!/usr/bin/env bash
# Runs a fuzzing harness on its committed seeds for a while; non-zero exit on any finding.
#   tests/fuzz/run.sh NAME|all [SECONDS] [libFuzzer options...]
# NAME: dbf_header, mdx_header, expr, png or layout. SECONDS defaults to 25.
# FUZZ_BUILD_DIR: where the harnesses were built (default build/host/tests/fuzz).
# Every committed seed is run first, then the fuzzer mutates from them. New inputs it
# finds go to a fresh temporary folder removed at the end, so that each run starts from
# the seeds alone (the tests' runs); FUZZ_WORK_DIR=DIR keeps them in DIR/NAME between
# runs instead (long runs by hand). A crashing input is written to
# FUZZ_BUILD_DIR/findings/NAME-crash-... and can be replayed with:
# FUZZ_BUILD_DIR/fuzz_NAME FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${FUZZ_BUILD_DIR:-$here/../../build/host/tests/fuzz}
[ $# -ge 1 ] || { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
name=$1
seconds=${2:-25}
shift $(( $# >= 2 ? 2 : 1 ))

if [ "$name" = all ]; then
  status=0
  for h in dbf_header mdx_header expr png layout; do
    "$0" "$h" "$seconds" "$@" || status=1
  done
  exit $status
fi

binary=$build/fuzz_$name
seeds=$here/corpus/$name
[ -x "$binary" ] || { echo "no harness $binary (build the host preset first)" >&2; exit 1; }
[ -d "$seeds" ] || { echo "no seeds in $seeds" >&2; exit 1; }

# Index files and tables need room beyond libFuzzer's default input size.
case $name in
  mdx_header) max_len=32768 ;;
  dbf_header) max_len=8192 ;;
  png) max_len=4096 ;;
  *) max_len=2048 ;;
esac
options=(-max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048
         -print_final_stats=1 -artifact_prefix="$build/findings/$name-")
[ -f "$here/$name.dict" ] && options+=(-dict="$here/$name.dict")

mkdir -p "$build/findings"
if [ -n "${FUZZ_WORK_DIR:-}" ]; then
  work=$FUZZ_WORK_DIR/$name
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-fuzz-$name.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
echo "fuzzing $name for ${seconds}s from $(ls "$seeds" | wc -l) seeds"
"$binary" "${options[@]}" "$@" "$work" "$seeds"
