#!/usr/bin/env python3
"""Mouse and close requests: a click on the picture ends the program with 0, a click
on a label or a press released outside the window does nothing, close requests to
the window or to the taskbar entry end it with 0."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness as wh  # noqa: E402
from splash_expect import Expected, point_in_label  # noqa: E402


def _start(s, name):
    folder = s.program_folder(name)
    program, form = s.start_waiting_launcher(folder)
    time.sleep(0.5)
    return program, form


def _still_running(program, seconds=2.0):
    return program.wait(seconds) is None


@wh.both_builds
def label_clicks_do_nothing_picture_click_ends(s):
    expected = Expected(s)
    program, form = _start(s, "clicks")
    left, top = form["rect"][:2]
    for name in ("C", "Labelinfos", "Labelsignature"):
        l, t, r, b = expected.label_rect(name)
        # Middle of the label, and a corner where a transparent label shows no text.
        for x, y in (((l + r) // 2, (t + b) // 2), (l + 1, b - 1)):
            s.click(left + x, top + y)
            assert _still_running(program, 1.0), "a click on %s at %d,%d ended the program" % (name, x, y)
    # A press on the picture released outside the window does nothing.
    px, py = 12, (expected.label_rect("C")[3] + expected.label_rect("Labelinfos")[1]) // 2
    assert point_in_label(expected, px, py) is None
    s.drag(left + px, top + py, left + form["client"][0] + 40, top + py)
    assert _still_running(program), "a release outside the window ended the program"
    # A press on a label released over the picture does nothing either.
    l, t, r, b = expected.label_rect("C")
    s.drag(left + (l + r) // 2, top + (t + b) // 2, left + px, top + py)
    assert _still_running(program), "a press on the title ended the program"
    # A click on the picture ends it.
    s.click(left + px, top + py)
    code = program.wait(30)
    assert code == 0, "exit code %r after a click on the picture" % code


def press_on_picture_released_over_a_label_ends(s):
    expected = Expected(s)
    program, form = _start(s, "press_release")
    left, top = form["rect"][:2]
    px, py = 12, (expected.label_rect("C")[3] + expected.label_rect("Labelinfos")[1]) // 2
    l, t, r, b = expected.label_rect("Labelinfos")
    s.drag(left + px, top + py, left + (l + r) // 2, top + (t + b) // 2)
    code = program.wait(30)
    assert code == 0, "exit code %r after a press on the picture released over a label" % code


def end_of_session_ends_at_once(s):
    # The logon session ends while the window waits after the error box: asked whether
    # it may end, the program agrees; told that it ends, it ends with 0 at once.
    for target in ("form", "taskbar"):
        program, form = _start(s, "end_session_" + target)
        hwnd = form["hwnd"] if target == "form" else form["owner"]
        answer = s.send(hwnd, wh.WM_QUERYENDSESSION, 0, 0)
        assert answer["answered"] and answer["result"] == 1, answer
        assert _still_running(program, 1.0), "the program ended when only asked"
        s.send(hwnd, wh.WM_ENDSESSION, 1, 0)
        code = program.wait(5)
        assert code == 0, "exit code %r after the end of the session (%s)" % (code, target)


def close_requests_end_with_zero(s):
    for target, message, wparam in (("form", wh.WM_CLOSE, 0), ("form", wh.WM_SYSCOMMAND, wh.SC_CLOSE),
                                    ("taskbar", wh.WM_CLOSE, 0), ("taskbar", wh.WM_SYSCOMMAND, wh.SC_CLOSE)):
        program, form = _start(s, "close")
        hwnd = form["hwnd"] if target == "form" else form["owner"]
        s.post(hwnd, message, wparam)
        code = program.wait(30)
        assert code == 0, "exit code %r after %s %#x to the %s" % (code, message, wparam, target)


def alt_f4_ends_with_zero(s):
    program, form = _start(s, "alt_f4")
    # Focus comes with a click on a label (which does nothing by itself).
    s.click(form["rect"][0] + 40, form["rect"][1] + 20)
    assert _still_running(program, 1.0)
    s.key("alt+F4")
    code = program.wait(30)
    assert code == 0, "exit code %r after Alt+F4" % code


@wh.both_builds
def maximised_fills_the_screen(s):
    expected = Expected(s)
    folder = s.program_folder("maximised")
    program, form = s.start_waiting_launcher(folder, show=wh.SW_SHOWMAXIMIZED)
    time.sleep(0.5)
    form = s.windows(winpid=program.winpid, cls="TFrmindexer")[0]
    sw, sh = expected.metrics["screen"]
    assert form["zoomed"], form
    assert form["rect"] == [0, 0, sw, sh], form["rect"]
    shot = s.screenshot("splash_maximised")
    print("screenshot: " + shot)
    _, _, px = s.pixels(shot)
    # The picture's frame now runs along the screen's edges.
    for x, y in ((0, 0), (sw - 1, 0), (0, sh - 1), (sw - 1, sh - 1), (sw // 2, 0), (0, sh // 2)):
        assert px[y][x] == (32, 32, 32), "frame at %d,%d is %r" % (x, y, px[y][x])
    # The labels keep their place: the title stays in its small rectangle at the top left.
    l, t, r, b = expected.label_rect("C")
    dark = sum(1 for y in range(t, b) for x in range(l, r) if max(px[y][x]) < 40)
    assert dark > 100, "title not at its place (%d dark pixels)" % dark
    # Only a click on the picture ends it, wherever the picture now is.
    s.click(sw - 50, sh - 50)
    assert program.wait(30) == 0


if __name__ == "__main__":
    wh.run_scenarios(wh.Session.from_argv(), [label_clicks_do_nothing_picture_click_ends,
                                              press_on_picture_released_over_a_label_ends,
                                              end_of_session_ends_at_once, close_requests_end_with_zero, alt_f4_ends_with_zero,
                                              maximised_fills_the_screen])
