#!/usr/bin/env python3
"""Lays out the release folder and its archive from the built launcher (or the
technician's tool, which ships in an archive of its own and no release folder).

  make_release.py --exe orvane_start.exe --notice res/LISEZMOI.txt --version 1.0.0.0
                  --release-dir dist/win32 --archive-dir dist [--source-dir .]
  make_release.py --exe idxcheck.exe --notice res/LISEZMOI-idxcheck.txt --version 1.0.0.0
                  --archive-dir dist

The release folder is made afresh each time, so that it never holds anything but
what ships: orvane_start.exe and LISEZMOI.txt (UTF-8 with a byte order mark and
CR LF line ends, so that every Notepad shows it right). The archive
orvane_start-VERSION-win32.zip holds the same two files in a folder of that name;
its entries carry the time of the source's last commit (or SOURCE_DATE_EPOCH), fixed
attributes and no owner, so that one commit always gives the same archive.
orvane_start-VERSION-win32.zip.sha256 beside it is in the format of sha256sum. The
archive of another program is named after it (idxcheck-VERSION-win32.zip) and holds
that program and its LISEZMOI.txt the same way.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import time
import zipfile



def source_time(source_dir):
    if os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"], capture_output=True, text=True,
                             timeout=30, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.SubprocessError, ValueError):
        return 1767225600  # 2026-01-01 00:00:00 UTC


def notice_bytes(template, version):
    with open(template, encoding="utf-8") as f:
        text = f.read().replace("@VERSION@", version)
    lines = text.replace("\r\n", "\n").split("\n")
    return b"\xef\xbb\xbf" + "\r\n".join(lines).encode("utf-8")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--exe", required=True)
    p.add_argument("--notice", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--release-dir")
    p.add_argument("--archive-dir", required=True)
    p.add_argument("--source-dir", default=".")
    a = p.parse_args()

    program = os.path.basename(a.exe)
    shipped = (program, "LISEZMOI.txt")
    contents = {program: open(a.exe, "rb").read(), "LISEZMOI.txt": notice_bytes(a.notice, a.version)}

    if a.release_dir:
        shutil.rmtree(a.release_dir, ignore_errors=True)
        os.makedirs(a.release_dir)
        for name in shipped:
            with open(os.path.join(a.release_dir, name), "wb") as out:
                out.write(contents[name])

    stem = "%s-%s-win32" % (os.path.splitext(program)[0], a.version)
    archive = os.path.join(a.archive_dir, stem + ".zip")
    stamp = time.gmtime(max(source_time(a.source_dir), 315532800))[:6]  # zip dates start in 1980
    os.makedirs(a.archive_dir, exist_ok=True)
    partial = archive + ".part"
    with zipfile.ZipFile(partial, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for name in shipped:
            info = zipfile.ZipInfo(stem + "/" + name, date_time=stamp)
            info.create_system = 0  # plain attributes, no owner
            info.external_attr = 0x20  # archive bit
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, contents[name], compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
    os.replace(partial, archive)
    digest = hashlib.sha256(open(archive, "rb").read()).hexdigest()
    with open(archive + ".sha256", "w", encoding="ascii", newline="\n") as out:
        out.write("%s  %s\n" % (digest, os.path.basename(archive)))
    print("release: %s (%d bytes), sha256 %s" % (archive, os.path.getsize(archive), digest))


if __name__ == "__main__":
    main()
