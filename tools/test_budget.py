#!/usr/bin/env python3
"""Prints the figures of a ./dev.sh test run: the 32-bit route, the time of each phase
and of the whole run, each label's time as CTest sums it, and the tests' counts as
the last line. Figures only: nothing here passes or fails a run.

  test_budget.py --log CTEST_OUTPUT --route ROUTE --deps S --build S --tests S --whole S
"""
import argparse
import re
import sys

# What the run aims at, in seconds (shown beside the figures, never enforced).
AIM_WHOLE = 45 * 60
AIM_WIN32_EMULATED = 15 * 60


def minutes(seconds):
    seconds = int(round(seconds))
    return "%d min %02d s" % (seconds // 60, seconds % 60) if seconds >= 60 else "%d s" % seconds


def parse(text):
    """(labels {name: (seconds, tests)}, total, failed, skipped) from CTest's output."""
    labels = {}
    in_labels = False
    for line in text.splitlines():
        if line.startswith("Label Time Summary"):
            in_labels = True
            continue
        if in_labels:
            m = re.match(r"\s*(\S+)\s*=\s*([\d.]+) sec\*proc \((\d+) tests?\)", line)
            if m:
                labels[m.group(1)] = (float(m.group(2)), int(m.group(3)))
                continue
            if line.strip():
                in_labels = False
    total = failed = None
    m = re.search(r"(\d+)% tests passed, (\d+) tests? failed out of (\d+)", text)
    if m:
        failed, total = int(m.group(2)), int(m.group(3))
    skipped = len(re.findall(r"^\s*\d+ - .*\(Skipped\)\s*$", text, re.M))
    return labels, total, failed, skipped


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--route", required=True)
    for phase in ("deps", "build", "tests", "whole"):
        parser.add_argument("--" + phase, type=float, required=True)
    args = parser.parse_args()
    try:
        with open(args.log, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        text = ""
    labels, total, failed, skipped = parse(text)

    print()
    print("== Figures of this run")
    emulated = args.route.startswith("emulated/")
    print("32-bit route:           %s" % ("none (label win32 skipped)" if args.route == "none" else args.route))
    print("install and set-up:     %s" % minutes(args.deps))
    print("build (four presets):   %s" % minutes(args.build))
    print("tests (wall clock):     %s" % minutes(args.tests))
    print("whole run:              %s   (aim: within %s)" % (minutes(args.whole), minutes(AIM_WHOLE)))
    if labels:
        print("label times (the sum of its tests' times, one process each):")
        for name in sorted(labels):
            seconds, count = labels[name]
            aim = ""
            if name == "win32" and emulated:
                aim = "   (aim under emulation: within %s)" % minutes(AIM_WIN32_EMULATED)
            print("  %-10s %10s  %3d tests%s" % (name, minutes(seconds), count, aim))
    if total is None:
        print("tests: no CTest summary found in %s" % args.log)
        return 0
    print("tests: %d passed, %d failed, %d skipped" % (total - failed - skipped, failed, skipped))
    return 0


if __name__ == "__main__":
    sys.exit(main())
