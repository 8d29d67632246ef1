#!/usr/bin/env python3
"""The instance name: a launcher ends at once, silently and with exit code 0 while
another process holds "Pelcrest.exe"."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness as wh  # noqa: E402


@wh.both_builds
def held_name_ends_silently(s):
    holder, info = s.start_probe("hold-mutex", "Pelcrest.exe")
    assert info == {"created": True, "already": False}, info
    folder = s.program_folder("guard_held")
    started = time.time()
    program = s.start(os.path.join(folder, "orvane_start.exe"))
    seen = []
    code = None
    while time.time() - started < 30:
        seen += s.windows(winpid=program.winpid)
        code = program.wait(0.2)
        if code is not None:
            break
    assert code == 0, "exit code %r" % code
    assert time.time() - started < 15, "took %.1f s" % (time.time() - started)
    assert not seen, "windows appeared: %r" % seen
    assert not s.windows(cls="TFrmindexer"), "a splash window is on screen"


def name_the_launcher_cannot_have_runs_without_the_guard(s):
    # Another program holds the name in a way that keeps the launcher out (on Windows a
    # mutex whose rights exclude it; Wine applies no rights to names, so here an object
    # of another kind): the launcher's request fails with an error other than "already
    # exists", and it runs without the guard.
    holder, info = s.start_probe("hold-other", "Pelcrest.exe")
    assert info and info["created"] and not info["already"], info
    assert info["open_error"] != 0, "the name can be had as a mutex: %r" % info
    folder = s.program_folder("guard_other")
    program, window = s.start_waiting_launcher(folder)
    assert program.running()
    s.post(window["hwnd"], wh.WM_CLOSE)
    assert program.wait(30) == 0


@wh.both_builds
def second_copy_ends_silently(s):
    folder = s.program_folder("guard_second")
    first, window = s.start_waiting_launcher(folder)
    second = s.start(os.path.join(folder, "orvane_start.exe"))
    assert second.wait(30) == 0, "the second copy did not end with 0"
    assert not s.windows(winpid=second.winpid), "the second copy made windows"
    assert first.running(), "the first copy ended"
    assert len(s.windows(cls="TFrmindexer", visible_only=True)) == 1
    s.post(window["hwnd"], wh.WM_CLOSE)
    assert first.wait(30) == 0
    # The name goes with the process: a new copy runs again.
    third, _ = s.start_waiting_launcher(folder)


@wh.both_builds
def started_together_exactly_one_runs(s):
    folder = s.program_folder("guard_together")
    exe = os.path.join(folder, "orvane_start.exe")
    programs = [s.start(exe), s.start(exe)]
    time.sleep(3)
    windows = s.windows(cls="TFrmindexer", visible_only=True)
    assert len(windows) == 1, "%d splash windows" % len(windows)
    running = [p for p in programs if p.running()]
    assert len(running) == 1, "%d copies still run" % len(running)
    ended = [p for p in programs if not p.running()][0]
    assert ended.wait(1) == 0
    assert windows[0]["pid"] == running[0].winpid
    box = s.wait_for_message_box(winpid=running[0].winpid)
    assert box, "the copy that runs shows no error box"
    s.dismiss(box)
    s.post(windows[0]["hwnd"], wh.WM_CLOSE)
    assert running[0].wait(30) == 0


if __name__ == "__main__":
    wh.run_scenarios(wh.Session.from_argv(), [held_name_ends_silently, name_the_launcher_cannot_have_runs_without_the_guard,
                                              second_copy_ends_silently,
                                              started_together_exactly_one_runs])
