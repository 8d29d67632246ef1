#!/usr/bin/env python3
"""The release as it lies in dist/ after a build of the win32 preset: the release
folder holds only what ships, the archive holds the same bytes and matches its
SHA-256, the executable carries no time stamp, symbols or debug data, and every
folder of test-only artifacts carries its warning note.

  check_release.py --dist DIST --version 1.0.0.0      (exit 77: win32 not built)
"""
import argparse
import hashlib
import os
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe  # noqa: E402

SKIP = 77
NOTE = "A-LIRE-NE-PAS-INSTALLER.txt"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message)


def archive(dist, stem, members, what):
    """Checks DIST/STEM.zip (sound, holding exactly STEM/MEMBER for each member) and its
    .sha256 line; returns {member: bytes}, empty when the archive is missing."""
    path = os.path.join(dist, stem + ".zip")
    check(os.path.isfile(path), "%s missing" % path)
    if not os.path.isfile(path):
        return {}
    with zipfile.ZipFile(path) as z:
        check(z.testzip() is None, "%s is corrupt" % what)
        names = sorted(z.namelist())
        wanted = sorted(stem + "/" + m for m in members)
        check(names == wanted, "%s holds %s" % (what, names))
        contents = {m: z.read(stem + "/" + m) for m in members if stem + "/" + m in names}
    line = open(path + ".sha256", encoding="ascii").read()
    digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
    check(line == "%s  %s\n" % (digest, stem + ".zip"), "the .sha256 file of %s does not match: %r" % (what, line))
    print("%s: %d bytes, sha256 %s" % (os.path.basename(path), os.path.getsize(path), digest))
    return contents


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dist", required=True)
    p.add_argument("--version", required=True)
    a = p.parse_args()
    release = os.path.join(a.dist, "win32")
    if not os.path.isdir(release):
        print("skipped: the win32 preset is not built (%s missing)" % release)
        return SKIP

    shipped = sorted(os.listdir(release))
    check(shipped == ["LISEZMOI.txt", "orvane_start.exe"], "dist/win32 holds %s" % shipped)
    exe = os.path.join(release, "orvane_start.exe")
    info = pe.read(exe)
    check(info["machine"] == 0x14C, "orvane_start.exe is not a 32-bit x86 program (machine %#x)" % info["machine"])
    check(info["magic"] == 0x10B, "orvane_start.exe has no PE32 optional header")
    check(info["subsystem"] == 2, "orvane_start.exe is not a GUI program (subsystem %d)" % info["subsystem"])
    check(info["stamp"] == 0, "orvane_start.exe carries a link time stamp (%#x)" % info["stamp"])
    check(info["symbols"] == 0 and info["nsymbols"] == 0, "orvane_start.exe keeps a symbol table")
    debug = [s for s in info["sections"] if s.startswith(".debug") or s.startswith("(long name")]
    check(not debug, "orvane_start.exe keeps debug sections: %s" % debug)
    print("orvane_start.exe: %d bytes, sections %s" % (os.path.getsize(exe), " ".join(info["sections"])))

    notice = open(os.path.join(release, "LISEZMOI.txt"), "rb").read()
    check(notice.startswith(b"\xef\xbb\xbf"), "LISEZMOI.txt has no byte order mark")
    check(b"\n" not in notice.replace(b"\r\n", b""), "LISEZMOI.txt has bare line feeds")
    text = notice.decode("utf-8", "replace")
    for needed in ("Pelcrest.exe", "raccourci", "moteur", "IDAPI32.DLL", a.version):
        check(needed in text, "LISEZMOI.txt does not mention %r" % needed)
    check("@" not in text, "LISEZMOI.txt keeps a placeholder")

    stem = "orvane_start-%s-win32" % a.version
    for name, data in archive(a.dist, stem, ("LISEZMOI.txt", "orvane_start.exe"), "the archive").items():
        check(data == open(os.path.join(release, name), "rb").read(), "%s in the archive differs from dist/win32" % name)

    for needed in ("Dépannage", "idxcheck.exe --repair", "--dry-run"):
        check(needed in text, "LISEZMOI.txt does not mention %r" % needed)

    # The technician's tool: its own archive, the 32-bit console build and its note.
    tool = "idxcheck-%s-win32" % a.version
    contents = archive(a.dist, tool, ("LISEZMOI.txt", "idxcheck.exe"), "the tool's archive")
    if "idxcheck.exe" in contents:
        exe = contents["idxcheck.exe"]
        built = os.path.join(a.dist, "win32-testing", "idxcheck.exe")
        check(not os.path.isfile(built) or exe == open(built, "rb").read(),
              "idxcheck.exe in its archive is not the 32-bit build")
        tmp = os.path.join(a.dist, tool + ".exe.check")
        with open(tmp, "wb") as f:
            f.write(exe)
        info = pe.read(tmp)
        os.remove(tmp)
        check(info["machine"] == 0x14C and info["magic"] == 0x10B, "idxcheck.exe is not a 32-bit x86 program")
        check(info["subsystem"] == 3, "idxcheck.exe is not a console program (subsystem %d)" % info["subsystem"])
        check(info["stamp"] == 0, "idxcheck.exe carries a link time stamp")
        check(info["symbols"] == 0 and info["nsymbols"] == 0, "idxcheck.exe keeps a symbol table")
    if "LISEZMOI.txt" in contents:
        note = contents["LISEZMOI.txt"]
        check(note.startswith(b"\xef\xbb\xbf") and b"\n" not in note.replace(b"\r\n", b""),
              "the tool's LISEZMOI.txt is not UTF-8 with BOM and CR LF")
        words = note.decode("utf-8", "replace")
        for needed in ("--repair", "--dry-run", "idxcheck-sauvegardes", "enregistrement", a.version):
            check(needed in words, "the tool's LISEZMOI.txt does not mention %r" % needed)
        check("@" not in words, "the tool's LISEZMOI.txt keeps a placeholder")

    # Test-only artifacts: never in the release folder, always beside their note.
    for folder in sorted(os.listdir(a.dist)):
        path = os.path.join(a.dist, folder)
        if not os.path.isdir(path) or folder == "win32":
            continue
        check(os.path.isfile(os.path.join(path, NOTE)), "dist/%s has no %s" % (folder, NOTE))
        if os.path.isfile(os.path.join(path, NOTE)):
            note = open(os.path.join(path, NOTE), encoding="utf-8").read()
            check("dist/" + folder in note and "NE JAMAIS COPIER" in note, "dist/%s: the note does not say so" % folder)
    testing = os.path.join(a.dist, "win32-testing")
    if os.path.isdir(testing):
        idxcheck = os.path.join(testing, "idxcheck.exe")
        check(os.path.isfile(idxcheck) and pe.read(idxcheck)["machine"] == 0x14C,
              "dist/win32-testing has no 32-bit idxcheck.exe")
    print("%d problem(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
