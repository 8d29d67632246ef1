#!/usr/bin/env python3
"""Shows the launcher on a demo program folder under Wine (64-bit build).

With a reachable X display (DISPLAY set) the launcher runs there and the command
waits until you close it (click the picture). Without one, it runs on a private
Xvfb display, saves a screenshot of the splash window, prints its path, closes
the window and stops Xvfb and Wine.

The demo folder is demo/ at the top of the repository (ignored by git): the
program folder demo/program and a Wine prefix demo/wineprefix kept between runs.
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import winharness as wh  # noqa: E402

DIST = os.path.join(ROOT, "dist", "win64")
DEMO = os.path.join(ROOT, "demo")


def lay_out_program_folder():
    folder = os.path.join(DEMO, "program")
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(os.path.join(DIST, "orvane_start.exe"), folder)
    return folder


def display_reachable():
    display = os.environ.get("DISPLAY")
    if not display:
        return False
    return subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def on_real_display(folder):
    prefix = os.path.join(DEMO, "wineprefix")
    env = wh.wine_env(prefix, os.environ["DISPLAY"])
    if not os.path.isdir(os.path.join(prefix, "drive_c")):
        print("Making the Wine prefix %s (once)..." % prefix)
        subprocess.run([wh.WINE64, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print("Showing the splash window on %s; click the picture to end it." % os.environ["DISPLAY"])
    code = subprocess.run([wh.WINE64, os.path.join(folder, "orvane_start.exe")], env=env, cwd=folder,
                          stderr=subprocess.DEVNULL).returncode
    print("orvane_start.exe ended with exit code %d" % code)
    return 0


def on_xvfb(folder):
    state_dir = os.path.join(DEMO, "session")
    print("No display: running under Xvfb...")
    wh.start_session(state_dir, DIST)
    try:
        session = wh.Session(state_dir)
        program = session.start(os.path.join(folder, "orvane_start.exe"), cwd=folder)
        window = session.wait_for_window(winpid=program.winpid, cls="TFrmindexer")
        if window is None:
            print("The splash window did not appear.")
            return 1
        time.sleep(1)
        shot = os.path.join(DEMO, "splash.png")
        shutil.copy2(session.screenshot("demo_splash"), shot)
        print("Screenshot of the splash window: %s" % shot)
        session.post(window["hwnd"], wh.WM_CLOSE)
        print("orvane_start.exe ended with exit code %r" % program.wait(30))
        session.stop_all()
        return 0
    finally:
        wh.stop_session(state_dir)


def main():
    for name in ("orvane_start.exe", "e2e_probe.exe"):
        if not os.path.exists(os.path.join(DIST, name)):
            print("dist/win64/%s is missing: build first (./dev.sh build)" % name)
            return 1
    folder = lay_out_program_folder()
    print("Demo program folder: %s" % folder)
    if display_reachable():
        return on_real_display(folder)
    return on_xvfb(folder)


if __name__ == "__main__":
    sys.exit(main())
