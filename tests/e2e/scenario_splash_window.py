#!/usr/bin/env python3
"""The splash window as it appears: size from the scaling rule, centred in the work
area, borderless, owned by the application's taskbar window, picture stretched
without smoothing, texts drawn; and the program's resources."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winharness as wh  # noqa: E402
from splash_expect import Expected  # noqa: E402


def _is_grey(p):
    return p[0] == p[1] == p[2]


@wh.both_builds
def window_size_place_and_look(s):
    expected = Expected(s)
    folder = s.program_folder("window")
    program, form = s.start_waiting_launcher(folder)
    width, height = expected.client
    print("text height %d at %d ppi: client %dx%d" % (expected.text_height, expected.ppi, width, height))
    assert form["title"] == "Reindexation", form["title"]
    assert form["client"] == [width, height], (form["client"], (width, height))
    left, top = expected.centred_origin()
    assert form["rect"] == [left, top, left + width, top + height], (form["rect"], left, top)
    assert form["style"] & wh.WS_CAPTION == 0 and form["style"] & wh.WS_THICKFRAME == 0, hex(form["style"])
    assert form["style"] & wh.WS_SYSMENU == 0, hex(form["style"])
    assert form["style"] & (wh.WS_HSCROLL | wh.WS_VSCROLL) == 0, hex(form["style"])
    assert form["exstyle"] & wh.WS_EX_TOPMOST == 0, hex(form["exstyle"])
    assert not form["iconic"] and not form["zoomed"]

    apps = [w for w in s.windows(winpid=program.winpid) if w["hwnd"] == form["owner"]]
    assert apps, "the splash window has no owner"
    app = apps[0]
    assert app["title"] == "orvane_start", app["title"]
    assert app["owner"] == 0 and app["visible"], app

    shot = s.screenshot("splash")
    print("screenshot: " + shot)
    _, _, px = s.pixels(shot)
    right, bottom = left + width - 1, top + height - 1
    for x, y in ((left, top), (right, top), (left, bottom), (right, bottom)):
        assert px[y][x] == (32, 32, 32), "frame at %d,%d is %r" % (x, y, px[y][x])
    # Rows and columns are dropped, not blended: the frame's edge stays sharp.
    mid = top + height // 2
    edge = [px[mid][x] for x in range(left, left + 5)]
    assert all(_is_grey(p) and (p[0] == 32 or p[0] >= 140) for p in edge), edge
    assert edge[0][0] == 32 and edge[-1][0] >= 140, edge
    # Between the title and the status line only the grey picture shows.
    c_bottom = expected.label_rect("C")[3]
    status_top = expected.label_rect("Labelinfos")[1]
    for y in range(top + c_bottom, top + status_top):
        for x in range(left, right + 1):
            assert _is_grey(px[y][x]), "colour %r at %d,%d" % (px[y][x], x, y)
    # Title in black, status in dark red.
    cl, ct, cr, cb = expected.label_rect("C")
    dark = sum(1 for y in range(top + ct, top + cb) for x in range(left + cl, left + cr) if max(px[y][x]) < 40)
    assert dark > 100, "title text not found (%d dark pixels)" % dark
    il, it, ir, ib = expected.label_rect("Labelinfos")
    red = sum(1 for y in range(top + it, top + ib) for x in range(left + il, left + ir)
              if px[y][x][0] > px[y][x][1] + 30)
    assert red > 30, "status text not found (%d red pixels)" % red
    s.post(form["hwnd"], wh.WM_CLOSE)
    assert program.wait(30) == 0


def other_show_commands_show_normally(s):
    folder = s.program_folder("show_commands")
    expected = Expected(s)
    left, top = expected.centred_origin()
    for show in (wh.SW_SHOWMINIMIZED, wh.SW_SHOWDEFAULT):
        program, form = s.start_waiting_launcher(folder, show=show)
        assert not form["iconic"] and not form["zoomed"], form
        assert form["rect"][:2] == [left, top], form["rect"]
        s.post(form["hwnd"], wh.WM_CLOSE)
        assert program.wait(30) == 0


def minimised_start_waits_on_the_taskbar(s):
    folder = s.program_folder("minimised")
    program = s.start(os.path.join(folder, "orvane_start.exe"), show=wh.SW_SHOWMINNOACTIVE)
    app = s.wait_for_window(winpid=program.winpid, cls="OrvaneApplication")
    assert app and app["iconic"], app
    forms = s.windows(winpid=program.winpid, cls="TFrmindexer")
    assert forms and not forms[0]["visible"], forms
    # Nothing has run yet: no error box although this folder has no engine.
    assert not s.message_boxes(winpid=program.winpid)
    # Restoring the taskbar entry brings the splash window up, and its activation
    # starts the run, which fails here.
    s.post(app["hwnd"], wh.WM_SYSCOMMAND, 0xF120)  # SC_RESTORE
    form = s.wait_for_window(winpid=program.winpid, cls="TFrmindexer")
    assert form, "the window did not appear when restored"
    box = s.wait_for_message_box(winpid=program.winpid)
    assert box and "(erreur $2108)" in box["text"], box
    s.dismiss(box)
    s.post(app["hwnd"], wh.WM_CLOSE)
    assert program.wait(30) == 0


THEME_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\ThemeManager"


def _secondary_line_share(s, name):
    """Maximised (the secondary line is then wholly visible): the share of its
    rectangle painted in the button-face colour."""
    expected = Expected(s)
    face = tuple(expected.metrics["btnface"])
    folder = s.program_folder(name)
    program, form = s.start_waiting_launcher(folder, show=wh.SW_SHOWMAXIMIZED)
    _, _, px = s.pixels(s.screenshot(name))
    l, t, r, b = expected.label_rect("Labelinfos2")
    cells = [px[y][x] for y in range(t, b) for x in range(l, r)]
    s.post(form["hwnd"], wh.WM_CLOSE)
    assert program.wait(30) == 0
    return sum(1 for p in cells if p == face) / len(cells), expected.metrics["themed"]


def secondary_line_background_follows_visual_styles(s):
    try:
        s.wine(["reg", "add", THEME_KEY, "/v", "ThemeActive", "/d", "0", "/f"])
        share, themed = _secondary_line_share(s, "styles_off")
        assert not themed
        assert share > 0.6, "styles off: only %.0f%% button face" % (share * 100)
    finally:
        s.wine(["reg", "add", THEME_KEY, "/v", "ThemeActive", "/d", "1", "/f"])
    share, themed = _secondary_line_share(s, "styles_on")
    if themed:
        assert share < 0.3, "styles on: %.0f%% button face, the label is not transparent" % (share * 100)


@wh.both_builds
def version_manifest_and_icon(s):
    # In the 32-bit session this reads dist/win32/orvane_start.exe, the release itself.
    assert s.bits == 64 or s.dist_file("orvane_start.exe").endswith(os.path.join("dist", "win32", "orvane_start.exe"))
    res = s.probe("resources", s.winpath(s.dist_file("orvane_start.exe")))
    assert res["fixedFileVersion"] == "1.0.0.0" and res["fixedProductVersion"] == "1.0.0.0", res
    assert res["FileVersion"] == "1.0.0.0" and res["ProductVersion"] == "1.0.0.0", res
    assert res["ProductName"] == "Orvane", res
    assert res["translation"] == [0x0409, 1252], res["translation"]
    manifest = res["manifest"]
    assert 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' in manifest.replace("\n", " ").replace(
        "  ", " ") or ("Microsoft.Windows.Common-Controls" in manifest and 'version="6.0.0.0"' in manifest)
    assert 'level="asInvoker"' in manifest
    assert "dpiAware" not in manifest and "dpiAwareness" not in manifest
    assert {"width": 64, "height": 64, "bits": 8} in res["icons"], res["icons"]


if __name__ == "__main__":
    wh.run_scenarios(wh.Session.from_argv(), [window_size_place_and_look, other_show_commands_show_normally,
                                              minimised_start_waits_on_the_taskbar,
                                              secondary_line_background_follows_visual_styles,
                                              version_manifest_and_icon])
