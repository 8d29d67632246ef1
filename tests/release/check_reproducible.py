#!/usr/bin/env python3
"""Two clean builds of the release executable from the same sources, in two
throw-away build folders of different names, must give the same bytes.

  check_reproducible.py --source SRC --work DIR [--jobs N]   (exit 77: no i686 compiler)
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

SKIP = 77
# What ships: the launcher, and the technician's tool in its own archive.
PROGRAMS = ("orvane_start.exe", "idxcheck.exe")


def build(source, folder, jobs):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    env = dict(os.environ)
    for var in ("CCACHE_DIR", "CMAKE_C_COMPILER_LAUNCHER", "CMAKE_CXX_COMPILER_LAUNCHER"):
        env.pop(var, None)
    configure = ["cmake", "-S", source, "-B", os.path.join(folder, "build"),
                 "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64-i686.cmake"),
                 "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", "-DORVANE_DIST_ROOT=" + os.path.join(folder, "dist")]
    subprocess.run(configure, check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", os.path.join(folder, "build"), "-j", str(jobs), "--target", "orvane_start",
                    "idxcheck"], check=True, env=env, stdout=subprocess.DEVNULL)
    out = {}
    for program in PROGRAMS:
        exe = os.path.join(folder, "dist", "win32-testing", program)
        with open(exe, "rb") as f:
            out[program] = (exe, f.read())
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--source", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--jobs", type=int, default=2)
    a = p.parse_args()
    if not shutil.which("i686-w64-mingw32-g++-posix") and not shutil.which("i686-w64-mingw32-g++"):
        print("skipped: i686-w64-mingw32-g++ not installed")
        return SKIP
    first = os.path.join(a.work, "first")
    second = os.path.join(a.work, "second-build-elsewhere")
    builds = build(a.source, first, a.jobs), build(a.source, second, a.jobs)
    for program in PROGRAMS:
        (exe1, one), (_, two) = builds[0][program], builds[1][program]
        print("%s first:  %d bytes, sha256 %s" % (program, len(one), hashlib.sha256(one).hexdigest()))
        print("%s second: %d bytes, sha256 %s" % (program, len(two), hashlib.sha256(two).hexdigest()))
        if one != two:
            where = next(i for i in range(min(len(one), len(two))) if one[i] != two[i]) if len(one) == len(two) else None
            print("FAIL: the two builds of %s differ" % program + ("" if where is None else " first at byte %#x" % where))
            return 1
        info = pe.read(exe1)
        if info["stamp"] != 0:
            print("FAIL: %s: link time stamp %#x" % (program, info["stamp"]))
            return 1
    for folder in (first, second):
        shutil.rmtree(folder, ignore_errors=True)
    print("the two builds are byte-identical")
    return 0


if __name__ == "__main__":
    sys.exit(main())
