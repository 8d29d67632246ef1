#!/usr/bin/env python3
"""Checks docs/architecture.md against the code: every arrow between rooms that the
note lists (its "Arrows" table) must be an #include in the code, and every #include
from one room into another must be listed there.

    python3 tools/archcheck/archcheck.py        prints the arrows found; exit 1 on a mismatch

Tests, benchmarks and the demo and release tools may include any room: they are not
rooms of their own here."""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Rooms, longest prefix first wins.
ROOMS = [
    "src/orvane_start.cpp", "src/app/win", "src/app", "src/indexer2", "src/policy", "src/engine", "src/sys",
    "idapi/include", "idapi/core", "idapi/engine", "lib/pathwalk", "lib/text",
    "tools/idxcheck", "tools/mkfixtures", "tools/mkcorpus", "tools/dbfwriter",
]
# Where the build looks for "dir/file.h" includes.
INCLUDE_ROOTS = ["", "src", "lib", "idapi/include", "tools", "tools/mkfixtures", "tools/dbfwriter", "tools/mkcorpus"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def room_of(path):
    best = None
    for room in ROOMS:
        if path == room or path.startswith(room + "/") or (path.startswith(room) and room.endswith("indexer2")):
            if best is None or len(room) > len(best):
                best = room
    return best


def resolve(source, name):
    here = os.path.dirname(source)
    for base in [here] + INCLUDE_ROOTS:
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(ROOT, candidate)):
            return candidate
    return None


def arrows_in_code():
    files = subprocess.run(["git", "ls-files", "*.cpp", "*.h"], cwd=ROOT, capture_output=True, text=True,
                           check=True).stdout.split()
    found = {}
    for source in files:
        src_room = room_of(source)
        if src_room is None:
            continue
        with open(os.path.join(ROOT, source), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for name in INCLUDE.findall(text):
            target = resolve(source, name)
            dst_room = room_of(target) if target else None
            if dst_room and dst_room != src_room:
                found.setdefault((src_room, dst_room), f"{source} includes {name}")
    return found


def arrows_in_note():
    with open(os.path.join(ROOT, "docs/architecture.md"), encoding="utf-8") as f:
        text = f.read()
    table = text.split("### Arrows", 1)[1].split("\n## ", 1)[0]
    listed = set()
    for line in table.splitlines():
        cells = [c.strip().strip("`") for c in line.strip().strip("|").split("|")]
        if len(cells) >= 2 and cells[0] in ROOMS:
            for target in cells[1].split(","):
                target = target.strip().strip("`")
                if target:
                    listed.add((cells[0], target))
    return listed


def main():
    code = arrows_in_code()
    note = arrows_in_note()
    status = 0
    for arrow in sorted(set(code) - note):
        print(f"in the code, not in the note: {arrow[0]} -> {arrow[1]} ({code[arrow]})")
        status = 1
    for arrow in sorted(note - set(code)):
        print(f"in the note, not in the code: {arrow[0]} -> {arrow[1]}")
        status = 1
    if status == 0:
        print(f"docs/architecture.md matches the code: {len(code)} arrows between {len(ROOMS)} rooms")
    return status


if __name__ == "__main__":
    sys.exit(main())
