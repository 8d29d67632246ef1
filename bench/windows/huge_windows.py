#!/usr/bin/env python3
"""The rebuild of the ~2 GB customer table through the Windows builds of the engine:
the 32-bit IDAPI32.DLL under tools/wine32 and the 64-bit one under wine64, each in a
fresh Wine prefix, timed by win_rebuild.exe. The table is the one the host benchmark
makes (build/release/bench-cache/client-huge); where it is missing it is made by
running the host benchmark with --huge --keep-huge first, which also prints the host
figures of the same table.

  huge_windows.py [--bits 32,64] [--verify] [--keep-huge]

Prints, for each build: elapsed and processor time of DbiRegenIndexes, records per
second, the process's peak resident memory (Wine's own included), the files left
beside the table, and with --verify the index checker's verdict.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import winharness as wh  # noqa: E402

CACHE = os.path.join(ROOT, "build", "release", "bench-cache")
HUGE = os.path.join(CACHE, "client-huge")
TABLE = os.path.join(HUGE, "CLIENT.DBF")


def records_of(table):
    with open(table, "rb") as f:
        header = f.read(8)
    return int.from_bytes(header[4:8], "little")


def measure(bits):
    exe = os.path.join(ROOT, "build", "win%d" % bits, "bench", "windows", "win_rebuild.exe")
    dll = wh.find_artifact("IDAPI32.DLL", bits)
    for path in (exe, dll):
        if not os.path.exists(path):
            return "%s is not built" % os.path.relpath(path, ROOT)
    problem = wh.runtime_problem(bits)
    if problem:
        return problem
    work = tempfile.mkdtemp(prefix="huge_windows_")
    env = wh.wine_env(os.path.join(work, "prefix"), os.environ.get("DISPLAY", ""))
    try:
        subprocess.run(wh.loader(bits) + ["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600, check=False)
        result = subprocess.run(wh.loader(bits) + [exe, wh.Session.winpath(dll), wh.Session.winpath(TABLE)], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
        if result.returncode != 0:
            return "win_rebuild failed: " + (result.stderr.strip().splitlines() or ["?"])[-1]
        return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    finally:
        subprocess.run([wh.wineserver_binary(), "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bits", default="32,64")
    parser.add_argument("--verify", action="store_true")
    parser.add_argument("--keep-huge", action="store_true")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(HUGE, "COMPLETE")):
        bench = os.path.join(ROOT, "build", "release", "bench", "rebuild_bench")
        print("Making the ~2 GB table with the host benchmark (its figures are the host's):")
        sys.stdout.flush()
        if subprocess.run([bench, "--records", "1000", "--tags", "3", "--repeat", "1", "--huge",
                           "--keep-huge"]).returncode != 0:
            return 1
    records = records_of(TABLE)
    print("\ntable %s: %d bytes, %d records, 6 tags" % (TABLE, os.path.getsize(TABLE), records))
    print("%5s %10s %8s %10s %9s %9s %6s %6s" % ("bits", "rebuild_s", "cpu_s", "records/s", "peak_MiB", "open_MiB",
                                                 "stray", "check"))
    ok = True
    for bits in [int(b) for b in args.bits.split(",")]:
        figures = measure(bits)
        if isinstance(figures, str):
            print("%5d %s" % (bits, figures))
            ok = False
            continue
        stray = [n for n in os.listdir(HUGE) if n not in ("CLIENT.DBF", "CLIENT.MDX", "COMPLETE")]
        verdict = "-"
        if args.verify:
            verdict = "ok" if subprocess.run([wh.host_tool("idxcheck"), TABLE], stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL).returncode == 0 else "BAD"
        seconds = float(figures["seconds"])
        print("%5d %10.1f %8.1f %10.0f %9.1f %9.1f %6d %6s" % (
            bits, seconds, float(figures["cpu_seconds"]), records / seconds if seconds else 0,
            int(figures["peak_kib"]) / 1024, int(figures["open_peak_kib"]) / 1024, len(stray), verdict))
        sys.stdout.flush()
        ok = ok and not stray and verdict != "BAD"
    if not args.keep_huge:
        shutil.rmtree(HUGE, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
