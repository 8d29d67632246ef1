#!/usr/bin/env python3
"""CTest fixture of the end-to-end tests.

  fixture.py setup   --state DIR [--bits 32|64]   start Xvfb, make a fresh WINEPREFIX
                                                 (32: for the 32-bit build, through tools/wine32)
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
        bits = int(argv[argv.index("--bits") + 1]) if "--bits" in argv else 64
        info = winharness.start_session(state, bits)
        if "unavailable" in info:
            # Not a failure: the session's tests report themselves skipped with the reason.
            print("no %d-bit runtime: %s" % (bits, info["unavailable"]))
        else:
            route = ", route %s" % info["route"] if "route" in info else ""
            print("%d-bit session: display %s, prefix %s%s" % (bits, info["display"], info["prefix"], route))
        return 0
    if argv[0] == "cleanup":
        winharness.stop_session(state)
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
