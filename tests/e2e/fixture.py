#!/usr/bin/env python3
"""CTest fixture of the end-to-end tests.

  fixture.py setup   --state DIR --dist DIST   start Xvfb, make a fresh WINEPREFIX
  fixture.py cleanup --state DIR               stop wineserver and Xvfb, remove the prefix
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness  # noqa: E402


def main(argv):
    if len(argv) < 1 or "--state" not in argv:
        print(__doc__)
        return 2
    state = argv[argv.index("--state") + 1]
    if argv[0] == "setup":
        dist = argv[argv.index("--dist") + 1]
        info = winharness.start_session(state, dist)
        print("display %s, prefix %s" % (info["display"], info["prefix"]))
        return 0
    if argv[0] == "cleanup":
        winharness.stop_session(state)
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
