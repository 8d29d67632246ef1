"""Reusable end-to-end harness: Windows programs under Wine on a private Xvfb
display, driven through the e2e_probe.exe helper and xdotool.

A session (made once per test run by fixture.py) is a state folder holding
state.json with the display, the throw-away WINEPREFIX, the Xvfb process id and the
bitness of the build under test. A 64-bit session runs everything with Wine's
64-bit loader; a 32-bit one runs the 32-bit launcher, engine and main application
through tools/wine32, which also starts the (64-bit) probe, so that every program
of the session sees the same runtime. Scenario scripts open it with
Session.from_argv() and use the methods below. Standard library only.
"""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

WINE64 = "/usr/lib/wine/wine64"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE32 = os.path.join(ROOT, "tools", "wine32")
SKIP = 77  # CTest SKIP_RETURN_CODE of the scenarios


def artifact_folders(bits):
    """Where the Windows programs of the win32 or win64 build are looked for, in
    order: for the 32-bit build the release folder (what ships), then the build's
    test-only folder (our engine, the demo main application, idxcheck, the 64-bit
    build's helpers), then the helpers left in the build tree."""
    build = "win%d" % bits
    release = [os.path.join(ROOT, "dist", "win32")] if bits == 32 else []
    return release + [os.path.join(ROOT, "dist", build + "-testing"),
                      os.path.join(ROOT, "build", build, "tests", "e2e", "helpers")]


def find_artifact(name, bits):
    """A Windows program or library of the win32 or win64 build. The probe, a tool of
    the harness and not of the build under test, is always the 64-bit one."""
    folders = artifact_folders(64 if name == "e2e_probe.exe" else bits)
    for folder in folders:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            return path
    return os.path.join(folders[0], name)


def host_tool(name):
    """A host tool of the release preset (mkfixtures, idxcheck)."""
    return os.path.join(ROOT, "dist", "host", name)


def loader(bits):
    """The command that runs a Windows program of the given bitness."""
    return [WINE32] if bits == 32 else [WINE64]


def runtime_problem(bits):
    """None when programs of this bitness can run here, else the reason why not."""
    if bits != 32:
        return None if os.path.exists(WINE64) else "wine64 is not installed"
    result = subprocess.run([WINE32, "--check"], stdin=subprocess.DEVNULL, capture_output=True, timeout=1800,
                            check=False)
    if result.returncode == 0:
        return None
    lines = [l for l in result.stderr.decode("utf-8", "replace").splitlines() if l.strip()]
    return lines[-1].replace("wine32: ", "") if lines else "tools/wine32 --check failed"


def route32():
    """The route by which tools/wine32 runs 32-bit programs here (e.g. native/system,
    emulated/private), or none."""
    result = subprocess.run([WINE32, "--route"], stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                            check=False)
    return result.stdout.decode("utf-8", "replace").strip() or "none"


def both_builds(scenario):
    """Marks a scenario that also runs against the 32-bit build."""
    scenario.both_builds = True
    return scenario

# Window messages and show commands used by scenarios.
WM_CLOSE = 0x0010
WM_QUERYENDSESSION = 0x0011
WM_ENDSESSION = 0x0016
WM_COMMAND = 0x0111
IDOK = 1
WM_SYSCOMMAND = 0x0112
SC_CLOSE = 0xF060
SW_SHOWNORMAL = 1
SW_SHOWMINIMIZED = 2
SW_SHOWMAXIMIZED = 3
SW_SHOWMINNOACTIVE = 7
SW_SHOWDEFAULT = 10
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_THICKFRAME = 0x00040000
WS_POPUP = 0x80000000
WS_HSCROLL = 0x00100000
WS_VSCROLL = 0x00200000
WS_EX_TOPMOST = 0x00000008


def wineserver_binary():
    for path in ("/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"):
        if os.path.exists(path):
            return path
    return shutil.which("wineserver") or "wineserver"


def wine_env(prefix, display):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEARCH": "win64",
        "DISPLAY": display,
    })
    return env


# ---------------------------------------------------------------- session set-up

def start_session(state_dir, bits=64, screen="1024x768x24"):
    """Starts Xvfb on a free display, makes a fresh WINEPREFIX and writes state.json.
    Where programs of this bitness cannot run, state.json says why and nothing is
    started."""
    state_dir = os.path.abspath(state_dir)
    if os.path.exists(os.path.join(state_dir, "state.json")):
        stop_session(state_dir)
    os.makedirs(state_dir, exist_ok=True)
    prefix = os.path.join(state_dir, "prefix")
    shutil.rmtree(prefix, ignore_errors=True)
    artifacts = os.path.join(os.path.dirname(state_dir), "artifacts" if bits == 64 else "artifacts-win%d" % bits)
    problem = runtime_problem(bits)
    if problem:
        state = {"bits": bits, "unavailable": problem, "artifacts": artifacts}
        with open(os.path.join(state_dir, "state.json"), "w") as f:
            json.dump(state, f, indent=1)
        return state
    log = open(os.path.join(state_dir, "session.log"), "ab")

    # Xvfb picks a free display itself and writes its number to the pipe.
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", screen, "-nolisten", "tcp"],
                            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                            start_new_session=True)
    os.close(write_fd)
    number = b""
    deadline = time.time() + 30
    while time.time() < deadline and not number.endswith(b"\n"):
        ready, _, _ = select.select([read_fd], [], [], 1)
        if ready:
            chunk = os.read(read_fd, 64)
            if not chunk:
                break
            number += chunk
    os.close(read_fd)
    if not number.strip():
        xvfb.kill()
        raise RuntimeError("Xvfb did not start")
    display = ":" + number.decode().strip()
    state = {"display": display, "xvfb_pid": xvfb.pid, "prefix": prefix, "bits": bits, "artifacts": artifacts}
    if bits == 32:
        state["route"] = route32()
    with open(os.path.join(state_dir, "state.json"), "w") as f:
        json.dump(state, f, indent=1)

    env = wine_env(prefix, display)
    run = loader(bits)
    # The 32-bit runtime must make the prefix itself: one made by wine64 alone has no
    # 32-bit system folder.
    if bits == 32:
        subprocess.run(run + ["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                       timeout=600, check=False)
    # A persistent server for the whole run, so later programs start quickly.
    subprocess.run([wineserver_binary(), "-p"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                   check=False)
    if bits != 32:
        subprocess.run(run + ["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                       timeout=600, check=False)
    if not os.path.isdir(os.path.join(prefix, "drive_c", "windows")):
        raise RuntimeError("wineboot did not create the prefix")
    # Xvfb runs no window manager: Wine must place and size every window itself, or
    # a maximised window would wait forever for a manager to resize it.
    subprocess.run(run + ["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                   env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=120, check=True)
    return state


def stop_session(state_dir):
    path = os.path.join(os.path.abspath(state_dir), "state.json")
    if not os.path.exists(path):
        return
    with open(path) as f:
        state = json.load(f)
    if "unavailable" in state:
        os.remove(path)
        return
    env = wine_env(state["prefix"], state["display"])
    subprocess.run([wineserver_binary(), "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=False)
    pid = state.get("xvfb_pid")
    if pid:
        try:
            os.kill(pid, signal.SIGTERM)
            for _ in range(50):
                os.kill(pid, 0)
                time.sleep(0.1)
            os.kill(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
    shutil.rmtree(state["prefix"], ignore_errors=True)
    os.remove(path)


# ---------------------------------------------------------------- programs

class Program:
    """A Windows program started through `e2e_probe run`, which reports the
    program's Windows process id and exits with the program's exit code."""

    def __init__(self, session, popen, name):
        self.session = session
        self.popen = popen
        self.name = name
        self.winpid = None
        line = self._read_line(60)
        try:
            info = json.loads(line)
        except ValueError:
            info = {}
        if "pid" not in info:
            self.kill()
            raise RuntimeError("could not start %s: %r" % (name, line))
        self.winpid = info["pid"]

    def _read_line(self, timeout):
        data = b""
        fd = self.popen.stdout.fileno()
        deadline = time.time() + timeout
        while not data.endswith(b"\n") and time.time() < deadline:
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                chunk = os.read(fd, 1)
                if not chunk:
                    break
                data += chunk
        return data.decode("utf-8", "replace").strip()

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout):
        """The exit code, or None when the program still runs after `timeout` seconds."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.winpid is not None and self.running():
            self.session.wine(["taskkill", "/f", "/pid", str(self.winpid)], timeout=30)
        if self.running():
            self.popen.kill()
            self.popen.wait(timeout=10)


class TableHolder:
    """Another process holding a table open with no sharing, for a `with` block:
    `engine_probe.exe hold TABLE` (the probe must be in `folder`). `release()` lets go
    and requires a clean release; a holder still running at the end is killed."""

    def __init__(self, session, folder, table):
        self.popen = subprocess.Popen(session.loader + [os.path.join(folder, "engine_probe.exe"), "hold", table],
                                      env=session.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)

    def __enter__(self):
        try:
            assert json.loads(self.popen.stdout.readline()) == {"held": True}
        except BaseException:
            self.__exit__()
            raise
        return self

    def running(self):
        return self.popen.poll() is None

    def release(self):
        self.popen.stdin.close()
        assert json.loads(self.popen.stdout.readline()) == {"released": True}
        assert self.popen.wait(timeout=60) == 0

    def __exit__(self, *_):
        if self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait(timeout=10)
        return False


class Session:
    def __init__(self, state_dir):
        with open(os.path.join(state_dir, "state.json")) as f:
            self.state = json.load(f)
        self.bits = self.state.get("bits", 64)
        self.artifacts = self.state["artifacts"]
        self.unavailable = self.state.get("unavailable")
        if self.unavailable:
            return
        self.display = self.state["display"]
        os.makedirs(self.artifacts, exist_ok=True)
        self.env = wine_env(self.state["prefix"], self.display)
        self.loader = loader(self.bits)
        self.programs = []

    @classmethod
    def shared(cls, state_dir):
        """The session of this test run made by the CTest fixture (one prefix, one
        server and one display for every test of its bitness), or the reason why
        there is none: (session, None) or (None, reason)."""
        if not os.path.exists(os.path.join(state_dir, "state.json")):
            return None, "no session in %s (the CTest fixture of label win32 makes it)" % state_dir
        session = cls(state_dir)
        if session.unavailable:
            return None, session.unavailable
        return session, None

    @classmethod
    def from_argv(cls, required=("orvane_start.exe", "e2e_probe.exe")):
        """Opens the session named by --state; exits with SKIP when the session's
        runtime is missing or the Windows artifacts it needs are not built."""
        args = sys.argv[1:]
        state_dir = args[args.index("--state") + 1]
        session = cls(state_dir)
        if session.unavailable:
            print("skipped: no %d-bit Wine runtime: %s" % (session.bits, session.unavailable))
            sys.exit(SKIP)
        missing = [name for name in required if not os.path.exists(session.dist_file(name))]
        if missing:
            print("skipped: not built (%d-bit): %s" % (session.bits, ", ".join(missing)))
            sys.exit(SKIP)
        return session

    # -- paths
    @staticmethod
    def winpath(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def dist_file(self, name):
        """A Windows program or library of the build under test (see find_artifact)."""
        return find_artifact(name, self.bits)

    def program_folder(self, name, files=("orvane_start.exe",), extra=None):
        """A fresh folder under the artifacts holding copies of dist files, plus
        `extra` {relative path: bytes}. Returns its path."""
        folder = os.path.join(self.artifacts, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for f in files:
            shutil.copy2(self.dist_file(f), os.path.join(folder, f))
        for rel, data in (extra or {}).items():
            target = os.path.join(folder, rel)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(data)
        return folder

    # -- running things
    def wine(self, args, timeout=60, cwd=None):
        return subprocess.run(self.loader + list(args), env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout, check=False)

    # Probe commands that only look: one that ended without a word may be asked again.
    READ_ONLY_PROBES = ("windows", "children", "metrics", "text-height", "resources")

    def probe(self, *args, timeout=60):
        # On a loaded machine a probe that only looks has been seen to end with no output
        # at all (nothing on standard error either); it is asked up to three times.
        tries = 3 if args and args[0] in self.READ_ONLY_PROBES else 1
        for attempt in range(tries):
            result = self.wine([self.dist_file("e2e_probe.exe")] + [str(a) for a in args], timeout=timeout)
            out = result.stdout.decode("utf-8", "replace").strip()
            if out or attempt == tries - 1:
                break
            time.sleep(0.5)
        try:
            return json.loads(out)
        except ValueError:
            raise RuntimeError("e2e_probe %s: exit status %s, %r %r" % (args, result.returncode, out,
                                                                        result.stderr[-500:]))

    def start(self, exe, args=(), show=SW_SHOWNORMAL, cwd=None):
        """Starts a Windows program (a Unix path) with a start-up show command."""
        cmd = self.loader + [self.dist_file("e2e_probe.exe"), "run", str(show), self.winpath(exe)] + list(args)
        popen = subprocess.Popen(cmd, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
        program = Program(self, popen, os.path.basename(exe))
        self.programs.append(program)
        return program

    def start_probe(self, *args):
        """A long-running e2e_probe command (e.g. hold-mutex); returns (Popen, first JSON line)."""
        popen = subprocess.Popen(self.loader + [self.dist_file("e2e_probe.exe")] + [str(a) for a in args], env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        holder = Program.__new__(Program)
        holder.session, holder.popen, holder.name, holder.winpid = self, popen, "e2e_probe", None
        line = holder._read_line(30)
        self.programs.append(holder)
        return holder, json.loads(line) if line else None

    def stop_all(self):
        for program in self.programs:
            program.kill()
        self.programs = []

    # -- windows
    def windows(self, winpid=None, cls=None, visible_only=False):
        found = self.probe("windows")
        return [w for w in found
                if (winpid is None or w["pid"] == winpid) and (cls is None or w["class"] == cls)
                and (not visible_only or w["visible"])]

    def wait_for_window(self, timeout=60, **filters):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.windows(visible_only=True, **filters)
            if found:
                return found[0]
            time.sleep(0.3)
        return None

    def message_boxes(self, winpid=None):
        """Visible message boxes (dialog class #32770) with their caption, text,
        owner and buttons. The text is the static control with id 0xFFFF."""
        boxes = []
        for w in self.windows(winpid=winpid, cls="#32770", visible_only=True):
            children = self.probe("children", w["hwnd"])
            texts = [c["text"] for c in children if c["class"].lower() == "static" and c["id"] == 0xFFFF]
            buttons = [c["text"] for c in children if c["class"].lower() == "button"]
            icons = [c for c in children if c["class"].lower() == "static" and c["id"] in (0x14, 0x440)]
            boxes.append({"hwnd": w["hwnd"], "title": w["title"], "owner": w["owner"],
                          "text": texts[0] if texts else None, "buttons": buttons, "has_icon": bool(icons),
                          "icon_rect": icons[0].get("rect") if icons else None})
        return boxes

    def box_icon_colours(self, box, name):
        """Counts of strongly red, yellow and blue pixels of a message box's icon, read
        from a screenshot (artifacts/NAME.png): the stop icon is red, the warning icon
        yellow, the question and information icons blue."""
        assert box["icon_rect"], "the box has no icon: %r" % box
        shot = self.screenshot(name)
        _, _, px = self.pixels(shot)
        left, top, right, bottom = box["icon_rect"]
        counts = {"red": 0, "yellow": 0, "blue": 0}
        for y in range(top, bottom):
            for x in range(left, right):
                r, g, b = px[y][x]
                if r > 150 and g < 90 and b < 90:
                    counts["red"] += 1
                elif r > 150 and g > 150 and b < 90:
                    counts["yellow"] += 1
                elif b > 150 and r < 110:
                    counts["blue"] += 1
        return counts

    def assert_stop_icon(self, box, name):
        colours = self.box_icon_colours(box, name)
        assert colours["red"] > 100 and colours["yellow"] + colours["blue"] < colours["red"] // 4, \
            "not the stop icon: %r" % colours

    def send(self, hwnd, message, wparam=0, lparam=0):
        return self.probe("send", hwnd, message, wparam, lparam)

    def wait_for_message_box(self, winpid=None, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            boxes = self.message_boxes(winpid)
            if boxes:
                return boxes[0]
            time.sleep(0.3)
        return None

    def dismiss(self, box, timeout=30):
        """Presses OK on a message box and waits until it is gone."""
        self.post(box["hwnd"], WM_COMMAND, IDOK)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if not any(b["hwnd"] == box["hwnd"] for b in self.message_boxes()):
                return
            time.sleep(0.3)
        raise AssertionError("message box %r still shown" % box)

    def start_waiting_launcher(self, folder, show=SW_SHOWNORMAL):
        """Starts the launcher of a program folder without an engine. Its start-up run
        fails at once; the error box is dismissed, and the window then waits for the
        user as after any failed run. Returns (program, splash window)."""
        program = self.start(os.path.join(folder, "orvane_start.exe"), show=show)
        box = self.wait_for_message_box(winpid=program.winpid)
        assert box, "no error box from the start-up run"
        assert "(erreur $2108)" in (box["text"] or ""), box
        self.dismiss(box)
        form = self.wait_for_window(winpid=program.winpid, cls="TFrmindexer")
        assert form, "no splash window"
        return program, form

    def key(self, *keys):
        """Sends key strokes (xdotool names, e.g. "alt+F4") to the focused window."""
        self.xdotool("key", *keys)

    def post(self, hwnd, message, wparam=0, lparam=0):
        return self.probe("post", hwnd, message, wparam, lparam)

    def metrics(self):
        return self.probe("metrics")

    # -- mouse, keyboard, screen
    def xdotool(self, *args):
        subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, check=True, timeout=30,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", x, y)
        time.sleep(0.2)
        self.xdotool("click", button)

    def drag(self, x0, y0, x1, y1, button=1):
        self.xdotool("mousemove", "--sync", x0, y0)
        time.sleep(0.2)
        self.xdotool("mousedown", button)
        time.sleep(0.2)
        self.xdotool("mousemove", "--sync", x1, y1)
        time.sleep(0.2)
        self.xdotool("mouseup", button)

    def screenshot(self, name):
        """Saves the whole display as artifacts/NAME.png and returns its path."""
        path = os.path.join(self.artifacts, name + ".png")
        subprocess.run(["import", "-display", self.display, "-window", "root", path], env=self.env, check=True,
                       timeout=60, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    @staticmethod
    def pixels(png_path):
        """(width, height, rows of (r, g, b)) of a screenshot, read through ImageMagick."""
        ppm = subprocess.run(["convert", png_path, "-depth", "8", "ppm:-"], capture_output=True, check=True,
                             timeout=60).stdout
        fields = []
        pos = 0
        while len(fields) < 4:
            while ppm[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not ppm[pos:pos + 1].isspace():
                pos += 1
            fields.append(ppm[start:pos])
        pos += 1
        width, height = int(fields[1]), int(fields[2])
        data = ppm[pos:]
        rows = [[tuple(data[(y * width + x) * 3:(y * width + x) * 3 + 3]) for x in range(width)]
                for y in range(height)]
        return width, height, rows


# ---------------------------------------------------------------- scenarios

def run_scenarios(session, scenarios):
    """Runs each scenario function(session) in turn; every program it started is
    ended afterwards. Against the 32-bit build only the scenarios marked with
    @both_builds run. Exits 0 when all pass, 1 otherwise."""
    failures = 0
    if session.bits == 32:
        scenarios = [s for s in scenarios if getattr(s, "both_builds", False)]
    # ORVANE_SCENARIOS=name,name runs only those (while working on them).
    only = [n for n in os.environ.get("ORVANE_SCENARIOS", "").split(",") if n]
    if only:
        scenarios = [s for s in scenarios if s.__name__ in only]
    print("%d-bit build%s" % (session.bits, ", route " + session.state["route"] if "route" in session.state else ""))
    for scenario in scenarios:
        name = scenario.__name__
        started = time.time()
        try:
            scenario(session)
            print("PASS %s (%.1f s)" % (name, time.time() - started))
        except Exception as error:  # report and go on with the next scenario
            failures += 1
            print("FAIL %s: %s: %s" % (name, type(error).__name__, error))
        finally:
            session.stop_all()
        sys.stdout.flush()
    sys.exit(1 if failures else 0)
