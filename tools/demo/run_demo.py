#!/usr/bin/env python3
"""Runs the launcher on a demo program folder under Wine and reports.

The program folder demo/program (ignored by git) gets orvane_start.exe, our engine
library IDAPI32.DLL, a demo main application Pelcrest.exe and a realistic DATA tree
from the fixture generator: the fifteen fixed tables and the invoice folders of the
year window (plus one older year the launcher must leave alone), thousands of
records, several tags per table, every index made stale on purpose.

With a reachable X display (DISPLAY set) the launcher runs there. Without one it
runs on a private Xvfb display; screenshots of the splash window during the run and
of the main application's window are saved under demo/ and their paths printed.
Afterwards the report says which tables were reindexed and how long the run took,
whether every index now checks out, and whether the main application was started.

Options: --records N (default 5000), --seed S, --win32 (the 32-bit build, the
release, under tools/wine32, instead of the 64-bit one under wine64).
"""
import argparse
import datetime
import glob
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import winharness as wh  # noqa: E402

HOST = os.path.join(ROOT, "dist", "host")
DEMO = os.path.join(ROOT, "demo")
LOG = "pelcrest-started.log"


def lay_out_program_folder(records, seed, bits):
    folder = os.path.join(DEMO, "program")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in ("orvane_start.exe", "IDAPI32.DLL", "Pelcrest.exe"):
        shutil.copy2(wh.find_artifact(name, bits), folder)
    year = datetime.date.today().year
    years = ",".join(str(y) for y in range(year - 6, year + 2))
    print("Generating the DATA tree (%d records a table, invoice years %s)..." % (records, years))
    subprocess.run([os.path.join(HOST, "mkfixtures"), "tree", folder, "--years", years, "--records", str(records),
                    "--seed", str(seed), "--tags", "full", "--index", "stale"], check=True, stdout=subprocess.DEVNULL)
    return folder


def index_files(folder):
    return {p: os.stat(p).st_ino for p in glob.glob(os.path.join(folder, "DATA", "**", "*.MDX"), recursive=True)}


def display_reachable():
    display = os.environ.get("DISPLAY")
    if not display:
        return False
    return subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def run_on_real_display(folder, bits):
    # The 32-bit runtime needs a prefix made by itself.
    prefix = os.path.join(DEMO, "wineprefix" if bits == 64 else "wineprefix32")
    env = wh.wine_env(prefix, os.environ["DISPLAY"])
    if not os.path.isdir(os.path.join(prefix, "drive_c")):
        print("Making the Wine prefix %s (once)..." % prefix)
        subprocess.run(wh.loader(bits) + ["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    print("Running the launcher on %s..." % os.environ["DISPLAY"])
    started = time.time()
    code = subprocess.run(wh.loader(bits) + [os.path.join(folder, "orvane_start.exe")], env=env, cwd=folder,
                          stderr=subprocess.DEVNULL).returncode
    return code, time.time() - started


def run_on_xvfb(folder, bits):
    state_dir = os.path.join(DEMO, "session")
    print("No display: running under Xvfb...")
    state = wh.start_session(state_dir, bits)
    if "unavailable" in state:
        wh.stop_session(state_dir)
        print("Cannot run the %d-bit build here: %s" % (bits, state["unavailable"]))
        return None, 0.0
    try:
        session = wh.Session(state_dir)
        session.artifacts = DEMO
        session.env["ORVANE_PELCREST_AUTOCLOSE"] = "4"
        started = time.time()
        program = session.start(os.path.join(folder, "orvane_start.exe"))
        if session.wait_for_window(winpid=program.winpid, cls="TFrmindexer", timeout=60) and program.running():
            print("Screenshot of the splash window during the run: %s" % session.screenshot("demo_splash"))
        code = program.wait(1800)
        elapsed = time.time() - started
        if code is None:
            print("The launcher did not end.")
            boxes = session.message_boxes(winpid=program.winpid)
            if boxes:
                print("It shows: %s" % boxes[0]["text"])
                print("Screenshot: %s" % session.screenshot("demo_error"))
        elif session.wait_for_window(cls="OrvaneDemoMainApplication", timeout=20):
            print("Screenshot of the main application: %s" % session.screenshot("demo_main_application"))
            time.sleep(5)
        session.stop_all()
        return code, elapsed
    finally:
        wh.stop_session(state_dir)


def report(folder, before, code, elapsed):
    after = index_files(folder)
    rebuilt = sorted(os.path.relpath(p, folder)[:-4] + ".DBF" for p in before if after.get(p) != before[p])
    untouched = sorted(os.path.relpath(p, folder)[:-4] + ".DBF" for p in before if after.get(p) == before[p])
    print()
    print("== Report")
    print("orvane_start.exe ended with exit code %r after %.1f s" % (code, elapsed))
    print("Tables reindexed (%d):" % len(rebuilt))
    for rel in rebuilt:
        print("  " + rel)
    if untouched:
        print("Tables left alone (%d), outside the year window or after a failure:" % len(untouched))
        for rel in untouched:
            print("  " + rel)
    faulty = []
    for p in sorted(after):
        table = p[:-4] + ".DBF"
        if subprocess.run([os.path.join(HOST, "idxcheck"), table], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode != 0:
            faulty.append(os.path.relpath(table, folder))
    checked = [r for r in rebuilt if r not in faulty]
    print("Indexes checked by idxcheck: %d of %d reindexed tables check out" % (len(checked), len(rebuilt)))
    stale = [f for f in faulty if f not in rebuilt]
    if stale:
        print("Still stale (never reindexed): %s" % ", ".join(stale))
    starts = []
    if os.path.exists(os.path.join(folder, LOG)):
        with open(os.path.join(folder, LOG), encoding="utf-8") as f:
            starts = [line.strip() for line in f if line.strip()]
    if starts:
        print("Main application started %d time(s): %s" % (len(starts), starts[0]))
    else:
        print("Main application NOT started")
    ok = code == 0 and rebuilt and all(r not in faulty for r in rebuilt) and len(starts) == 1
    print("Demo %s." % ("succeeded" if ok else "FAILED"))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--records", type=int, default=5000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--win32", action="store_true", help="run the 32-bit build under tools/wine32")
    args = parser.parse_args()
    bits = 32 if args.win32 else 64
    programs = ("orvane_start.exe", "IDAPI32.DLL", "Pelcrest.exe", "e2e_probe.exe")
    for path in [wh.find_artifact(n, bits) for n in programs] + [os.path.join(HOST, n) for n in ("mkfixtures", "idxcheck")]:
        if not os.path.exists(path):
            print("%s is missing: build first (./dev.sh build)" % os.path.relpath(path, ROOT))
            return 1
    folder = lay_out_program_folder(args.records, args.seed, bits)
    print("Demo program folder (%d-bit build): %s" % (bits, folder))
    if bits == 32:
        print("32-bit route: %s" % wh.route32())
    before = index_files(folder)
    if display_reachable():
        code, elapsed = run_on_real_display(folder, bits)
    else:
        code, elapsed = run_on_xvfb(folder, bits)
    return report(folder, before, code, elapsed)


if __name__ == "__main__":
    sys.exit(main())
