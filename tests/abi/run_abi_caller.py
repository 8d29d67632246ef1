#!/usr/bin/env python3
"""Runs abi_caller.exe (32-bit) on a generated table under tools/wine32 in a fresh
Wine prefix. Passes when the caller reports PASSED and the table's bytes are
unchanged; exits 77 (skipped) where the 32-bit runtime or the Windows build is
missing, saying why.

  run_abi_caller.py --caller abi_caller.exe --mkfixtures PATH
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

WINE32 = wh.WINE32
SKIP = 77


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--caller", required=True)
    parser.add_argument("--mkfixtures", required=True)
    args = parser.parse_args()
    args.dll = wh.find_artifact("IDAPI32.DLL", 32)

    check = subprocess.run([WINE32, "--check"], capture_output=True, text=True)
    if check.returncode != 0:
        reason = (check.stderr.strip().splitlines() or ["tools/wine32 --check failed"])[-1]
        print("skipped: no 32-bit Wine runtime: " + reason)
        return SKIP
    for path in (args.caller, args.dll):
        if not os.path.exists(path):
            print("skipped: not built: %s (./dev.sh build)" % path)
            return SKIP

    work = tempfile.mkdtemp(prefix="abi_caller_")
    env = dict(os.environ, WINEPREFIX=os.path.join(work, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
    try:
        table = os.path.join(work, "Fact.DBF")
        subprocess.run([args.mkfixtures, "table", table, "--kind", "fact", "--records", "300", "--seed", "5",
                        "--tags", "full", "--index", "stale"], check=True, stdout=subprocess.DEVNULL)
        with open(table, "rb") as f:
            before = f.read()
        result = subprocess.run([WINE32, args.caller, winpath(args.dll), winpath(table)], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace",
                                timeout=600)
        print(result.stdout, end="")
        if result.returncode != 0 or "PASSED" not in result.stdout:
            print(result.stderr[-2000:], file=sys.stderr)
            print("abi_caller failed (exit status %d)" % result.returncode)
            return 1
        with open(table, "rb") as f:
            if f.read() != before:
                print("FAIL the table's bytes changed")
                return 1
        return 0
    finally:
        subprocess.run([wh.wineserver_binary(), "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
