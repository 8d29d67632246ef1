#!/usr/bin/env python3
"""The application's error report, through e2e_errorform.exe (the real window
plumbing with handlers that fail on purpose): an error escaping a handler is shown
in a modal box captioned "orvane_start" with the stop icon and OK only, owned by the
active window; the program then waits, and a click on the picture still ends it."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness as wh  # noqa: E402

WM_COMMAND = 0x0111
IDOK = 1


def _start(s, mode):
    folder = s.program_folder("error_" + mode, files=("e2e_errorform.exe",))
    return s.start(os.path.join(folder, "e2e_errorform.exe"), args=[mode])


def _dismiss(s, box):
    s.post(box["hwnd"], WM_COMMAND, IDOK)
    deadline = time.time() + 10
    while time.time() < deadline and s.message_boxes():
        time.sleep(0.3)
    assert not s.message_boxes(), "the box did not go away"


def _picture_point(form):
    left, top = form["rect"][:2]
    return left + 12, top + form["client"][1] // 2


def error_in_activation_is_shown_once(s):
    program = _start(s, "activate")
    box = s.wait_for_message_box(winpid=program.winpid)
    assert box, "no error box"
    form = s.windows(winpid=program.winpid, cls="TFrmindexer")[0]
    assert box["title"] == "orvane_start", box
    # The innermost error's message, with the full stop added.
    assert box["text"] == "Table introuvable : DATA\\CLIENTS.DBF.", box
    assert box["buttons"] == ["OK"], box
    assert box["has_icon"], box
    s.assert_stop_icon(box, "error_box_icon")
    assert box["owner"] == form["hwnd"], (box, form["hwnd"])
    assert form["visible"] and not form["enabled"], form
    print("screenshot: " + s.screenshot("error_box"))
    _dismiss(s, box)
    # The window waits; activation does not run the handler again.
    time.sleep(1.5)
    assert program.running(), "the program ended after the error"
    assert not s.message_boxes(winpid=program.winpid), "the handler ran again"
    form = s.windows(winpid=program.winpid, cls="TFrmindexer")[0]
    assert form["visible"] and form["enabled"], form
    s.click(*_picture_point(form))
    assert program.wait(30) == 0


def error_in_click_handler(s):
    program = _start(s, "click")
    form = s.wait_for_window(winpid=program.winpid, cls="TFrmindexer")
    assert form
    time.sleep(0.5)
    assert not s.message_boxes(winpid=program.winpid)
    s.click(*_picture_point(form))
    box = s.wait_for_message_box(winpid=program.winpid)
    assert box, "no error box after the failing click"
    assert box["text"] == "Erreur (clic)", box  # ends with ")": no full stop
    assert box["title"] == "orvane_start"
    _dismiss(s, box)
    assert program.wait(1.0) is None, "the program ended after the error"
    s.click(*_picture_point(form))
    assert program.wait(30) == 0


def silent_abort_shows_nothing(s):
    program = _start(s, "silent")
    form = s.wait_for_window(winpid=program.winpid, cls="TFrmindexer")
    assert form
    time.sleep(2)
    assert not s.message_boxes(winpid=program.winpid), "a box for a silent abort"
    assert program.running()
    s.post(form["hwnd"], wh.WM_CLOSE)
    assert program.wait(30) == 0


def error_while_the_window_is_created(s):
    # A test build of the launcher whose splash picture is no picture: the window
    # cannot be made. The error is shown in a box of its own and the program ends with 1.
    folder = s.program_folder("error_create", files=("orvane_start_badpicture.exe",))
    program = s.start(os.path.join(folder, "orvane_start_badpicture.exe"))
    box = s.wait_for_message_box(winpid=program.winpid)
    assert box, "no error box"
    assert box["title"] == "Erreur", box
    assert box["text"].startswith("Le programme n'a pas pu d\u00e9marrer : "), box
    assert box["buttons"] == ["OK"], box
    s.assert_stop_icon(box, "error_create_box")
    assert not s.windows(winpid=program.winpid, cls="TFrmindexer", visible_only=True), "a splash window is shown"
    assert program.running(), "the program ended before the box was dismissed"
    _dismiss(s, box)
    assert program.wait(30) == 1


if __name__ == "__main__":
    wh.run_scenarios(wh.Session.from_argv(required=("e2e_errorform.exe", "e2e_probe.exe",
                                                    "orvane_start_badpicture.exe")),
                     [error_in_activation_is_shown_once, error_in_click_handler, silent_abort_shows_nothing,
                      error_while_the_window_is_created])
