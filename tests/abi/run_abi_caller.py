#!/usr/bin/env python3
"""Runs abi_caller.exe (32-bit) on a generated table under tools/wine32, in the
prefix of the test run's 32-bit session. Passes when the caller reports PASSED and
the table's bytes are unchanged; exits 77 (skipped) where the 32-bit runtime or the
Windows build is missing, saying why.

  run_abi_caller.py --caller abi_caller.exe --mkfixtures PATH --state SESSION_DIR
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
    parser.add_argument("--state", required=True)
    args = parser.parse_args()
    args.dll = wh.find_artifact("IDAPI32.DLL", 32)

    session, problem = wh.Session.shared(args.state)
    if problem:
        print("skipped: no 32-bit Wine runtime: " + problem)
        return SKIP
    for path in (args.caller, args.dll):
        if not os.path.exists(path):
            print("skipped: not built: %s (./dev.sh build)" % path)
            return SKIP

    work = tempfile.mkdtemp(prefix="abi_caller_")
    try:
        table = os.path.join(work, "Fact.DBF")
        subprocess.run([args.mkfixtures, "table", table, "--kind", "fact", "--records", "300", "--seed", "5",
                        "--tags", "full", "--index", "stale"], check=True, stdout=subprocess.DEVNULL)
        with open(table, "rb") as f:
            before = f.read()
        result = subprocess.run([WINE32, args.caller, winpath(args.dll), winpath(table)], env=session.env,
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
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
