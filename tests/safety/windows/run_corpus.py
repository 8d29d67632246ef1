#!/usr/bin/env python3
"""The malformed-file corpus through the Windows IDAPI32.DLL of one build, under Wine,
all cases in one Windows process (corpus_wincheck.exe); then every index it repaired
must pass the index checker. With --state the prefix of the test run's session of
that build is used, otherwise a fresh one. Exits 77 (skipped), saying why, where the
build's runtime or programs are missing.

  run_corpus.py --bits 32|64 --idxcheck PATH [--state SESSION_DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "e2e"))
import winharness as wh  # noqa: E402

SKIP = 77


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--idxcheck", required=True)
    parser.add_argument("--state")
    args = parser.parse_args()
    session = None
    if args.state:
        session, problem = wh.Session.shared(args.state)
    else:
        problem = wh.runtime_problem(args.bits)
    if problem:
        print("skipped: no %d-bit Wine runtime: %s" % (args.bits, problem))
        return SKIP
    checker = os.path.join(wh.ROOT, "build", "win%d" % args.bits, "tests", "safety", "windows", "corpus_wincheck.exe")
    dll = wh.find_artifact("IDAPI32.DLL", args.bits)
    for path in (checker, dll):
        if not os.path.exists(path):
            print("skipped: not built: %s (./dev.sh build)" % path)
            return SKIP

    work = tempfile.mkdtemp(prefix="corpus_win%d_" % args.bits)
    env = session.env if session else wh.wine_env(os.path.join(work, "prefix"), os.environ.get("DISPLAY", ""))
    try:
        cases = os.path.join(work, "cases")
        result = subprocess.run(wh.loader(args.bits) + [checker, wh.Session.winpath(dll),
                                                        wh.Session.winpath(os.path.join(HERE, "..", "corpus")),
                                                        wh.Session.winpath(cases)],
                                env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace",
                                timeout=900)
        print(result.stdout, end="")
        ok = result.returncode == 0 and "PASSED" in result.stdout
        if not ok:
            print(result.stderr[-2000:], file=sys.stderr)
        repaired = [line.split(" ", 1)[1] for line in result.stdout.splitlines() if line.startswith("repaired ")]
        for name in repaired:
            check = subprocess.run([args.idxcheck, os.path.join(cases, name, "CP.DBF")], capture_output=True,
                                   text=True, errors="replace")
            if check.returncode != 0:
                ok = False
                print("FAIL %s: the repaired index does not pass the checker:\n%s" % (name, check.stdout))
        if ok and not repaired:
            print("FAIL no case was repaired")
            ok = False
        print("%d repaired indexes checked" % len(repaired))
        return 0 if ok else 1
    finally:
        if not session:
            subprocess.run([wh.wineserver_binary(), "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
